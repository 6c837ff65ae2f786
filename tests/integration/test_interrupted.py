"""kuvet sync killed with SIGKILL at every request of a run, and at every
system call of it that changes the folder, then run again.

Two runs of folder A are interrupted: one behind a store that folder B
changed (downloads, a conflict, local deletions, an upload), and one that
sends A's own changes (uploads and deletions in the store). The strict store
kills the process when the Nth request arrives, for every N: before the store
acts on it, after the store acted on it (so only the reply is lost; for the
upload of ".manifest" that is the moment between publishing and writing
"_revision"), and, for downloads, halfway through the reply. Then A and B
synchronise again, in either order, and must end exactly as after a run that
was never interrupted: every edit once, the one real conflict copy, no other
copy and no left-over part-file.

The kills between requests (after a rename, before a time is set, ...) come
from strace, which delivers SIGKILL on entering the Nth call of one system
call; those tests are skipped where strace is missing.
"""

import os
import re
import shutil
import signal
import subprocess
import threading

import harness
import strict_store
import test_sync_faults
from test_faults_network import Snapshots
from test_sync import CONFLICT, NEW, SKIPPED

KILLED = -signal.SIGKILL
# The system calls that change the folder: a kill on entering each of them.
CHANGES = "rename,renameat,renameat2,unlink,unlinkat,rmdir,mkdir,mkdirat,utime,utimes,utimensat"
# Who synchronises after the kill: A finishes its run first, or B runs first.
ORDERS = {"AB": lambda a, b: [a, b], "BA": lambda a, b: [b, a, b]}
CALL = re.compile(r"^([a-z0-9_]+)\((.*)\) += ")


class Interrupted(Snapshots, test_sync_faults.FaultCase):

    def prepare(self, scenario):
        """The two folders just before A's run, and what that run must do."""
        a, b = self.pair({"c.txt": "c0", "d.txt": "d0", "e.txt": "e0", "keep.txt": "k0",
                          "old/o.txt": "o0", "sub/s.txt": "s0", "x.txt": "x0"})
        if scenario == "behind":
            t = self.now()
            self.put_file(b, "c.txt", "B edit of c", t)
            self.put_file(b, "e.txt", "B edit of e", t)
            self.put_file(b, "n.txt", "B new", t)
            self.put_file(b, "newdir/f.txt", "B new in a new folder", t)
            os.remove(os.path.join(b, "x.txt"))
            os.remove(os.path.join(b, "old/o.txt"))
            os.rmdir(os.path.join(b, "old"))
            self.assertEqual(self.sync(b).status, 0)
            t = self.now()
            self.put_file(a, "c.txt", "A edit of c", t)
            self.put_file(a, "a.txt", "A new", t)
            return a, b, [CONFLICT + "c.txt", " <- c.txt", " <- e.txt", " <- n.txt", " <- newdir/",
                          " <- newdir/f.txt", " x- x.txt", " x- old/o.txt",
                          " x- old/", " -> a.txt", SKIPPED + "c.txt.CONFLICT", NEW]
        t = self.now()
        self.put_file(a, "a2.txt", "A new 2", t)
        self.put_file(a, "keep.txt", "A edit of keep", t)
        self.put_file(a, "sub/t.txt", "A new in sub", t)
        os.remove(os.path.join(a, "d.txt"))
        os.remove(os.path.join(a, "sub/s.txt"))
        return a, b, [" -> a2.txt", " -> keep.txt", " -> sub/t.txt", " -x sub/s.txt", " -x d.txt",
                      NEW]

    def outcome(self, a, b, orders):
        """Synchronises the folders in the given order until nothing is left
        to do; returns what both hold (they must agree with the store)."""
        for folder in orders:
            result = self.sync(folder)
            self.assertEqual(result.status, 0, result)
        self.assertSync(a, self.copies(a))
        self.assertSync(b, self.copies(b))
        self.assertSameFiles(a, b)
        for folder in (a, b):
            self.assertEqual(self.temporaries(folder), [])
        return self.files_of(a), self.copy_contents(a), self.copy_contents(b)

    def copies(self, folder):
        names = sorted((os.path.relpath(os.path.join(root, n), folder)
                        for root, _, files in os.walk(folder) for n in files
                        if n.endswith(".CONFLICT")), key=lambda k: k.lower())
        return [SKIPPED + name for name in names]

    def copy_contents(self, folder):
        return {line[len(SKIPPED):]: self.content(folder, line[len(SKIPPED):])
                for line in self.copies(folder)}

    def run_killed(self, folder, at, how):
        """Runs sync in folder and kills it when request number `at` (from 1)
        arrives; `how` is "before" (the store does not act on it), "after"
        (it does, and only the reply is lost) or "midway" (half the reply is
        sent, then the kill)."""
        proc = None
        started = threading.Event()

        def kill():
            started.wait(10)
            os.kill(proc.pid, signal.SIGKILL)

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
        proc = subprocess.Popen([harness.binary(), "sync"], cwd=folder, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        started.set()
        out, err = proc.communicate(timeout=harness.RUN_TIMEOUT)
        harness.check_sanitizers(err)
        self.store.clear_faults()
        return proc.returncode, out.decode("utf-8", "replace")

    def check_every_kill_point(self, scenario):
        a, b, expected_lines = self.prepare(scenario)
        saved = self.save(scenario)

        # The run as it goes when nothing interrupts it.
        first = len(self.store.log())
        self.assertSync(a, expected_lines)
        requests = [(r.method, r.key) for r in self.store.log()[first:]]
        reference = self.outcome(a, b, [b])

        # Each kill point once; A or B synchronises first, in turn.
        tried = 0
        for at, (method, key) in enumerate(requests, 1):
            ways = ["before", "after"] + (["midway"] if method == "GET" and key != ".manifest"
                                          else [])
            for how in ways:
                order = ("AB", "BA")[tried % 2]
                with self.subTest(request=at, method=method, key=key, kill=how, order=order):
                    self.restore(saved)
                    status, out = self.run_killed(a, at, how)
                    self.assertEqual(status, KILLED, out)
                    self.assertEqual(self.outcome(a, b, ORDERS[order](a, b)), reference)
                tried += 1
        return requests, tried

    def strace(self, folder, *options):
        """Runs sync in folder under strace with the given options; leak
        detection cannot work under a tracer, so it is off for these runs."""
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        command = ["strace", "-qq", "-e", "trace=" + CHANGES] + list(options) + [
            harness.binary(), "sync"]
        proc = subprocess.run(command, cwd=folder, stdin=subprocess.DEVNULL, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=harness.RUN_TIMEOUT)
        harness.check_sanitizers(proc.stderr)
        return proc

    def check_every_local_kill_point(self, scenario):
        if not shutil.which("strace"):
            self.skipTest("strace is not installed (scripts/install-deps.sh installs it)")
        a, b, expected_lines = self.prepare(scenario)
        saved = self.save(scenario)

        # Which calls the run makes, traced.
        trace = self.path("trace")
        proc = self.strace(a, "-o", trace)
        self.assertEqual(proc.returncode, 0, proc)
        calls, seen = [], {}
        with open(trace) as f:
            for line in f:
                match = CALL.match(line)
                if match:
                    name = match.group(1)
                    seen[name] = seen.get(name, 0) + 1
                    calls.append((name, seen[name], match.group(2)))
        reference = self.outcome(a, b, [b])

        for n, (name, nth, arguments) in enumerate(calls):
            order = ("AB", "BA")[n % 2]
            with self.subTest(call=name, nth=nth, arguments=arguments, order=order):
                self.restore(saved)
                proc = self.strace(a, "-o", "/dev/null",
                                   "-e", "inject=%s:signal=SIGKILL:when=%d" % (name, nth))
                self.assertEqual(proc.returncode, KILLED, proc)
                self.assertEqual(self.outcome(a, b, ORDERS[order](a, b)), reference)
        return calls

    def test_killed_between_changes_while_catching_up(self):
        calls = self.check_every_local_kill_point("behind")
        self.assertGreater(len(calls), 15)

    def test_killed_between_changes_while_sending(self):
        calls = self.check_every_local_kill_point("current")
        self.assertGreaterEqual(len(calls), 3)

    def test_killed_while_catching_up_with_the_store(self):
        requests, tried = self.check_every_kill_point("behind")
        self.assertEqual(requests, [("GET", ".manifest"), ("GET", "c.txt"), ("GET", "e.txt"),
                                    ("GET", "n.txt"), ("GET", "newdir/f.txt"), ("PUT", "a.txt"),
                                    ("GET", ".manifest"), ("PUT", ".manifest")])

    def test_killed_while_sending_this_folders_changes(self):
        requests, tried = self.check_every_kill_point("current")
        self.assertEqual(requests, [("GET", ".manifest"), ("PUT", "a2.txt"), ("PUT", "keep.txt"),
                                    ("PUT", "sub/t.txt"), ("DELETE", "sub/s.txt"),
                                    ("DELETE", "d.txt"), ("GET", ".manifest"),
                                    ("PUT", ".manifest")])
