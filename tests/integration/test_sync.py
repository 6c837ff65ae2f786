"""kuvet sync with two or three folders bound to one store: s3rver and the
strict store. Every change is decided from whole-second modification times and
revisions, so the tests set file times with os.utime instead of sleeping;
the tool takes the current time for new revisions.

SyncCase holds the helpers the fault tests (test_sync_faults.py) share.
"""

import json
import os
import stat
import time
import unittest

import harness
import s3
import strict_store

OLD = 100000  # how long before the test's start files that predate every run were written

# Placeholders in expected output for the revision lines, whose number only
# the run knows.
NEW = "New revision: <n>"
AT = "At revision: <n>"
CONFLICT = "Warning! Conflicting modifications for file: "
SKIPPED = "Warning! Skipped: "
UNSAFE = "Warning! Unsafe key skipped: "
SPECIAL = "Warning! Not a regular file, skipped: "
MISSING = "Warning! Listed in the store's .manifest but missing from the store: "


def walk_key(key):
    """The order of manifest members: the name without a folder's "/", byte
    by byte with A-Z folded, a prefix first."""
    name = key[:-1] if key.endswith("/") else key
    return bytes(c + 32 if 65 <= c <= 90 else c for c in name.encode("utf-8", "surrogateescape"))


def parse_manifest(raw):
    """A ".manifest" text as an ordered dict; bytes that are not UTF-8 become
    surrogate escapes, as os.fsdecode does for file names."""
    return json.loads(raw.decode("utf-8", "surrogateescape"))


class SyncCase(harness.KuvetTestCase):
    """Folders bound to one store, edited with explicit times and
    synchronised with the real binary. A backend mixin provides config(),
    objects() (key -> bytes, straight from the store), put_object(key, data)
    and delete_object(key)."""

    def setUp(self):
        super().setUp()
        self.start = int(time.time())
        self.latest = 0  # the newest revision seen in the store

    # Folders and files.

    def folder(self, name, config=None):
        path = self.path(name)
        os.makedirs(path)
        with open(os.path.join(path, ".kuvet"), "w") as f:
            json.dump(config or self.config(), f)
        return path

    def old(self, n=0):
        """A time long before every revision of the test."""
        return self.start - OLD + n

    def now(self):
        """A time for an edit made after every run so far: later than every
        revision in the store, and not before the clock."""
        return max(int(time.time()), self.latest + 1)

    def put_file(self, folder, name, data, mtime):
        full = os.path.join(folder, name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)
        os.utime(full, (mtime, mtime))

    def content(self, folder, name):
        try:
            with open(os.path.join(folder, name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def mtime(self, folder, name):
        return int(os.lstat(os.path.join(folder, name)).st_mtime)

    def snapshot(self, folder, folder_times=True):
        """Every entry below folder, hidden ones too: relative path ->
        (kind, mtime, content or link target)."""
        found = {}
        for root, dirs, files in os.walk(folder):
            for name in dirs + files:
                full = os.path.join(root, name)
                rel = os.path.relpath(full, folder)
                st = os.lstat(full)
                if stat.S_ISLNK(st.st_mode):
                    found[rel] = ("link", os.readlink(full))
                elif stat.S_ISDIR(st.st_mode):
                    found[rel + "/"] = ("dir", st.st_mtime_ns if folder_times else None)
                elif stat.S_ISREG(st.st_mode):
                    found[rel] = ("file", st.st_mtime_ns, self.content(folder, rel))
                else:
                    found[rel] = ("other", st.st_mtime_ns)
        return found

    def synced(self, folder):
        """What the folder holds that takes part in synchronisation: key ->
        (content, mtime) of files, None for folders; hidden entries, conflict
        copies and "_revision" left out."""
        found = {}
        for root, dirs, files in os.walk(folder):
            for name in dirs + files:
                rel = os.path.relpath(os.path.join(root, name), folder)
                if name.startswith("."):
                    continue
                if name in dirs:
                    found[rel + "/"] = None
                elif rel != "_revision" and not rel.endswith(".CONFLICT"):
                    found[rel] = (self.content(folder, rel), self.mtime(folder, rel))
        return found

    def files_of(self, folder):
        """The synchronised files' contents (no folders, no times)."""
        return {k: v[0] for k, v in self.synced(folder).items() if v is not None}

    # The store, read without kuvet.

    def manifest_raw(self):
        return self.objects().get(".manifest")

    def manifest(self):
        raw = self.manifest_raw()
        return None if raw is None else parse_manifest(raw)

    def stored_files(self):
        """The store's objects other than ".manifest"."""
        return {k: v for k, v in self.objects().items() if k != ".manifest"}

    # Runs.

    def sync(self, folder, timeout=harness.RUN_TIMEOUT):
        result = self.kuvet("sync", cwd=folder, timeout=timeout)
        self.note_revisions(result)
        return result

    def note_revisions(self, result):
        for line in result.lines:
            for prefix in ("New revision: ", "At revision: "):
                if line.startswith(prefix):
                    self.latest = max(self.latest, int(line[len(prefix):]))

    def assertSync(self, folder, lines, status=0):
        """Runs sync in folder; its output must be exactly lines, where NEW
        and AT stand for the revision lines. A new revision must be later
        than every earlier one and not before the clock; "At revision" must
        be the store's. Both must be what "_revision" now holds, as text and
        as its time. Returns the revision (or None) and the result."""
        before = int(time.time())
        latest = self.latest
        result = self.kuvet("sync", cwd=folder)
        got = result.lines
        message = "\n".join(["expected:"] + [str(x) for x in lines] + ["got:"] + got +
                            ["status %d" % result.status, result.stderr.decode("utf-8", "replace")])
        self.assertEqual(len(got), len(lines), message)
        self.assertEqual(result.status, status, message)
        self.assertTrue(result.out == "" or result.out.endswith("\n"), message)
        revision = None
        for want, line in zip(lines, got):
            if want in (NEW, AT):
                prefix = want[:-3]
                self.assertTrue(line.startswith(prefix), message)
                number = line[len(prefix):]
                self.assertRegex(number, r"^[0-9]+$", message)
                revision = int(number)
            else:
                self.assertEqual(line, want, message)
        if revision is not None:
            if NEW in lines:
                self.assertGreater(revision, latest, message)
                self.assertGreaterEqual(revision, before, message)
            self.assertEqual(self.manifest()["_revision"], revision, message)
            self.assertRevisionFile(folder, revision)
        self.note_revisions(result)
        return revision

    def assertRevisionFile(self, folder, revision):
        self.assertEqual(self.content(folder, "_revision"), str(revision).encode())
        self.assertEqual(self.mtime(folder, "_revision"), revision)

    def assertSameFiles(self, *folders):
        first = self.synced(folders[0])
        for other in folders[1:]:
            self.assertEqual(self.synced(other), first, other)
        manifest = self.manifest()
        files = {k: v for k, v in first.items() if v is not None}
        self.assertEqual(self.stored_files(), {k: v[0] for k, v in files.items()})
        self.assertEqual({k: v for k, v in manifest.items() if not k.endswith("/")},
                         dict({k: v[1] for k, v in files.items()}, _revision=manifest["_revision"]))

    def pair(self, files, names=("A", "B")):
        """Folders that agree with the store on files (name -> content, all
        written long ago by the first folder)."""
        folders = [self.folder(name) for name in names]
        for n, (name, data) in enumerate(sorted(files.items())):
            self.put_file(folders[0], name, data, self.old(n))
        for folder in folders:
            result = self.sync(folder)
            self.assertEqual(result.status, 0, result)
        return folders


class StrictBackend(strict_store.PerClass):
    """The strict store, one per class, emptied before each test."""


    def config(self):
        return self.store.config()

    def objects(self):
        return {key: self.store.get(key) for key in self.store.keys()}

    def put_object(self, key, data):
        self.store.put(key, data.encode() if isinstance(data, str) else data)

    def delete_object(self, key):
        self.store.delete(key)


class S3rverBackend:
    """One s3rver per class with a bucket for each test."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        count = len(unittest.TestLoader().getTestCaseNames(cls))
        cls.buckets = ["kuvet-sync-%02d" % n for n in range(count)]
        cls.s3rver = s3.S3rver(buckets=cls.buckets).start()
        cls.used = 0

    @classmethod
    def tearDownClass(cls):
        cls.s3rver.stop()
        super().tearDownClass()

    def setUp(self):
        cls = type(self)
        self.bucket = cls.buckets[cls.used]
        cls.used += 1
        super().setUp()

    def config(self):
        return self.s3rver.config(self.bucket)

    def objects(self):
        # Contents over HTTP: the data folder can show an object half written.
        found = {key: self.s3rver.fetch(key, self.bucket) for key in self.s3rver.keys(self.bucket)}
        return {key: data for key, data in found.items() if data is not None}

    def put_object(self, key, data):
        self.s3rver.put(key, data, self.bucket)

    def delete_object(self, key):
        self.s3rver.delete(key, self.bucket)


class TableCases:
    """The decision table and the published texts, for every store."""

    def test_first_run_in_an_empty_folder_against_an_empty_store_prints_nothing(self):
        a = self.folder("A")
        self.assertSync(a, [])
        self.assertSync(a, [])
        self.assertEqual(self.objects(), {})
        self.assertEqual(sorted(os.listdir(a)), [".kuvet", ".kuvet-synced"])

    def test_manifest_text_revision_file_and_second_folder(self):
        a = self.folder("A")
        names = [".cache/x", "1.txt", "a.txt", "B.txt", "docs/a.txt", "docs-x", "sub/.hid",
                 "~z", ".hidden"]
        for n, name in enumerate(names):
            self.put_file(a, name, "content of " + name, self.old(n))
        for n, name in enumerate(["docs", "sub", ".cache"]):
            os.utime(os.path.join(a, name), (self.old(20 + n), self.old(20 + n)))
        t = {name: self.old(n) for n, name in enumerate(names)}
        t.update({"docs/": self.old(20), "sub/": self.old(21)})
        uploaded = [".cache/x", "1.txt", "a.txt", "B.txt", "docs-x", "docs/a.txt", "~z"]
        rev = self.assertSync(a, [" -> " + k for k in uploaded] + [NEW])

        # Compact JSON, members in walk order ("_" after digits, before
        # letters; "B" folded; a folder before "docs-x" and before its
        # contents), whole numbers; hidden names and ".kuvet" left out.
        expected = ('{".cache/x":%d,"1.txt":%d,"_revision":%d,"a.txt":%d,"B.txt":%d,'
                    '"docs/":%d,"docs-x":%d,"docs/a.txt":%d,"sub/":%d,"~z":%d}' % (
                        t[".cache/x"], t["1.txt"], rev, t["a.txt"], t["B.txt"], t["docs/"],
                        t["docs-x"], t["docs/a.txt"], t["sub/"], t["~z"]))
        self.assertEqual(self.manifest_raw(), expected.encode())
        self.assertEqual(self.stored_files(),
                         {k: ("content of " + k).encode() for k in uploaded})
        self.assertRevisionFile(a, rev)
        self.assertSync(a, [])

        b = self.folder("B")
        downloaded = [".cache/x", "1.txt", "a.txt", "B.txt", "docs/", "docs-x", "docs/a.txt",
                      "sub/", "~z"]
        self.assertEqual(self.assertSync(b, [" <- " + k for k in downloaded] + [AT]), rev)
        for key in uploaded:
            self.assertEqual(self.content(b, key), ("content of " + key).encode(), key)
            self.assertEqual(self.mtime(b, key), t[key], key)
        for key in ("docs", "sub", ".cache"):
            self.assertTrue(os.path.isdir(os.path.join(b, key)), key)
        self.assertFalse(os.path.lexists(os.path.join(b, ".hidden")))
        self.assertFalse(os.path.lexists(os.path.join(b, "sub/.hid")))
        self.assertSync(b, [])
        self.assertSync(a, [])
        self.assertEqual(self.manifest_raw(), expected.encode())

    def test_row_edited_here_is_uploaded_and_downloaded_there(self):
        a, b = self.pair({"x.txt": "v0", "y.txt": "v0"})
        t = self.now()
        self.put_file(a, "x.txt", "A edit", t)
        rev = self.assertSync(a, [" -> x.txt", NEW])
        self.assertEqual(self.stored_files()["x.txt"], b"A edit")
        self.assertEqual(self.manifest()["x.txt"], t)
        # rev < rtime, rtime != ltime, ltime <= rev: downloaded, touched.
        self.assertEqual(self.assertSync(b, [" <- x.txt", AT]), rev)
        self.assertEqual((self.content(b, "x.txt"), self.mtime(b, "x.txt")), (b"A edit", t))
        self.assertSync(a, [])
        self.assertSync(b, [])
        self.assertSameFiles(a, b)

    def test_row_a_local_time_older_than_the_store_is_not_uploaded(self):
        a, b = self.pair({"x.txt": "v0"})
        self.put_file(a, "x.txt", "older", self.old() - 50)
        self.assertSync(a, [])
        self.assertEqual(self.stored_files(), {"x.txt": b"v0"})
        self.assertSync(b, [])

    def test_row_edited_on_both_sides_is_a_conflict(self):
        a, b = self.pair({"x.txt": "v0"})
        t = self.now()
        self.put_file(a, "x.txt", "A edit", t)
        rev = self.assertSync(a, [" -> x.txt", NEW])
        self.put_file(b, "x.txt", "B edit", t + 1)
        self.assertEqual(self.assertSync(b, [CONFLICT + "x.txt", " <- x.txt",
                                             SKIPPED + "x.txt.CONFLICT", AT]), rev)
        self.assertEqual((self.content(b, "x.txt"), self.mtime(b, "x.txt")), (b"A edit", t))
        self.assertEqual((self.content(b, "x.txt.CONFLICT"), self.mtime(b, "x.txt.CONFLICT")),
                         (b"B edit", t + 1))
        self.assertSync(b, [SKIPPED + "x.txt.CONFLICT"])
        self.assertSync(a, [])
        self.assertSameFiles(a, b)
        self.assertNotIn("x.txt.CONFLICT", self.objects())

    def test_row_new_here_is_uploaded_and_created_there_with_its_folders(self):
        a, b = self.pair({"a.txt": "v0"})
        t = self.now()
        self.put_file(a, "new/deep/n.txt", "deep", t)
        self.put_file(a, "n2.txt", "two", t)
        self.assertSync(a, [" -> n2.txt", " -> new/deep/n.txt", NEW])
        self.assertSync(b, [" <- n2.txt", " <- new/", " <- new/deep/", " <- new/deep/n.txt", AT])
        self.assertEqual(self.mtime(b, "new/deep/n.txt"), t)
        self.assertSync(a, [])
        self.assertSync(b, [])
        self.assertSameFiles(a, b)

    def test_row_deleted_here_is_deleted_in_the_store_then_there(self):
        a, b = self.pair({"keep.txt": "k", "d.txt": "d", "dir/f.txt": "f", "dir/g.txt": "g"})
        os.remove(os.path.join(a, "d.txt"))
        os.remove(os.path.join(a, "dir/f.txt"))
        os.remove(os.path.join(a, "dir/g.txt"))
        os.rmdir(os.path.join(a, "dir"))
        # Contents before their folder, which is never sent.
        self.assertSync(a, [" -x dir/g.txt", " -x dir/f.txt", " -x d.txt", NEW])
        self.assertEqual(self.stored_files(), {"keep.txt": b"k"})
        self.assertEqual(sorted(self.manifest()), ["_revision", "keep.txt"])
        # ltime < rev: deleted there, an emptied folder too.
        self.assertSync(b, [" x- dir/g.txt", " x- dir/f.txt", " x- dir/", " x- d.txt", AT])
        self.assertEqual(sorted(os.listdir(b)), [".kuvet", ".kuvet-synced", "_revision",
                                                 "keep.txt"])
        self.assertSync(a, [])
        self.assertSync(b, [])

    def test_row_deleted_in_the_store_but_edited_here_is_uploaded_again(self):
        a, b = self.pair({"x.txt": "v0", "other.txt": "o"})
        os.remove(os.path.join(b, "x.txt"))
        self.assertSync(b, [" -x x.txt", NEW])
        t = self.now()
        self.put_file(a, "x.txt", "A edit", t)
        # ltime >= rev: kept and uploaded. (The old code printed " x- x.txt"
        # here although nothing was deleted.)
        self.assertSync(a, [" -> x.txt", NEW])
        self.assertEqual(self.content(a, "x.txt"), b"A edit")
        self.assertSync(b, [" <- x.txt", AT])
        self.assertSameFiles(a, b)

    def test_one_run_prints_every_phase_in_order(self):
        a, b = self.pair({k: "v0 " + k for k in ("c.txt", "d.txt", "e.txt", "k.txt", "m.txt")})
        t = self.now()
        self.put_file(a, "c.txt", "A edit", t)
        self.put_file(a, "a.txt", "A new", t)
        os.remove(os.path.join(a, "d.txt"))
        self.assertSync(a, [" -> a.txt", " -> c.txt", " -x d.txt", NEW])
        self.put_file(b, "c.txt", "B edit", t + 1)
        self.put_file(b, "k.txt", "B edit", t + 1)
        self.put_file(b, "b.txt", "B new", t + 1)
        os.remove(os.path.join(b, "m.txt"))
        # Downloads in the store's order (a key the folder lacks comes back
        # whatever happened to it here), local deletions, uploads in the
        # folder's order with conflict copies skipped, then the revision.
        self.assertSync(b, [" <- a.txt", CONFLICT + "c.txt", " <- c.txt", " <- m.txt",
                            " x- d.txt", " -> b.txt", SKIPPED + "c.txt.CONFLICT", " -> k.txt",
                            NEW])
        self.assertSync(a, [" <- b.txt", " <- k.txt", AT])
        self.assertSameFiles(a, b)
        self.assertEqual(self.content(b, "c.txt.CONFLICT"), b"B edit")
        self.assertEqual(self.content(a, "c.txt"), b"A edit")

    def test_two_folders_over_several_rounds_end_equal_and_keep_every_edit(self):
        a, b = self.pair({"f%d" % n: "v0-f%d" % n for n in range(1, 7)})

        def edit(folder, name, text, when):
            self.put_file(folder, name, text, when)

        def gone(folder, name):
            full = os.path.join(folder, name)
            if os.path.isdir(full):
                os.rmdir(full)
            else:
                os.remove(full)

        def run(*folders):
            for folder in folders:
                result = self.sync(folder)
                self.assertEqual(result.status, 0, result)

        def survives(text):
            """Some file of some folder, conflict copies included, holds text."""
            for folder in (a, b):
                for root, _, files in os.walk(folder):
                    for name in files:
                        if self.content(root, name) == text.encode():
                            return True
            return False

        # Round 1: the same file edited on both sides, a new file made on
        # both sides under one name, new files.
        t = self.now()
        edit(a, "f1", "A1-f1", t)
        edit(a, "f2", "A1-f2", t)
        edit(a, "n1", "A1-n1", t)
        edit(a, "same.txt", "A1-same", t)
        edit(b, "f1", "B1-f1", t + 1)
        edit(b, "n2", "B1-n2", t + 1)
        edit(b, "same.txt", "B1-same", t + 1)
        run(a, b, a)
        self.assertSameFiles(a, b)
        for text in ("A1-f1", "B1-f1", "A1-f2", "A1-n1", "B1-n2", "A1-same", "B1-same"):
            self.assertTrue(survives(text), text)

        # Round 2: deleted here but edited there, edited on both sides within
        # the same second, a new folder, a deletion.
        t = self.now()
        gone(a, "f2")
        edit(a, "f4", "A2-f4", t)
        edit(a, "dir/x", "A2-x", t)
        edit(b, "f2", "B2-f2", t)
        edit(b, "f1", "B2-f1", t)
        edit(b, "f4", "B2-f4", t)
        gone(b, "f3")
        run(b, a, b)
        self.assertSameFiles(a, b)
        for text in ("B2-f2", "B2-f1", "A2-f4", "B2-f4", "A2-x"):
            self.assertTrue(survives(text), text)
        self.assertEqual(self.files_of(a)["f2"], b"B2-f2")
        self.assertNotIn("f3", self.files_of(a))

        # Round 3: a folder deleted, edits on both sides to different files.
        t = self.now()
        gone(a, "dir/x")
        gone(a, "dir")
        edit(a, "f5", "A3-f5", t)
        edit(b, "f6", "B3-f6", t + 1)
        edit(b, "f1", "B3-f1", t + 1)
        run(a, b, a, b)
        self.assertSameFiles(a, b)
        files = self.files_of(a)
        self.assertEqual((files["f5"], files["f6"], files["f1"]), (b"A3-f5", b"B3-f6", b"B3-f1"))
        self.assertFalse(any(k.endswith(".CONFLICT") for k in self.objects()))
        # Nothing more to do anywhere; the conflict copies stay.
        for folder in (a, b):
            copies = sorted((name for name in os.listdir(folder) if name.endswith(".CONFLICT")),
                            key=walk_key)
            self.assertTrue(copies)
            self.assertSync(folder, [SKIPPED + name for name in copies])


class StrictStoreTable(StrictBackend, TableCases, SyncCase):
    pass


class S3rverTable(S3rverBackend, TableCases, SyncCase):
    pass


if __name__ == "__main__":
    unittest.main()
