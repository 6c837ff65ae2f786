"""kuvet sync killed with SIGKILL at every request of a run, and at every
system call of it that changes the folder, then run again.

Folder A's run is interrupted in two states: behind a store that folder B
changed (downloads, a conflict, deletions here, an upload), and sending its
own changes (uploads and deletions in the store). The strict store kills the
process when the Nth request arrives, for every N: before the store acts on
it, after (only the reply is lost), and for downloads halfway through the
reply. strace kills it on entering the Nth call of each system call that
changes the folder (skipped where strace is missing). Then A and B sync
again, in either order, and must end as after a run never interrupted:
every edit once, the one real conflict copy, no left-over.
"""

import os
import re
import shutil
import signal
import subprocess
import threading

import harness
import strict_store
from sync_case import SyncCase
from test_sync import run_script

KILLED = -signal.SIGKILL
CHANGES = "rename,renameat,renameat2,unlink,unlinkat,rmdir,mkdir,mkdirat,utime,utimes,utimensat"
CALL = re.compile(r"^(?:[0-9]+ +)?([a-z0-9_]+)\(")

SCENARIOS = {
    "behind": "B put c=B +5; B put e=B +5; B put n=B; B put newdir/f=B; B rm x; B rm old; B sync; "
              "A put c=A +5; A put a=A",
    "sending": "A put a2=A; A put keep=A +5; A put sub/t=A; A rm d; A rm sub/s",
}


class Interrupted(SyncCase):

    def prepare(self, scenario, transfers):
        a, b = self.folder("A", transfers=transfers), self.folder("B")
        run_script(self, "A put c=0; A put d=0; A put e=0; A put keep=0; A put old/o=0; "
                         "A put sub/s=0; A put x=0; A sync; B sync; " + SCENARIOS[scenario])
        return a, b

    def outcome(self, order):
        """Syncs in the given order, then until nothing is left; what both
        folders hold, and their conflict copies."""
        for name in order:
            self.sync(self.path(name), status=None)
        a, b = self.path("A"), self.path("B")
        self.settle(a, b)
        for folder in (a, b):
            parts = [n for _, _, files in os.walk(folder) for n in files if ".kuvet-part-" in n]
            self.assertEqual(parts, [])
        return self.tree(a), self.tree(a, copies=True), self.tree(b, copies=True)

    def run_killed(self, at, how):
        """A's sync, killed when request number `at` arrives: "before" the
        store acts on it, "after" it did, or "midway" through its reply."""
        proc = None
        started = threading.Event()

        def kill():
            started.wait(10)
            try:
                os.kill(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        def act(store, request):
            if how == "before":
                kill()
                return strict_store.Reply(500, b"")
            try:
                reply = store.handle(request)
            except strict_store.Refusal as refusal:
                reply = refusal.reply
            if how == "midway" and len(reply.body) > 1:
                threading.Timer(0.3, kill).start()
                return strict_store.Reply(reply.status, reply.body[:len(reply.body) // 2],
                                          reply.headers, length=len(reply.body))
            kill()
            return reply

        self.store.answer(None, act, skip=at - 1, times=1)
        proc = subprocess.Popen([harness.binary(), "sync"], cwd=self.path("A"),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        started.set()
        out, err = proc.communicate(timeout=harness.RUN_TIMEOUT)
        harness.check_sanitizers(err)
        self.store.clear_faults()
        self.assertEqual(proc.returncode, KILLED, out)

    def strace(self, *options):
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        command = ["strace", "-qq", "-f", "-e", "trace=" + CHANGES] + list(options) + [
            harness.binary(), "sync"]
        proc = subprocess.run(command, cwd=self.path("A"), stdin=subprocess.DEVNULL, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=harness.RUN_TIMEOUT)
        harness.check_sanitizers(proc.stderr)
        return proc

    def check_every_kill_point(self, scenario, local):
        if local and not shutil.which("strace"):
            self.skipTest("strace is not installed (scripts/install-deps.sh installs it)")
        # strace counts a call's kill point per thread: one transfer at a time.
        self.prepare(scenario, 1 if local else 16)
        saved = self.save("A", "B")
        superseded = set(self.superseded)
        first = len(self.store.log())
        if local:
            trace = self.path("trace")
            self.assertEqual(self.strace("-o", trace).returncode, 0)
            seen, points = {}, []
            with open(trace) as f:
                for line in f:
                    match = CALL.match(line)
                    if match:
                        seen[match.group(1)] = seen.get(match.group(1), 0) + 1
                        points.append((match.group(1), seen[match.group(1)]))
        else:
            self.sync(self.path("A"))
            requests = [(r.method, r.key) for r in self.store.log()[first:]]
            points = [(at, how) for at, (method, key) in enumerate(requests, 1)
                      for how in ["before", "after"] + (["midway"] if method == "GET" else [])]
        reference = self.outcome("B")
        self.assertTrue(points)
        for n, point in enumerate(points):
            order = ("AB", "BA")[n % 2]
            with self.subTest(point=point, order=order):
                self.restore(saved)
                self.superseded = set(superseded)
                if local:
                    proc = self.strace("-o", "/dev/null", "-e",
                                       "inject=%s:signal=SIGKILL:when=%d" % point)
                    self.assertEqual(proc.returncode, KILLED, proc)
                else:
                    self.run_killed(*point)
                self.assertEqual(self.outcome(order), reference)
                self.assertNothingLost(self.path("A"), self.path("B"))

    def test_killed_at_a_request_while_behind(self):
        self.check_every_kill_point("behind", local=False)

    def test_killed_at_a_request_while_sending(self):
        self.check_every_kill_point("sending", local=False)

    def test_killed_at_a_change_of_the_folder_while_behind(self):
        self.check_every_kill_point("behind", local=True)

    def test_killed_at_a_change_of_the_folder_while_sending(self):
        self.check_every_kill_point("sending", local=True)


if __name__ == "__main__":
    import unittest
    unittest.main()
