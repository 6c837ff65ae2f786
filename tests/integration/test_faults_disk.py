"""kuvet when the folder's disk misbehaves: it is full, it is read-only, or
files vanish or change while a run is busy with them. Nothing may be lost,
every failure is reported with status 1, and the next run finishes.

The full disk is a small tmpfs where mounting is permitted, else a file size
limit (RLIMIT_FSIZE); the read-only folder is a tmpfs remounted read-only,
else a folder without write permission for the user nobody. Files vanish and
change from the strict store's `before` hook, while kuvet waits for a reply.
"""

import os
import resource
import shutil
import signal
import subprocess
import tempfile

import harness
from sync_case import SyncCase
from test_sync import run_script

BIG = 4 * 1024 * 1024  # an object that does not fit
NOBODY = 65534


def mount_permitted():
    probe = tempfile.mkdtemp(prefix="kuvet-mount-")
    try:
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", probe],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
        if done:
            subprocess.run(["umount", probe], check=True)
        return done
    except OSError:
        return False
    finally:
        os.rmdir(probe)


MOUNT = mount_permitted()


class Disk(SyncCase):
    """Folder B is where the fault happens."""

    def setUp(self):
        super().setUp()
        os.chmod(self.dir, 0o755)
        self.limit = None  # a file size limit for kuvet's runs
        self.a, self.b = self.folder("A"), self.path("B")
        os.makedirs(self.b)
        if MOUNT:
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.b], check=True)
            self.addCleanup(subprocess.run, ["umount", "-l", self.b])
        self.folder("B")
        run_script(self, "A put keep=k; A put e=0; A put x=0; A sync; B sync")

    def kuvet(self, *args, stdin=None, cwd=None, nobody=False, **options):
        limit = self.limit

        def preexec():
            if limit is not None:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            if nobody:
                os.setgid(NOBODY)
                os.setuid(NOBODY)

        proc = subprocess.run([harness.binary()] + list(args), cwd=cwd or self.dir,
                              input=(stdin or "").encode(), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=harness.RUN_TIMEOUT, preexec_fn=preexec)
        harness.check_sanitizers(proc.stderr)
        return harness.Result(proc.returncode, proc.stdout, proc.stderr)

    def full(self, room):
        """Leaves about `room` bytes free for B; None: room enough again."""
        filler = os.path.join(self.b, ".filler")
        if not MOUNT:
            self.limit = room
        elif room is None:
            os.remove(filler)
            subprocess.run(["mount", "-o", "remount,size=64m", self.b], check=True)
        else:
            st = os.statvfs(self.b)
            with open(filler, "wb") as f:
                f.write(b"\0" * max(0, st.f_bavail * st.f_frsize - room))

    def read_only(self, on):
        if MOUNT:
            subprocess.run(["mount", "-o", "remount," + ("ro" if on else "rw"), self.b], check=True)
        else:
            for root, _, _ in os.walk(self.b):
                os.chmod(root, 0o555 if on else 0o755)
            for root, dirs, files in os.walk(self.dir):
                for name in [root] + [os.path.join(root, n) for n in dirs + files]:
                    os.chown(name, NOBODY if on else 0, NOBODY if on else 0)

    def sync_b(self, status):
        result = self.kuvet("sync", cwd=self.b, nobody=not MOUNT and self.protected)
        self.assertEqual(result.status, status, result)
        return result

    protected = False

    def test_a_download_that_does_not_fit_keeps_the_old_file(self):
        self.put(self.a, "e", os.urandom(BIG))
        run_script(self, "A put n=new; A sync; B put b=B")
        self.full(64 * 1024)
        result = self.sync_b(1)
        self.assertTrue(any(x.startswith("Error! Could not write") and x.endswith("/e")
                            for x in result.lines), result)
        self.assertIn(" <- n", result.lines)
        self.assertIn(" -> b", result.lines)
        self.assertEqual(self.read_file(os.path.join(self.b, "e")), b"A e:0")
        self.assertEqual([n for n in os.listdir(self.b) if ".kuvet-part-" in n], [])
        get = self.kuvet("get", "e", cwd=self.b, stdin="y\n")
        self.assertEqual(get.status, 1, get)
        self.assertEqual(self.read_file(os.path.join(self.b, "e")), b"A e:0")
        self.full(None)
        self.settle(self.a, self.b)
        self.assertNothingLost(self.a, self.b)

    def test_a_disk_full_after_publishing_is_reported_and_the_next_run_finishes(self):
        run_script(self, "B put b=B")
        self.full(4 if not MOUNT else 0)
        result = self.sync_b(1)
        self.assertEqual(result.lines[0], " -> b", result)
        self.assertTrue(any(x.startswith("Error! Could not write") for x in result.lines), result)
        self.assertIn("b", self.manifest())
        self.full(None)
        self.settle(self.a, self.b)

    def test_a_read_only_folder(self):
        run_script(self, "A put e=A; A put n=A; A rm x; A sync; B put b=B")
        self.read_only(True)
        self.protected = True
        before = self.tree(self.b)
        result = self.sync_b(1)
        for line in ("Failed to open e for writing.", "Failed to open n for writing.", " -> b"):
            self.assertIn(line, result.lines)
        self.assertTrue(any(x.startswith("Error! Could not delete x: ") for x in result.lines), result)
        self.assertEqual(self.tree(self.b), before)
        self.assertEqual(self.objects()["b"], b"B b:B")
        get = self.kuvet("get", "n", cwd=self.b, nobody=not MOUNT)
        self.assertEqual((get.lines, get.status), (["Failed to open n for writing."], 1))
        self.read_only(False)
        self.protected = False
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


if __name__ == "__main__":
    import unittest
    unittest.main()
