"""kuvet sync when the process or the folder's disk fails: killed (SIGKILL)
at every request of a run and at every system call of it that changes the
folder, a full disk, a read-only folder, files that vanish or change while a
run is busy with them. Then the folders sync again and must end as if nothing
had happened: every edit once, the one real conflict copy, no left-over;
every failure reported with status 1.

The store kills the process when the Nth request arrives: before it acts on
it, after (only the reply is lost), or halfway through a download's reply.
strace kills it on entering the Nth call of each system call that changes the
folder (skipped where strace is missing). The full and read-only disks are a
small tmpfs (skipped where mounting is not permitted).
"""

import os
import re
import shutil
import signal
import subprocess
import threading

import harness
import strict_store
from sync_case import SyncCase, run_script

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
            with open(trace) as f:
                calls = [m.group(1) for m in map(CALL.match, f) if m]
            points = [(call, calls[:n + 1].count(call)) for n, call in enumerate(calls)]
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


BIG = 4 * 1024 * 1024  # an object that does not fit the small disk


class Disk(SyncCase):
    """Folder B is on a small tmpfs, which a test fills or makes read-only."""

    def setUp(self):
        super().setUp()
        self.a, self.b = self.folder("A"), self.path("B")
        os.makedirs(self.b)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.b],
                          stderr=subprocess.DEVNULL).returncode:
            self.skipTest("mounting a tmpfs is not permitted here")
        self.addCleanup(subprocess.run, ["umount", "-l", self.b])
        self.folder("B")
        run_script(self, "A put keep=k; A put e=0; A put x=0; A sync; B sync")

    def mount(self, options):
        subprocess.run(["mount", "-o", "remount," + options, self.b], check=True)

    def full(self, room):
        """Leaves about `room` bytes free for B; None: room enough again."""
        filler = os.path.join(self.b, ".filler")
        if room is None:
            os.remove(filler)
            return self.mount("size=64m")
        st = os.statvfs(self.b)
        with open(filler, "wb") as f:
            f.write(b"\0" * max(0, st.f_bavail * st.f_frsize - room))

    def test_a_download_that_does_not_fit_keeps_the_old_file(self):
        self.put(self.a, "e", os.urandom(BIG))
        run_script(self, "A put n=new; A sync; B put b=B")
        self.folder("B", transfers=1)  # side by side, e's part file could take n's room too
        self.full(64 * 1024)
        result = self.sync(self.b, status=1)
        self.assertTrue(any(x.startswith("Error! Could not write") and x.endswith("/e")
                            for x in result.lines), result)
        self.assertEqual([x for x in result.lines if x[:4] in (" <- ", " -> ")], [" <- n", " -> b"])
        self.assertEqual(self.read(os.path.join(self.b, "e")), b"A e:0")
        self.assertEqual([n for n in os.listdir(self.b) if ".kuvet-part-" in n], [])
        self.assertEqual(self.kuvet("get", "e", cwd=self.b, stdin="y\n").status, 1)
        self.assertEqual(self.read(os.path.join(self.b, "e")), b"A e:0")
        self.full(None)
        self.settle(self.a, self.b)
        self.assertNothingLost(self.a, self.b)

    def test_a_disk_full_after_publishing_is_reported_and_the_next_run_finishes(self):
        run_script(self, "B put b=B")
        self.full(0)
        result = self.sync(self.b, status=1)
        self.assertEqual(result.lines[0], " -> b", result)
        self.assertTrue(any(x.startswith("Error! Could not write") for x in result.lines), result)
        self.assertIn("b", self.manifest())
        self.full(None)
        self.settle(self.a, self.b)

    def test_a_read_only_folder(self):
        run_script(self, "A put e=A; A put n=A; A rm x; A sync; B put b=B")
        self.mount("ro")
        before = self.tree(self.b)
        result = self.sync(self.b, status=1)
        for line in ("Failed to open e for writing.", "Failed to open n for writing.", " -> b"):
            self.assertIn(line, result.lines)
        self.assertTrue(any(x.startswith("Error! Could not delete x: ") for x in result.lines), result)
        self.assertEqual(self.tree(self.b), before)
        self.assertEqual(self.objects()["b"], b"B b:B")
        get = self.kuvet("get", "n", cwd=self.b)
        self.assertEqual((get.lines, get.status), (["Failed to open n for writing."], 1))
        self.mount("rw")
        self.settle(self.a, self.b)
        self.assertNothingLost(self.a, self.b)


class ChangesDuringTheRun(SyncCase):
    """One transfer at a time, so that a change comes before a given request."""

    def setUp(self):
        super().setUp()
        self.a, self.b = self.folder("A", transfers=1), self.folder("B", transfers=1)
        run_script(self, "A put keep=k; A put e=0; A sync; B sync")

    def test_files_that_vanish_or_change_before_or_while_they_are_sent(self):
        run_script(self, "A put a=A; A put e=A; A put gone=A; A put w=A; A put z=A")

        def meanwhile(store, request):
            self.remove(self.a, "gone")
            self.put(self.a, "w", "A w rewritten")

        self.store.before("a", meanwhile, method="PUT")
        # z changes while it is sent, again and again: the fourth time it is given up.
        self.store.before("z", lambda s, r: self.put(self.a, "z", "A z changed %d" % len(s.log())),
                          method="PUT", times=4)
        result = self.sync(self.a, status=1)
        self.assertIn("Failed to open gone for reading.", result.lines)
        self.assertIn("Error! z changed while it was being sent.", result.lines)
        published = self.manifest()
        self.assertEqual((self.objects()["w"], "gone" in published, "z" in published),
                         (b"A w rewritten", False, False))
        self.store.before("z", lambda s, r: self.put(self.a, "z", "A z changed while sent"), method="PUT")
        self.sync(self.a)
        self.settle(self.a, self.b)
        self.assertEqual(self.tree(self.b)["z"], b"A z changed while sent")
        self.assertNothingLost(self.a, self.b)

    def test_a_file_made_or_edited_here_during_its_download_is_kept(self):
        run_script(self, "A put e=A; A put n=A; A sync")

        def user_edits(store, request):
            self.put(self.b, "e", "B edit during the run")
            self.put(self.b, "n", "B new during the run")

        self.store.before("e", user_edits, method="GET")
        self.sync(self.b)
        self.assertEqual(self.tree(self.b, copies=True),
                         {"e.CONFLICT": b"B edit during the run", "n.CONFLICT": b"B new during the run"})
        self.settle(self.a, self.b)
        self.assertNothingLost(self.a, self.b)
