"""kuvet sync with two folders on one strict store that honours conditional
writes: the cases that lost edits before, syncs at the same moment, a store
that fails or refuses, what the folder holds that cannot be synced, and large
files sent in parts, never leaving parts behind."""

import concurrent.futures
import json
import os
import random
import shutil
import signal
import stat
import subprocess
import time

import harness
import strict_store
from sync_case import ABSENT, LONG, OLD, SyncCase, run_script


class Scenarios(SyncCase):

    # What lost a version, undid a deletion or got a folder stuck before.
    # Each script is followed by syncs until nothing changes; then both
    # folders agree with the store, nothing written is lost, and the keys
    # named hold what the row says.
    SCENARIOS = {
        "one name made in both, one before the other's publish, one after": (
            "B put notes.txt=b -30; A put base=x; A sync; B sync; A put notes.txt=a +30; A sync", {}),
        "an edit with an older time (cp -p, tar x, a slow clock)": (
            "A put f=1; A sync; B sync; A put f=2 old; A sync", {"f": b"A f:2"}),
        "one name made in both with old times": (
            "A put base=x; A sync; B sync; A put g=a old; B put g=b old; A sync; B sync", {}),
        "a deletion is not undone by the other's next publish": (
            "A put h=1; A sync; B sync; B rm h; B sync; A put other=1; A sync", {"h": ABSENT}),
        "a file made and synced within a second is deleted elsewhere": (
            "A put i=1; A sync; B sync; B rm i; B sync", {"i": ABSENT}),
        "a file replaced by a folder": (
            "A put d=f; A sync; B sync; A rm d; A put d/x=1; A sync; B sync; B put d/x=2; B sync",
            {"d/x": b"B d/x:2"}),
        "a folder replaced by a file": (
            "A put e/x=1; A sync; B sync; B rm e; B put e=file; B sync", {"e": b"B e:file"}),
        "a file made a folder here while edited there": (
            "A put j=1; A sync; B sync; A rm j; A put j/x=2; B put j=3; A sync; B sync", {}),
        "a conflict over a name too long for .CONFLICT": (
            "A put LONG=1; A sync; B sync; A put LONG=2; B put LONG=3; A sync; B sync", {}),
        "an empty folder comes, and goes when removed": (
            "A mkdir k/sub; A sync; B sync; B rm k; B sync", {"k": ABSENT}),
        "a folder removed there while a file is made in it here": (
            "A mkdir m; A sync; B sync; B rm m; A put m/new=1; B sync; A sync", {"m/new": b"A m/new:1"}),
    }

    def test_scenarios(self):
        for name, (script, expected) in self.SCENARIOS.items():
            with self.subTest(name):
                self.store.clear()
                self.written = set()
                n = len(os.listdir(self.dir))
                a, b = self.folder("A%d" % n), self.folder("B%d" % n)
                run_script(self, script, {"A": a, "B": b})
                self.settle(a, b)
                self.assertNothingLost(a, b)
                tree = self.tree(a)
                for key, content in expected.items():
                    self.assertEqual(tree.get(key, ABSENT), content, key)

    def test_one_run_reports_every_step_in_order(self):
        a, b = self.folder("A"), self.folder("B")
        run_script(self, "A put c=0; A put d/x=0; A put gone=0; A put stay=0; A sync; B sync; "
                         "B put c=B; B put n/new=1; B rm d; B sync; "
                         "A put c=A; A put up=1; A rm stay")
        lines = self.sync(a).lines
        self.assertEqual(lines[:-1], [
            "Warning! Conflicting modifications for file: c", " <- c", " <- n/", " <- n/new",
            " x- d/x", " x- d/", " -> up", " -x stay"])
        self.assertTrue(lines[-1].startswith("New revision: "), lines)
        revision = int(lines[-1].split(": ")[1])
        self.assertEqual(self.manifest()["_revision"], revision)
        self.assertEqual(self.read(os.path.join(a, "_revision")), str(revision).encode())
        self.assertEqual(self.read(os.path.join(a, "c.CONFLICT")), b"A c:A")
        # A download takes the time the store's .manifest lists.
        self.assertEqual(int(os.stat(os.path.join(a, "n/new")).st_mtime), self.manifest()["n/new"])
        self.assertEqual(self.sync(b).lines[-1], "At revision: %d" % revision)
        self.assertNothingLost(a, b)
        # A new folder alone is a change here; a run with none gets a 304 for .manifest.
        os.mkdir(os.path.join(a, "e"))
        self.sync(a)
        self.assertEqual(self.sync(b).lines, [" <- e/", "At revision: %d" % (revision + 1)])
        self.assertEqual(self.sync(b).lines, [])
        self.assertEqual([r.status for r in self.store.log() if r.key == ".manifest"][-1], 304)

    def test_syncs_at_the_same_moment_lose_nothing(self):
        a, b = self.folder("A"), self.folder("B")
        rng = random.Random(7)
        names = ["f%d" % n for n in range(6)] + ["d/f%d" % n for n in range(3)]
        for round_ in range(12):
            for who, folder in (("A", a), ("B", b)):
                for _ in range(3):
                    name = rng.choice(names)
                    if rng.random() < 0.2 and os.path.exists(os.path.join(folder, name)):
                        self.remove(folder, name)
                    else:
                        self.put(folder, name, "%s %d %d" % (who, round_, rng.randrange(10 ** 6)))
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                for result in pool.map(lambda f: self.sync(f, status=None), (a, b)):
                    self.assertIn(result.status, (0, 1), result)
        self.settle(a, b)
        self.assertNothingLost(a, b)
        revisions = [r for r in self.store.log() if r.method == "PUT" and r.key == ".manifest"
                     and r.status == 200]
        numbers = [json.loads(r.body)["_revision"] for r in revisions]
        self.assertEqual(numbers, sorted(set(numbers)), "revisions must only grow")

    def test_a_write_that_meets_another_clients_upload_loses_nothing(self):
        # B's upload or deletion of x arrives just after A's run replaced x and
        # published: the store refuses it (412), and B decides again from what A did.
        for method, b_step in (("PUT", "B put x=B"), ("DELETE", "B rm x")):
            with self.subTest(method):
                self.store.clear()
                self.written, self.superseded = set(), set()
                a, b = self.folder("A" + method), self.folder("B" + method)
                run_script(self, "A put x=0; A sync; B sync; A put x=A; " + b_step,
                           {"A": a, "B": b})
                self.store.before("x", lambda store, request: self.sync(a), method=method)
                self.sync(b)
                self.settle(a, b)
                self.assertNothingLost(a, b)
                self.assertEqual(self.tree(a)["x"], b"A x:A")

    def test_an_upload_whose_client_died_before_publishing_is_a_change(self):
        # The object is another version than .manifest lists: with an edit
        # here too it is a conflict, and nothing is stuck behind it.
        a, b = self.folder("A"), self.folder("B")
        run_script(self, "A put x=0; A sync; B sync; B put x=B")
        self.store.put("x", b"unpublished")
        self.written.add(b"unpublished")
        self.sync(b)
        self.settle(a, b)
        self.assertNothingLost(a, b)


class Faults(SyncCase):
    """A request that fails ends the run with status 1 and a line naming it;
    the rest of the run goes on, and the next run finishes the work."""

    # request (key, method, matching requests let through) -> script of the run
    REQUESTS = {
        "download": ("n", "GET", 0, "B put n=new; B put e=B; B sync"),
        "upload": ("u", "PUT", 0, "A put u=new"),
        "deletion": ("e", "DELETE", 0, "A rm e"),
        "upload of .manifest": (".manifest", "PUT", 0, "A put u=new; A rm e"),
    }
    FAULTS = {
        "500": lambda s, key, method, skip: s.fail(key, 500, method=method, skip=skip),
        "closed during the reply": lambda s, key, method, skip: s.cut(key, method=method, skip=skip),
        "closed after the work": lambda s, key, method, skip: s.drop(key, handled=True, method=method,
                                                                    skip=skip),
    }

    def test_every_fault_of_every_request(self):
        a, b = self.folder("A"), self.folder("B")
        run_script(self, "A put e=0; A put keep=0; A sync; B sync")
        saved = self.save("A", "B")
        written = set(self.written)
        for request, (key, method, skip, script) in self.REQUESTS.items():
            for name, fault in self.FAULTS.items():
                with self.subTest(request=request, fault=name):
                    self.restore(saved)
                    self.written = set(written)
                    run_script(self, script)
                    fault(self.store, key, method, skip)
                    result = self.sync(a, status=1)
                    self.assertTrue(any(line.startswith("Error! ") and key in line
                                        for line in result.lines), result)
                    self.store.clear_faults()
                    self.settle(a, b)
                    self.assertNothingLost(a, b)

    def test_a_manifest_that_cannot_be_used_changes_nothing(self):
        a = self.folder("A")
        run_script(self, "A put f=0; A sync; A put f=1; A put g=1")
        damaged = "Error! The store's .manifest is damaged"
        cases = [  # what the store holds or does -> how the run's first line starts
            (lambda: self.store.fail(".manifest", 500, method="GET"), "Error! "),
            (lambda: self.store.fail(".manifest", 404, code="NoSuchBucket", method="GET"), "Error! "),
            ("{damaged", damaged), ('"text"', damaged), ("[" * 100000, damaged),
            ('{"_revision":1,"x":' + "[" * 100000, damaged),
        ] + [('{"_revision":%s}' % v, damaged + " (its _revision is not a number)")
             for v in ('"soon"', '""', '"12abc"', "true", "null", "[1]", '{"n":1}')]
        saved = self.save("A")
        for fault, first in cases:
            with self.subTest(str(fault)[:20]):
                self.restore(saved)
                fault() if callable(fault) else self.store.put(".manifest", fault.encode())
                before = (self.tree(a), self.objects())
                result = self.sync(a, status=1)
                self.assertTrue(result.lines[0].startswith(first), result)
                self.assertIn("Nothing was changed.", result.out)
                self.assertEqual((self.tree(a), self.objects()), before)
        # Another writer's times as text are times.
        self.store.put(".manifest", b'{"_revision":"5","t":"%d"}' % OLD)
        self.store.put("t", b"from the store")
        self.assertEqual(self.sync(a).lines[:1], [" <- t"])
        self.assertEqual(int(os.stat(os.path.join(a, "t")).st_mtime), OLD)

    def test_an_object_the_manifest_lists_but_the_store_lacks(self):
        # Named once, though another client's publish makes the run decide again.
        a, b = self.folder("A"), self.folder("B")
        run_script(self, "A put f=0; A put g=0; A sync; B sync; A put f=1; A put g=1; A sync; A put k=1; B put h=B")
        self.store.delete("f")
        self.store.before(".manifest", lambda store, request: self.sync(a), method="PUT")
        lost = "Error! Listed in the store's .manifest but missing from the store: f\n"
        self.assertEqual(self.sync(b, status=1).out.count(lost), 1)
        self.assertEqual(self.tree(b), {"f": b"A f:0", "g": b"A g:1", "h": b"B h:B", "k": b"A k:1"})  # the rest done


class FolderContents(SyncCase):

    def test_what_cannot_be_synced_is_named_and_left_alone(self):
        a, b = self.folder("A"), self.folder("B")
        run_script(self, "A put shared=0; A put gone=0; A sync; B sync; A rm gone; A put shared=1; A sync")
        os.remove(os.path.join(b, "shared"))
        os.mkfifo(os.path.join(b, "shared"))
        os.remove(os.path.join(b, "gone"))
        os.symlink("nowhere", os.path.join(b, "gone"))
        for name in ("back\\slash", b"bad\xff".decode("utf-8", "surrogateescape")):
            self.put(b, name, "unsafe")
        self.written -= {b"unsafe"}
        lines = self.sync(b).lines
        for want in ("Warning! Not a regular file, skipped: shared", "Warning! Not a regular file, skipped: gone",
                     "Warning! Unsafe key skipped: back\\slash"):
            self.assertIn(want, lines)
        self.assertTrue(stat.S_ISFIFO(os.lstat(os.path.join(b, "shared")).st_mode))
        self.assertTrue(os.path.islink(os.path.join(b, "gone")))
        self.assertEqual(set(self.manifest()), {"_revision", "shared"})

    def test_keys_in_the_manifest_that_could_leave_the_folder_are_skipped_and_kept(self):
        a = self.folder("A")
        unsafe = ["../escape", "/tmp/abs", "a/../b", "a//b", "a\\b", ".kuvet", "sub/.hidden", "nul\u0000x"]
        listed = dict({k: OLD for k in unsafe}, ok=OLD, _revision=OLD)
        self.store.put(".manifest", json.dumps(listed).encode())
        self.store.put("ok", b"fine")
        self.put(a, "mine", "mine")
        lines = self.sync(a).lines
        for key in unsafe[:-1]:
            self.assertIn("Warning! Unsafe key skipped: " + key, lines)
        self.assertEqual(set(self.tree(a)), {"ok", "mine"})
        self.assertEqual(set(self.manifest()) - set(listed), {"mine"})
        # Keys that may be files but not terminal text are shown with "?".
        listed = self.manifest()
        for key in ("x\nNew revision: 99", "e\x1b[2J\u009b"):
            self.store.put(key, b"odd")
            listed[key] = OLD
        self.store.put(".manifest", json.dumps(listed).encode())
        out = self.sync(a).out
        self.assertIn(" <- x?New revision: 99\n", out)
        self.assertIn(" <- e?[2J?\n", out)
        self.assertNotIn("\x1b", out)
        self.assertEqual(set(os.listdir(os.path.dirname(a))) - {"A"}, set())

    def test_a_folder_that_cannot_be_read_stops_the_run(self):
        # Run as nobody, for whom the permissions hold (root reads anything).
        a = self.folder("A")
        run_script(self, "A put m/x=0; A put y=0")
        for root, dirs, files in os.walk(self.dir):
            for name in [root] + [os.path.join(root, n) for n in dirs + files]:
                os.chown(name, 65534, 65534)
        os.chmod(os.path.join(a, "m"), 0)
        binary = shutil.copy(harness.binary(), self.path("kuvet"))  # where nobody reaches it
        proc = subprocess.run([binary, "sync"], cwd=a, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, preexec_fn=lambda: os.setuid(65534),
                              timeout=harness.RUN_TIMEOUT)
        self.assertEqual((proc.stdout, proc.returncode),
                         (b"Error! Could not read the folder m; the run stops here.\n", 1))
        self.assertEqual(self.objects(), {})

    def test_without_a_usable_record_nothing_is_deleted(self):
        a, b = self.folder("A"), self.folder("B")
        run_script(self, "A put x=0; A put y=0; A sync; B sync; B rm x; B sync")
        record = os.path.join(a, ".kuvet-synced")
        with open(record) as f:
            elsewhere = f.read().replace(self.store.url(), "http://other.s3.localhost:1/")
        saved = self.save("A", "B")
        for case in ("{damaged", elsewhere, "the store lost its .manifest"):
            with self.subTest(case[:20]):
                self.restore(saved)
                if case.startswith("the store"):
                    self.store.delete(".manifest")
                else:
                    with open(record, "w") as f:
                        f.write(case)
                self.sync(a)
                self.assertEqual(set(self.tree(a)), {"x", "y"})
                self.assertEqual(set(self.objects()), {"x", "y"})

    def test_a_run_that_would_delete_most_files_stops_first(self):
        a, b = self.folder("A"), self.folder("B")
        run_script(self, "; ".join("A put f%02d=0" % n for n in range(30)) + "; A sync; B sync")
        for n in range(25):
            self.remove(a, "f%02d" % n)
        result = self.sync(a, status=1)
        self.assertIn("would delete 25 of the 30 recorded files and folders in the store", result.out)
        self.assertEqual(len(self.objects()), 30)
        self.folder("A", max_delete=90)
        self.sync(a)
        self.assertEqual(len(self.objects()), 5)


MIB = 1 << 20
SIZE = 17 * MIB + 5  # three parts of 8 MiB, the last one short


class Multipart(SyncCase):

    def setUp(self):
        super().setUp()
        self.a = self.folder("A", multipart_threshold=MIB)
        self.data = os.urandom(SIZE)
        self.put(self.a, "big.bin", self.data)

    def kinds(self):
        """The multipart requests the store received, in order."""
        out = []
        for r in self.store.log():
            if r.param("uploads") is not None:
                out.append("begin")
            elif r.param("partNumber") is not None:
                out.append("part")
            elif r.param("uploadId") is not None:
                out.append("complete" if r.method == "POST" else "abort")
        return out

    def test_a_large_file_goes_up_in_parts_signed_either_way(self):
        for sigv4 in (False, True):
            with self.subTest(sigv4=sigv4):
                self.store.clear()
                self.folder("A", multipart_threshold=MIB, idle_timeout=0.3, **({"region": "us-east-1"} if sigv4 else {}))
                # Joining the parts keeps the store silent longer than the usual limit.
                self.store.before("big.bin", lambda store, request: time.sleep(0.5), method="POST", skip=1)
                result = self.kuvet("put", "big.bin", cwd=self.a)
                self.assertEqual(result.status, 0, result)
                self.assertEqual(self.store.get("big.bin"), self.data)
                self.assertEqual(sorted(self.kinds()), ["begin", "complete", "part", "part", "part"])
                self.assertEqual(self.store.refused(), [])
        self.assertEqual(self.sync(self.a).lines[-1][:14], "New revision: ")
        self.store.delete("big.bin")  # a sync in another folder gets the object back whole
        self.store.put("big.bin", self.data)
        b = self.folder("B")
        self.sync(b)
        self.assertEqual(self.read(os.path.join(b, "big.bin")), self.data)

    def test_a_failed_part_aborts_the_upload(self):
        # 503 to a part, a part whose checksum the store reports otherwise, and
        # the store refusing to complete: nothing is left, status 1.
        faults = {
            "503 to the second part": lambda: self.store.fail("big.bin", 503, method="PUT", skip=1),
            "another checksum": lambda: self.store.answer(
                "big.bin", lambda s, r: strict_store.Reply(200, b"", [("ETag", '"0"')]), method="PUT", times=1),
            "the end refused": lambda: self.store.fail("big.bin", 500, method="POST", skip=1),
        }
        for name, fault in faults.items():
            for command in (("put", "big.bin"), ("sync",)):
                with self.subTest(fault=name, command=command[0]):
                    self.store.clear()
                    fault()
                    result = self.kuvet(*command, cwd=self.a)
                    self.assertEqual(result.status, 1, result)
                    self.assertIn("big.bin", result.out)
                    self.assertEqual((self.store.keys(), self.store.uploads), ([], {}))
                    self.assertIn("abort", self.kinds())

    def test_an_upload_left_by_a_killed_run_is_aborted_by_the_next(self):
        # An abort the store refuses is named and left for the run after; one
        # it cannot do at all (405) is given up.
        for command, refusal in ((("put", "big.bin"), 500), (("sync",), 405)):
            with self.subTest(command=command[0]):
                self.store.clear()
                proc = None

                def kill(store, request):
                    os.kill(proc.pid, signal.SIGKILL)

                self.store.before("big.bin", kill, method="PUT", skip=1)
                proc = subprocess.Popen([harness.binary()] + list(command), cwd=self.a,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                proc.communicate(timeout=harness.RUN_TIMEOUT)
                self.assertEqual(proc.returncode, -signal.SIGKILL)
                self.assertEqual(len(self.store.uploads), 1)
                with open(os.path.join(self.a, ".kuvet-uploads")) as f:
                    self.assertEqual(list(json.load(f).values()), ["big.bin"])
                self.store.clear_faults()
                self.store.fail("big.bin", refusal, method="DELETE", times=1)
                out = self.kuvet(*command, cwd=self.a).out
                self.assertEqual("Error! DELETE (an unfinished multipart upload) of big.bin failed:" in out,
                                 refusal == 500, out)
                self.assertEqual(len(self.store.uploads), 1)
                self.assertEqual(self.kuvet(*command, cwd=self.a).status, 0)
                self.assertEqual(len(self.store.uploads), int(refusal == 405))
                self.assertFalse(os.path.exists(os.path.join(self.a, ".kuvet-uploads")))
                self.assertEqual(self.store.get("big.bin"), self.data)


class ParallelSync(SyncCase):

    def test_one_failing_key_among_many_workers(self):
        a, b = self.folder("A", transfers=8), self.folder("B", transfers=8)
        for n in range(40):
            self.put(a, "d%d/f%02d" % (n % 4, n), "file %d" % n)
        self.store.fail("d1/f13", 500, method="PUT")
        result = self.sync(a, status=1)
        self.assertEqual(len([x for x in result.lines if x.startswith(" -> ")]), 39 + 4)
        self.assertNotIn("d1/f13", self.manifest())
        self.store.clear_faults()
        self.settle(a, b)
        self.assertNothingLost(a, b)
