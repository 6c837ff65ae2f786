"""kuvet when the folder's disk misbehaves: it is full, it is read-only, or
its files vanish or change while a run is busy with them.

Nothing may be lost, and every failure is reported with status 1. The full
disk is a small tmpfs mounted for the test where that is permitted, and
always also a file size limit (RLIMIT_FSIZE, SIGXFSZ ignored); the read-only
folder is a tmpfs remounted read-only, or a folder without write permission
for the user nobody. Files vanish and change from the strict store's
`before` hook, which runs while kuvet waits for a reply.
"""

import json
import os
import resource
import shutil
import signal
import subprocess
import tempfile
import unittest

import harness
import test_sync_faults
from test_sync import AT, CONFLICT, NEW, SKIPPED
from test_sync_faults import NOBODY, NOT_SENT

BIG = 4 * 1024 * 1024   # an object that does not fit
SMALL_DISK = "1m"       # the tmpfs that it does not fit into
LIMIT = 64 * 1024       # the file size limit it does not fit into


def mount_permitted():
    """Whether this process may mount a tmpfs (root in most containers)."""
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


def run_kuvet(args, cwd, preexec=None, prefix=()):
    proc = subprocess.run(list(prefix) + [harness.binary()] + list(args), cwd=cwd,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=harness.RUN_TIMEOUT, preexec_fn=preexec)
    harness.check_sanitizers(proc.stderr)
    return harness.Result(proc.returncode, proc.stdout, proc.stderr)


class DiskCase(test_sync_faults.FaultCase):
    """Folder B lives where the disk fault happens; A is an ordinary folder."""

    def folder(self, name, config=None):
        if name != "B":
            return super().folder(name, config)
        path = self.path(name)
        os.makedirs(path)
        self.place(path)
        with open(os.path.join(path, ".kuvet"), "w") as f:
            json.dump(config or self.config(), f)
        return path

    def place(self, path):
        """Puts the folder on the faulty disk; nothing by default."""

    def mount(self, path, options):
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", path])

    def remount(self, path, options):
        subprocess.run(["mount", "-o", "remount," + options, path], check=True)

    def requests_since(self, first):
        return [(r.method, r.key) for r in self.store.log()[first:]]

    def nothing_sent(self, first):
        self.assertEqual({m for m, _ in self.requests_since(first)}, {"GET"})


class FullDiskCases:
    """A backend provides squeeze(folder) (an object of BIG bytes no longer
    fits, small files do), fill(folder) (no byte more fits), make_room(folder)
    and kuvet runs that feel it."""

    def behind(self):
        """B behind a store where A made big.bin big and added n.txt; B made
        b.txt."""
        a, b = self.pair({"big.bin": "small old version", "keep.txt": "k"})
        t = self.now()
        self.put_file(a, "big.bin", os.urandom(BIG), t)
        self.put_file(a, "n.txt", "A new", t)
        self.assertSync(a, [" -> big.bin", " -> n.txt", NEW])
        self.put_file(b, "b.txt", "B new", self.now())
        return a, b

    def test_a_download_that_does_not_fit_keeps_the_old_file_and_sends_nothing(self):
        a, b = self.behind()
        self.squeeze(b)
        before = self.objects()
        first = len(self.store.log())
        marks = [self.content(b, n) for n in ("_revision", ".kuvet-synced")]
        result, lines = self.run_sync(b)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(lines[-2:], ["Error! Could not download: big.bin", NOT_SENT], result)
        self.assertIn(" <- n.txt", lines)
        self.assertEqual(self.content(b, "big.bin"), b"small old version")
        self.assertEqual(self.content(b, "b.txt"), b"B new")
        self.assertEqual(self.temporaries(b), [])
        self.assertEqual([self.content(b, n) for n in ("_revision", ".kuvet-synced")], marks)
        self.assertEqual(self.objects(), before)
        self.nothing_sent(first)

        self.make_room(b)
        self.assertSync(b, [" <- big.bin", " -> b.txt", NEW])
        self.assertSync(a, [" <- b.txt", AT])
        self.assertSameFiles(a, b)

    def test_get_of_an_object_that_does_not_fit_keeps_the_old_file(self):
        a, b = self.behind()
        self.squeeze(b)
        before = self.snapshot(b)
        result = self.run_in(b, "get", "big.bin", stdin=b"y\n")
        self.assertEqual(result.status, 1, result)
        self.assertIn("Error! Could not write", result.out)
        self.assertIn("big.bin", result.out)
        self.assertEqual(self.snapshot(b), before)
        os.remove(os.path.join(b, "big.bin"))
        before = self.snapshot(b)
        result = self.run_in(b, "get", "big.bin")
        self.assertEqual(result.status, 1, result)
        self.assertEqual(self.snapshot(b), before)

    def test_a_disk_full_after_publishing_is_reported_and_the_next_run_finishes(self):
        # The store took the upload and the manifest; "_revision" and the
        # record cannot be written. The next run finds its own publication.
        a, b = self.pair({"keep.txt": "k"})
        self.put_file(b, "b.txt", "B new", self.now())
        self.fill(b)
        marks = [self.content(b, n) for n in ("_revision", ".kuvet-synced")]
        result, lines = self.run_sync(b)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(lines[0], " -> b.txt")
        self.assertTrue(lines[1].startswith("Error! Could not write _revision: "), result)
        self.assertEqual(len(lines), 2, result)
        self.assertEqual([self.content(b, n) for n in ("_revision", ".kuvet-synced")], marks)
        self.assertEqual(self.temporaries(b), [])
        self.assertIn("b.txt", self.manifest())
        self.make_room(b)
        result, lines = self.run_sync(b)
        self.assertEqual((result.status, len(lines)), (0, 1), result)
        self.assertTrue(lines[0].startswith("At revision: "), result)
        self.assertSync(a, [" <- b.txt", AT])
        self.assertSameFiles(a, b)


class TmpfsFull(FullDiskCases, DiskCase):
    """B on a tmpfs of 1 MiB."""

    @classmethod
    def setUpClass(cls):
        if not mount_permitted():
            raise unittest.SkipTest("mounting a tmpfs is not permitted here; "
                                            "FileSizeLimit covers the full disk")
        super().setUpClass()

    def place(self, path):
        self.mount(path, "size=" + SMALL_DISK)

    def squeeze(self, folder):
        pass  # the tmpfs is small enough

    def fill(self, folder):
        with open(os.path.join(folder, ".filler"), "wb") as f:
            try:
                while True:
                    f.write(b"\0" * 65536)
                    f.flush()
            except OSError:
                pass
        # The last bytes, one by one, where a file can still be made.
        try:
            with open(os.path.join(folder, ".filler2"), "wb") as f:
                while True:
                    f.write(b"\0")
                    f.flush()
        except OSError:
            pass

    def make_room(self, folder):
        for name in (".filler", ".filler2"):
            if os.path.exists(os.path.join(folder, name)):
                os.remove(os.path.join(folder, name))
        self.remount(folder, "size=64m")

    def run_in(self, folder, *args, stdin=None):
        return self.kuvet(*args, cwd=folder, stdin=stdin)


class FileSizeLimit(FullDiskCases, DiskCase):
    """kuvet runs with a file size limit: writing past it fails with EFBIG."""

    limit = None

    def kuvet(self, *args, stdin=None, cwd=None, **options):
        if self.limit is None:
            return super().kuvet(*args, stdin=stdin, cwd=cwd, **options)
        limit = self.limit

        def preexec():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        if isinstance(stdin, str):
            stdin = stdin.encode()
        proc = subprocess.run([harness.binary()] + list(args), cwd=cwd or self.dir,
                              input=stdin or b"", stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=harness.RUN_TIMEOUT, preexec_fn=preexec)
        harness.check_sanitizers(proc.stderr)
        return harness.Result(proc.returncode, proc.stdout, proc.stderr)

    def squeeze(self, folder):
        self.limit = LIMIT

    def fill(self, folder):
        self.limit = 4  # fewer bytes than any revision's text

    def make_room(self, folder):
        self.limit = None

    def run_in(self, folder, *args, stdin=None):
        return self.kuvet(*args, cwd=folder, stdin=stdin)


class ReadOnlyCases:
    """A backend provides protect(folder), release(folder) and run_in()."""

    def test_a_read_only_folder_behind_the_store_sends_nothing(self):
        a, b = self.pair({"e.txt": "e0", "keep.txt": "k", "x.txt": "x"})
        t = self.now()
        self.put_file(a, "e.txt", "A edit", t)
        self.put_file(a, "n.txt", "A new", t)
        os.remove(os.path.join(a, "x.txt"))
        self.assertSync(a, [" -> e.txt", " -> n.txt", " -x x.txt", NEW])
        self.put_file(b, "b.txt", "B new", self.now())
        before = (self.snapshot(b), self.objects())
        first = len(self.store.log())
        self.protect(b)
        result = self.run_in(b, "sync")
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.lines, ["Failed to open e.txt for writing.",
                                        "Failed to open n.txt for writing.",
                                        "Error! Could not download: e.txt",
                                        "Error! Could not download: n.txt", NOT_SENT])
        self.assertEqual((self.snapshot(b), self.objects()), before)
        self.nothing_sent(first)
        self.release(b)
        self.assertSync(b, [" <- e.txt", " <- n.txt", " x- x.txt", " -> b.txt", NEW])
        self.assertSync(a, [" <- b.txt", AT])
        self.assertSameFiles(a, b)

    def test_a_deletion_in_a_read_only_folder_is_reported(self):
        a, b = self.pair({"keep.txt": "k", "x.txt": "x"})
        os.remove(os.path.join(a, "x.txt"))
        self.assertSync(a, [" -x x.txt", NEW])
        before = self.snapshot(b)
        self.protect(b)
        result = self.run_in(b, "sync")
        self.assertEqual(result.status, 1, result)
        # Before: the run went on, took the file it could not delete for a
        # local edit and sent it back to the store, undoing A's deletion.
        self.assertEqual(len(result.lines), 2, result)
        self.assertTrue(result.lines[0].startswith("Error! Could not delete x.txt: "), result)
        self.assertEqual(result.lines[1], NOT_SENT)
        self.assertEqual(self.snapshot(b), before)
        self.assertNotIn("x.txt", self.stored_files())
        self.release(b)
        self.assertSync(b, [" x- x.txt", AT])
        self.assertSameFiles(a, b)

    def test_uploads_from_a_read_only_folder_are_published_and_the_failure_reported(self):
        a, b = self.pair({"keep.txt": "k"})
        self.put_file(b, "b.txt", "B new", self.now())
        before = self.snapshot(b)
        self.protect(b)
        result = self.run_in(b, "sync")
        self.assertEqual(result.status, 1, result)
        self.assertEqual(result.lines[0], " -> b.txt")
        self.assertTrue(result.lines[1].startswith("Error! Could not write _revision: "), result)
        self.assertEqual(len(result.lines), 2, result)
        self.assertEqual(self.snapshot(b), before)
        self.assertEqual(self.stored_files()["b.txt"], b"B new")
        self.release(b)
        result, lines = self.run_sync(b)
        self.assertEqual((result.status, len(lines)), (0, 1), result)
        self.assertTrue(lines[0].startswith("At revision: "), result)
        self.assertSync(a, [" <- b.txt", AT])
        self.assertSameFiles(a, b)

    def test_get_into_a_read_only_folder(self):
        a, b = self.pair({"keep.txt": "k"})
        self.put_object("n.txt", "new")
        before = self.snapshot(b)
        self.protect(b)
        result = self.run_in(b, "get", "n.txt")
        self.assertEqual((result.lines, result.status), (["Failed to open n.txt for writing."], 1))
        self.assertEqual(self.snapshot(b), before)


class ReadOnlyMount(ReadOnlyCases, DiskCase):
    """B on a tmpfs that is remounted read-only: even root cannot write."""

    @classmethod
    def setUpClass(cls):
        if not mount_permitted():
            raise unittest.SkipTest("mounting a tmpfs is not permitted here; "
                                            "ReadOnlyForNobody covers the read-only folder")
        super().setUpClass()

    def place(self, path):
        self.mount(path, "size=16m")

    def protect(self, folder):
        self.remount(folder, "ro")

    def release(self, folder):
        self.remount(folder, "rw")

    def run_in(self, folder, *args):
        return self.kuvet(*args, cwd=folder)


class ReadOnlyForNobody(ReadOnlyCases, DiskCase):
    """B's folders without write permission, kuvet run as nobody (root
    ignores permissions)."""

    def setUp(self):
        super().setUp()
        if os.geteuid() == 0 and not shutil.which("setpriv"):
            self.skipTest("running as root without setpriv")
        os.chmod(self.dir, 0o755)

    def folders(self, folder):
        return [root for root, _, _ in os.walk(folder)]

    def protect(self, folder):
        for path in self.folders(folder):
            os.chmod(path, 0o555)
        self.addCleanup(self.release, folder)

    def release(self, folder):
        for path in self.folders(folder):
            os.chmod(path, 0o755)

    def run_in(self, folder, *args):
        prefix = []
        if os.geteuid() == 0:
            prefix = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
        return run_kuvet(args, folder, prefix=prefix)


class ChangesDuringTheRun(DiskCase):
    """Files that vanish or change while a run is busy with them."""

    def test_a_file_that_vanishes_before_its_upload_is_reported(self):
        a, b = self.pair({"edited.txt": "v0", "keep.txt": "k"})
        t = self.now()
        for name in ("a.txt", "edited.txt", "gone.txt", "z.txt"):
            self.put_file(a, name, "A " + name, t)

        def vanish(store, request):
            os.remove(os.path.join(a, "gone.txt"))
            os.remove(os.path.join(a, "edited.txt"))

        self.store.before("a.txt", vanish, method="PUT")
        result, lines = self.run_sync(a)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(lines[:3], [" -> a.txt", "Failed to open edited.txt for reading.",
                                     "Failed to open gone.txt for reading."], result)
        self.assertEqual(lines[3], " -> z.txt")
        published = self.manifest()
        self.assertNotIn("gone.txt", published)
        self.assertEqual(published["edited.txt"], self.old())  # the store's entry is kept
        self.assertEqual(self.stored_files()["edited.txt"], b"v0")
        # The vanished files were deleted here: the next run says so to the store.
        self.assertSync(a, [" -x edited.txt", NEW])
        self.assertSync(b, [" <- a.txt", " <- z.txt", " x- edited.txt", AT])
        self.assertSameFiles(a, b)

    def test_a_file_rewritten_before_its_upload_is_published_as_sent(self):
        a, b = self.pair({"keep.txt": "k"})
        t = self.now()
        self.put_file(a, "a.txt", "A a", t)
        self.put_file(a, "b.txt", "A b first", t)
        later = t + 5

        def rewrite(store, request):
            self.put_file(a, "b.txt", "A b rewritten", later)

        self.store.before("a.txt", rewrite, method="PUT")
        self.assertSync(a, [" -> a.txt", " -> b.txt", NEW])
        self.assertEqual((self.stored_files()["b.txt"], self.manifest()["b.txt"]),
                         (b"A b rewritten", later))
        self.assertSync(a, [])
        self.assertSync(b, [" <- a.txt", " <- b.txt", AT])
        self.assertEqual((self.content(b, "b.txt"), self.mtime(b, "b.txt")),
                         (b"A b rewritten", later))
        self.assertSameFiles(a, b)

    def test_a_file_that_changes_while_it_is_sent_is_not_published(self):
        # The store may hold a mix of both versions: it is not listed as
        # sent, and the next run sends the file again.
        a, b = self.pair({"b.txt": "v0", "keep.txt": "k"})
        t = self.now()
        self.put_file(a, "b.txt", "A b first", t)

        def rewrite(store, request):
            self.put_file(a, "b.txt", "A b rewritten", t + 5)

        self.store.before("b.txt", rewrite, method="PUT")
        result, lines = self.run_sync(a)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(lines, ["Error! b.txt changed while it was being sent."], result)
        self.assertEqual(self.manifest()["b.txt"], self.old())
        self.assertSync(a, [" -> b.txt", NEW])
        self.assertSync(b, [" <- b.txt", AT])
        self.assertEqual(self.content(b, "b.txt"), b"A b rewritten")
        self.assertSameFiles(a, b)

    def test_a_file_made_or_edited_here_during_its_download_is_kept(self):
        # Before: the download was renamed over whatever the folder held by
        # then, so an edit made while the run was busy was lost.
        a, b = self.pair({"e.txt": "e0", "keep.txt": "k", "x.txt": "x0"})
        t = self.now()
        self.put_file(a, "e.txt", "A edit", t)
        self.put_file(a, "n.txt", "A new", t)
        os.remove(os.path.join(a, "x.txt"))
        self.assertSync(a, [" -> e.txt", " -> n.txt", " -x x.txt", NEW])
        later = self.now() + 5

        def user_edits(store, request):
            self.put_file(b, "e.txt", "B edit during the run", later)
            self.put_file(b, "n.txt", "B new during the run", later)
            self.put_file(b, "x.txt", "B edit of x during the run", later)

        self.store.before("e.txt", user_edits, method="GET")
        self.assertSync(b, [CONFLICT + "e.txt", " <- e.txt", CONFLICT + "n.txt", " <- n.txt",
                            SKIPPED + "e.txt.CONFLICT", SKIPPED + "n.txt.CONFLICT", " -> x.txt",
                            NEW])
        self.assertEqual([self.content(b, n) for n in ("e.txt", "e.txt.CONFLICT", "n.txt",
                                                       "n.txt.CONFLICT", "x.txt")],
                         [b"A edit", b"B edit during the run", b"A new", b"B new during the run",
                          b"B edit of x during the run"])
        self.assertSync(a, [" <- x.txt", AT])
        self.assertSameFiles(a, b)


if __name__ == "__main__":
    unittest.main()
