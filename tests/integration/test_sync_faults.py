"""kuvet sync when the store, the folder or another client misbehaves, run
against the strict store, which can fail, cut or silence chosen requests.

Each test says what the run did before its guard existed.
"""

import json
import os
import shutil
import subprocess
import unittest
import uuid

import harness
import test_sync
from test_sync import AT, CONFLICT, MISSING, NEW, SKIPPED, SPECIAL, UNSAFE

NOBODY = 65534
READ_FAILED = "Error! Could not read the store's .manifest (%s). Nothing was changed."
DAMAGED = "Error! The store's .manifest is damaged (%s): repair or remove it. Nothing was changed."
NOT_SENT = "Error! Nothing was sent to the store; run sync again to finish."
ANOTHER = "Error! Another client changed the store during this run; run sync again."
NO_MANIFEST = "Error! Could not upload the store's .manifest; run sync again to finish."


class FaultCase(test_sync.StrictBackend, test_sync.SyncCase):

    def state(self, *folders, folder_times=True):
        """Both sides as they are: every folder's entries and the store's objects."""
        return ([self.snapshot(f, folder_times) for f in folders], self.objects())

    def temporaries(self, folder):
        return [os.path.join(root, name) for root, _, files in os.walk(folder)
                for name in files if ".kuvet-part-" in name]

    def run_sync(self, folder):
        result = self.sync(folder)
        return result, result.lines


class UnreadableManifest(FaultCase):

    def prepare(self):
        """A folder with changes of its own to send, behind a store that
        another folder changed."""
        a, b = self.pair({"p.txt": "p", "q.txt": "q"})
        t = self.now()
        self.put_file(b, "fromB.txt", "b", t)
        self.assertSync(b, [" -> fromB.txt", NEW])
        t = self.now()
        self.put_file(a, "p.txt", "A edit", t)
        self.put_file(a, "newA.txt", "new", t)
        os.remove(os.path.join(a, "q.txt"))
        return a

    def test_a_manifest_that_cannot_be_read_changes_nothing(self):
        # Before: any failure to read ".manifest" counted as an empty store:
        # every file was uploaded again and a manifest listing only this
        # folder replaced the store's, dropping what other folders had sent.
        a = self.prepare()
        before = self.state(a)
        cases = [
            ("500", lambda: self.store.fail(".manifest", 500),
             READ_FAILED % "HTTP/1.1 500 Internal Server Error"),
            ("503", lambda: self.store.fail(".manifest", 503, code="SlowDown"),
             READ_FAILED % "HTTP/1.1 503 Service Unavailable"),
            ("403", lambda: self.store.fail(".manifest", 403, code="AccessDenied"),
             READ_FAILED % "HTTP/1.1 403 Forbidden"),
            ("cut short", lambda: self.store.cut(".manifest"), READ_FAILED % "HTTP/1.1 200 OK"),
            ("no answer", lambda: self.store.silent(".manifest"),
             "Error! Could not read the store's .manifest. Nothing was changed."),
        ]
        for name, fault, message in cases:
            with self.subTest(name):
                self.store.clear_faults()
                fault()
                first = len(self.store.log())
                result, lines = self.run_sync(a)
                self.assertEqual(result.status, 1, result)
                self.assertIn(message, lines, result)
                self.assertEqual(self.state(a), before)
                # Nothing but reads of the manifest reached the store.
                self.assertEqual({(r.method, r.key) for r in self.store.log()[first:]},
                                 {("GET", ".manifest")})
        self.store.clear_faults()
        result = self.sync(a)
        self.assertEqual(result.status, 0, result)
        self.assertIn(" -> newA.txt", result.lines)

    def test_a_damaged_manifest_changes_nothing(self):
        # Before: text that was not a JSON object counted as a store without
        # a revision: every local file was uploaded and the damaged text was
        # replaced by this folder's manifest alone.
        a = self.prepare()
        cases = [
            (b"{oops", None),
            (b"[1,2]", "not a JSON object"),
            (b"null", "not a JSON object"),
            (b"", None),
            (b'{"_revision":1e400,"p.txt":1}', "its _revision is not a number"),
        ]
        for body, reason in cases:
            with self.subTest(body=body):
                self.put_object(".manifest", body)
                before = self.state(a)
                result, lines = self.run_sync(a)
                self.assertEqual(result.status, 1, result)
                self.assertEqual(len(lines), 1, result)
                if reason is None:
                    self.assertTrue(lines[0].startswith(DAMAGED.split("%s")[0]), result)
                    self.assertTrue(lines[0].endswith(DAMAGED.split("%s")[1]), result)
                else:
                    self.assertEqual(lines[0], DAMAGED % reason)
                self.assertEqual(self.state(a), before)

    def test_a_manifest_holding_a_json_string_is_reported_as_not_an_object(self):
        # The reader gives its error message as a string value, so a valid
        # JSON string was shown as if it were the reason, even across lines.
        a = self.prepare()
        self.put_object(".manifest", b'"see\\nthe other bucket"')
        before = self.state(a)
        result, lines = self.run_sync(a)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(lines, [DAMAGED % "not a JSON object"])
        self.assertEqual(self.state(a), before)

    def test_a_missing_bucket_is_not_an_empty_store(self):
        # Before: any reply but 2xx meant an empty store, so every file was
        # sent to a bucket that does not exist.
        a = self.folder("A", self.store.config(bucket="nosuch"))
        self.put_file(a, "x.txt", "x", self.old())
        before = self.state(a)
        result, lines = self.run_sync(a)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(lines[0], READ_FAILED % "HTTP/1.1 404 Not Found")
        self.assertEqual(self.state(a), before)
        self.assertEqual([(r.method, r.key) for r in self.store.log()], [("GET", ".manifest")])


class UnreadableFolder(FaultCase):

    def run_as_nobody(self, folder):
        """Runs sync where the folder's owner has no right to read one of its
        folders; root reads every folder, so it runs as nobody."""
        command = [harness.binary(), "sync"]
        if os.geteuid() == 0:
            if not shutil.which("setpriv"):
                self.skipTest("running as root without setpriv")
            command = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY,
                       "--clear-groups"] + command
        proc = subprocess.run(command, cwd=folder, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=harness.RUN_TIMEOUT)
        harness.check_sanitizers(proc.stderr)
        return harness.Result(proc.returncode, proc.stdout, proc.stderr)

    def test_a_folder_that_cannot_be_read_stops_the_run(self):
        # Before: the walk ended at the folder it could not open, and all it
        # had not reached looked deleted: m/inner.txt was deleted in the store.
        a, b = self.pair({"a.txt": "a", "m/inner.txt": "i", "z.txt": "z"})
        os.chmod(self.dir, 0o755)
        if os.geteuid() == 0:
            for root, dirs, files in os.walk(a):
                for name in dirs + files:
                    os.chown(os.path.join(root, name), NOBODY, NOBODY)
            os.chown(a, NOBODY, NOBODY)
        os.chmod(os.path.join(a, "m"), 0)
        self.addCleanup(os.chmod, os.path.join(a, "m"), 0o755)
        stopped = ["Error! Could not read the folder ./m; the run stops here."]
        before = self.state(a)
        result = self.run_as_nobody(a)
        self.assertEqual((result.lines, result.status), (stopped, 1), result)
        self.assertEqual(self.state(a), before)

        # The same while the store has news: nothing fetched or deleted here.
        os.remove(os.path.join(b, "z.txt"))
        self.put_file(b, "b.txt", "b", self.now())
        self.assertSync(b, [" -> b.txt", " -x z.txt", NEW])
        before = self.state(a)
        result = self.run_as_nobody(a)
        self.assertEqual((result.lines, result.status), (stopped, 1), result)
        self.assertEqual(self.state(a), before)


class RevisionsAndRecord(FaultCase):

    def test_files_moved_in_with_an_old_time_are_uploaded_not_deleted(self):
        # Before: a file older than the folder's revision that the store
        # lacks counted as deleted in the store, and was deleted here.
        a, b = self.pair({"base.txt": "base"})
        self.put_file(b, "fromB.txt", "b", self.now())
        self.assertSync(b, [" -> fromB.txt", NEW])
        self.put_file(a, "moved.txt", "moved in", self.old() - 5000)
        self.put_file(a, "sub/moved2.txt", "moved in too", self.old() - 5000)
        self.assertSync(a, [" <- fromB.txt", " -> moved.txt", " -> sub/moved2.txt", NEW])
        self.assertEqual(self.content(a, "moved.txt"), b"moved in")
        self.assertSync(b, [" <- moved.txt", " <- sub/", " <- sub/moved2.txt", AT])
        self.assertSameFiles(a, b)

    def test_a_file_replaced_by_an_older_one_is_not_deleted(self):
        # The store deleted x.txt, and this folder replaced its x.txt by an
        # older file meanwhile. Before: older than the revision meant
        # unchanged, so the replacement was deleted.
        a, b = self.pair({"x.txt": "v0", "y.txt": "v0"})
        os.remove(os.path.join(b, "x.txt"))
        self.assertSync(b, [" -x x.txt", NEW])
        self.put_file(a, "x.txt", "moved over", self.old() - 100)
        self.assertSync(a, [" -> x.txt", NEW])
        self.assertEqual(self.content(a, "x.txt"), b"moved over")
        self.assertSync(b, [" <- x.txt", AT])
        self.assertSameFiles(a, b)

    def test_revisions_strictly_increase_and_nothing_sent_is_lost(self):
        # Before: the revision was the current time, so two folders syncing
        # within one second published the same revision, and the first then
        # skipped the download phase and deleted what the second had sent.
        a, b, c = self.pair({"base.txt": "base"}, names=("A", "B", "C"))
        t = self.now()
        self.put_file(a, "a.txt", "a", t)
        self.put_file(b, "b.txt", "b", t)
        self.put_file(c, "c.txt", "c", t)
        first = self.assertSync(a, [" -> a.txt", NEW])
        second = self.assertSync(b, [" <- a.txt", " -> b.txt", NEW])
        third = self.assertSync(c, [" <- a.txt", " <- b.txt", " -> c.txt", NEW])
        self.assertLess(first, second)
        self.assertLess(second, third)
        self.assertSync(a, [" <- b.txt", " <- c.txt", AT])
        self.assertSync(b, [" <- c.txt", AT])
        self.assertSameFiles(a, b, c)

    def test_keys_added_at_this_folders_revision_are_fetched_not_deleted(self):
        # Another client published at the revision this folder already has
        # (as two clients syncing within one second did). Before: the
        # download phase was skipped and the store deletion phase deleted
        # z.txt and zdir/y, which this folder never had.
        a, b = self.pair({"base.txt": "base"})
        manifest = self.manifest()
        t = self.now()
        manifest.update({"z.txt": t, "zdir/": t, "zdir/y": t})
        self.put_object("z.txt", "z")
        self.put_object("zdir/y", "y")
        self.put_object(".manifest", json.dumps(manifest, separators=(",", ":")))
        self.assertSync(a, [" <- z.txt", " <- zdir/", " <- zdir/y"])
        self.assertEqual((self.content(a, "z.txt"), self.mtime(a, "z.txt")), (b"z", t))
        self.assertEqual(self.stored_files(), {"base.txt": b"base", "z.txt": b"z", "zdir/y": b"y"})
        self.put_file(a, "mine.txt", "m", self.now())
        self.assertSync(a, [" -> mine.txt", NEW])
        self.assertEqual(set(self.manifest()), {"_revision", "base.txt", "mine.txt", "z.txt",
                                                "zdir/", "zdir/y"})

    def test_an_edit_older_than_this_folders_revision_is_still_fetched(self):
        # B edits k.txt; A then publishes an unrelated change, so A's
        # revision is not older than B's edit; B publishes k.txt after that.
        # Before: A judged "changed in the store" by rev < rtime alone and
        # never fetched k.txt: the folders stayed different for good, and
        # A's next edit of k.txt replaced B's without a conflict.
        a, b = self.pair({"k.txt": "v0", "o.txt": "v0"})
        t = self.now()
        self.put_file(b, "k.txt", "B edit", t)
        self.put_file(a, "o.txt", "A edit", t)
        self.assertSync(a, [" -> o.txt", NEW])
        self.assertSync(b, [" <- o.txt", " -> k.txt", NEW])
        self.assertSync(a, [" <- k.txt", AT])
        self.assertEqual(self.content(a, "k.txt"), b"B edit")
        self.assertSameFiles(a, b)

    def test_edits_within_the_same_second_are_compared(self):
        # Before: equal times meant equal versions, so both folders kept
        # their own edit and never exchanged them.
        a, b = self.pair({"x.txt": "v0", "y.txt": "v0"})
        t = self.now()
        self.put_file(a, "x.txt", "A same second", t)
        self.put_file(b, "x.txt", "B same second", t)
        self.put_file(a, "y.txt", "both alike", t)
        self.put_file(b, "y.txt", "both alike", t)
        self.assertSync(a, [" -> x.txt", " -> y.txt", NEW])
        self.assertSync(b, [CONFLICT + "x.txt", " <- x.txt", SKIPPED + "x.txt.CONFLICT", AT])
        self.assertEqual(self.content(b, "x.txt"), b"A same second")
        self.assertEqual(self.content(b, "x.txt.CONFLICT"), b"B same second")
        self.assertFalse(os.path.exists(os.path.join(b, "y.txt.CONFLICT")))
        self.assertSameFiles(a, b)

    def test_a_file_made_on_both_sides_within_the_same_second_is_compared(self):
        # Before: equal times meant equal versions when the record did not
        # list the key, so each folder kept its own new file for good.
        a, b = self.pair({"x.txt": "v0"})
        t = self.now()
        self.put_file(a, "new.txt", "A new", t)
        self.put_file(b, "new.txt", "B new", t)
        self.put_file(a, "same.txt", "alike", t)
        self.put_file(b, "same.txt", "alike", t)
        self.assertSync(a, [" -> new.txt", " -> same.txt", NEW])
        self.assertSync(b, [CONFLICT + "new.txt", " <- new.txt", SKIPPED + "new.txt.CONFLICT", AT])
        self.assertEqual(self.content(b, "new.txt.CONFLICT"), b"B new")
        self.assertSameFiles(a, b)

    def test_without_a_record_nothing_is_deleted_on_either_side(self):
        # Before: a folder synced by an older version (no record) deleted
        # files the store lacked and deleted in the store keys it lacked.
        a, b = self.pair({"x.txt": "x", "y.txt": "y"})
        os.remove(os.path.join(b, ".kuvet-synced"))
        os.remove(os.path.join(a, "x.txt"))
        self.assertSync(a, [" -x x.txt", NEW])
        self.assertSync(b, [" -> x.txt", NEW])
        self.assertEqual(self.content(b, "x.txt"), b"x")

        # A record for another store counts as none; so does a damaged one.
        records = [json.dumps({"kuvet_url": "http://other.s3.localhost:1/",
                               "files": {"x.txt": self.mtime(b, "x.txt"),
                                         "y.txt": self.mtime(b, "y.txt")}}), "{damaged"]
        for record, warning in zip(records, [[], ["Warning! .kuvet-synced is damaged: nothing "
                                                  "will be deleted on either side this time."]]):
            with self.subTest(record=record):
                with open(os.path.join(b, ".kuvet-synced"), "w") as f:
                    f.write(record)
                os.remove(os.path.join(b, "y.txt"))
                self.assertSync(b, warning + [" <- y.txt"])
                self.assertIn("y.txt", self.stored_files())


class UnsafeKeys(FaultCase):

    def test_unsafe_keys_in_the_manifest_are_skipped_and_kept(self):
        # Before: keys were used as paths as they came: "../escape" was
        # written beside the folder, "/tmp/..." anywhere, ".kuvet" replaced
        # the configuration, and keys with empty or dot components mapped to
        # other files.
        absolute = "/tmp/kuvet-abs-%s" % uuid.uuid4().hex
        self.addCleanup(shutil.rmtree, absolute, ignore_errors=True)
        unsafe = ["../escape", absolute, "a/../b", "a//b", "a\\b", ".kuvet", "sub/.hidden",
                  "../up/", "./dot", "x/./y", ""]
        a = self.folder("A")
        config = self.content(a, ".kuvet")
        self.put_file(a, "mine.txt", "mine", self.old())
        t = self.old(7)
        revision = self.start
        manifest = {"_revision": revision}
        for key in unsafe[:6]:
            manifest[key] = t
        manifest["ok.txt"] = t
        for key in unsafe[6:]:
            manifest[key] = t
        for key in unsafe + ["ok.txt"]:
            if key and not key.endswith("/"):
                self.put_object(key, "object " + key)
        self.put_object(".manifest", json.dumps(manifest, separators=(",", ":")))
        self.latest = revision
        store_before = self.stored_files()

        self.assertSync(a, [UNSAFE + k for k in unsafe[:6]] + [" <- ok.txt"] +
                        [UNSAFE + k for k in unsafe[6:]] + [" -> mine.txt", NEW])
        self.assertEqual(sorted(os.listdir(self.dir)), ["A"])
        self.assertFalse(os.path.lexists(absolute))
        self.assertEqual(sorted(os.listdir(a)), [".kuvet", ".kuvet-synced", "_revision",
                                                 "mine.txt", "ok.txt"])
        self.assertEqual(self.content(a, ".kuvet"), config)
        published = self.manifest()
        self.assertEqual(list(published), sorted(published, key=test_sync.walk_key))
        for key in unsafe:
            self.assertEqual(published.get(key), t, key)
        self.assertEqual(set(published) - set(unsafe), {"_revision", "ok.txt", "mine.txt"})
        self.assertEqual(self.stored_files(), dict(store_before, **{"mine.txt": b"mine"}))

        # Later runs warn again and still change nothing.
        order = [k for k in published if k in unsafe]
        self.assertSync(a, [UNSAFE + k for k in order])
        self.assertEqual(self.manifest(), published)
        self.assertEqual(self.stored_files(), dict(store_before, **{"mine.txt": b"mine"}))

    def test_a_key_with_a_nul_never_becomes_a_file(self):
        a = self.folder("A")
        self.put_object(".manifest", '{"_revision":%d,"nul\\u0000x":5,"ok.txt":5}' % self.start)
        self.put_object("ok.txt", "ok")
        self.put_object("nul\0x", "nul")
        self.latest = self.start
        result = self.sync(a)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(sorted(n for n in os.listdir(a) if not n.startswith(".")),
                         ["_revision", "ok.txt"])

    def test_a_key_that_is_not_utf8_is_left_out_of_the_manifest(self):
        # The manifest writer turns the byte 0xFF into \uffff, so carrying
        # the key over would name another key, which the next run would look
        # for in vain: such a key is left out instead, and nothing is touched.
        a = self.folder("A")
        self.put_file(a, "mine.txt", "mine", self.old())
        self.put_object(".manifest", b'{"_revision":%d,"bad\xff":5}' % self.start)
        self.put_object(b"bad\xff".decode("utf-8", "surrogateescape"), "object")
        self.latest = self.start
        self.assertSync(a, [UNSAFE + "bad\ufffd", " -> mine.txt", NEW])
        self.assertNotIn("bad\udcff", self.manifest())
        self.assertNotIn("bad\ufffd", self.manifest())

    def test_local_names_that_are_unsafe_are_not_sent(self):
        # Before: a name with bytes that are not UTF-8 or with a backslash
        # was sent as a key that other folders could not map back to it.
        a = self.folder("A")
        self.put_file(a, "a\\b", "backslash", self.old())
        self.put_file(a, os.fsdecode(b"bad\xff"), "not utf-8", self.old())
        self.put_file(a, "good.txt", "good", self.old())
        result = self.sync(a)
        self.assertEqual(result.status, 0, result)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 4, result)
        self.assertTrue(lines[0].startswith(b"Warning! "), result)
        self.assertEqual(lines[1:3], [UNSAFE.encode() + b"bad\xff", b" -> good.txt"])
        self.assertTrue(lines[3].startswith(b"New revision: "), result)
        self.assertEqual(sorted(self.objects()), [".manifest", "good.txt"])
        self.assertEqual(sorted(self.manifest()), ["_revision", "good.txt"])
        self.assertEqual(sorted(os.listdir(a)), [".kuvet", ".kuvet-synced", "_revision",
                                                 "a\\b", "bad\udcff", "good.txt"])
        self.assertSync(a, [lines[0].decode(), UNSAFE + "bad\ufffd"])

    def test_a_local_name_with_a_backslash_is_named_in_its_warning(self):
        # The walk turned a backslash into "/", so this file was reported as
        # "a/b", a path that does not exist, and as no regular file.
        a = self.folder("A")
        self.put_file(a, "a\\b", "backslash", self.old())
        self.assertSync(a, [UNSAFE + "a\\b"])


class FailedDownloads(FaultCase):

    def prepare(self):
        """B behind a store that A changed: a new file, a second new file and
        an edit; B has a new file of its own to send."""
        a, b = self.pair({"e.txt": "v0", "keep.txt": "k"})
        t = self.now()
        self.put_file(a, "new.txt", "new from A", t)
        self.put_file(a, "ok2.txt", "ok from A", t)
        self.put_file(a, "e.txt", "A edit", t)
        self.assertSync(a, [" -> e.txt", " -> new.txt", " -> ok2.txt", NEW])
        self.put_file(b, "b.txt", "B new", self.now())
        return a, b

    def check_blocked(self, b, before):
        revision = self.content(b, "_revision")
        record = self.content(b, ".kuvet-synced")
        result, lines = self.run_sync(b)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(lines[-2:], ["Error! Could not download: new.txt", NOT_SENT], result)
        self.assertNotIn(" -> b.txt", lines)
        self.assertFalse(any(line.startswith(" -x ") for line in lines), result)
        self.assertFalse(os.path.exists(os.path.join(b, "new.txt")))
        self.assertEqual(self.temporaries(b), [])
        self.assertEqual(self.objects(), before)
        self.assertEqual(self.content(b, "_revision"), revision)
        self.assertEqual(self.content(b, ".kuvet-synced"), record)
        return lines

    def test_a_failed_download_sends_nothing_and_the_next_run_finishes(self):
        # Before: the run went on; new.txt, absent here, looked deleted and
        # was deleted in the store, and a new revision was published from
        # the incomplete folder.
        for name, fault in [("500", lambda: self.store.fail("new.txt", 500, method="GET")),
                            ("cut short", lambda: self.store.cut("new.txt", method="GET"))]:
            with self.subTest(name):
                self.store.clear()
                self.latest = 0
                shutil.rmtree(self.path("A"), ignore_errors=True)
                shutil.rmtree(self.path("B"), ignore_errors=True)
                a, b = self.prepare()
                before = self.objects()
                fault()
                lines = self.check_blocked(b, before)
                self.assertIn(" <- ok2.txt", lines)
                self.store.clear_faults()
                self.assertSync(b, [" <- new.txt", " -> b.txt", NEW])
                self.assertSync(a, [" <- b.txt", AT])
                self.assertSameFiles(a, b)

    def test_in_a_conflict_the_local_version_stays_until_the_new_one_arrived(self):
        # Before: the local file was renamed aside first, so a failed
        # download left neither the key nor its new version in place.
        a, b = self.pair({"x.txt": "v0"})
        t = self.now()
        self.put_file(a, "x.txt", "A edit", t)
        self.assertSync(a, [" -> x.txt", NEW])
        self.put_file(b, "x.txt", "B edit", t + 1)
        self.store.fail("x.txt", 500, method="GET")
        before = self.state(b, folder_times=False)
        result, lines = self.run_sync(b)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(lines[-2:], ["Error! Could not download: x.txt", NOT_SENT], result)
        self.assertNotIn(CONFLICT + "x.txt", lines)
        self.assertEqual(self.state(b, folder_times=False), before)
        self.store.clear_faults()
        self.assertSync(b, [CONFLICT + "x.txt", " <- x.txt", SKIPPED + "x.txt.CONFLICT", AT])
        self.assertEqual(self.content(b, "x.txt.CONFLICT"), b"B edit")

    def test_a_listed_key_the_store_lacks_is_skipped_and_dropped(self):
        # Before: the failed download left nothing, and the key looked
        # deleted; now it is reported, left out of the republished manifest
        # and the folder goes on.
        a = self.folder("A")
        self.put_file(a, "ghost.txt", "g", self.old(1))
        self.put_file(a, "real.txt", "r", self.old(2))
        self.assertSync(a, [" -> ghost.txt", " -> real.txt", NEW])
        self.delete_object("ghost.txt")
        b = self.folder("B")
        result, lines = self.run_sync(b)
        self.assertEqual(result.status, 0, result)
        self.assertIn(MISSING + "ghost.txt", lines)
        self.assertEqual(lines[-2], " <- real.txt")
        self.assertTrue(lines[-1].startswith("New revision: "))
        self.assertNotIn("ghost.txt", self.manifest())
        self.assertIn("real.txt", self.manifest())
        self.assertFalse(os.path.exists(os.path.join(b, "ghost.txt")))
        self.assertEqual(self.temporaries(b), [])
        self.assertSync(b, [])

    def test_leftover_temporary_files_are_removed(self):
        a = self.folder("A")
        self.put_file(a, "real.txt", "r", self.old())
        self.assertSync(a, [" -> real.txt", NEW])
        # Left-overs name a process that is gone; one that still runs (this
        # test's own) may be writing its file and is spared.
        self.put_file(a, ".real.txt.kuvet-part-999999999-0", "half", self.old())
        self.put_file(a, "sub/.y.kuvet-part-999999998-2", "half", self.old())
        alive = "sub/.z.kuvet-part-%d-0" % os.getpid()
        self.put_file(a, alive, "writing", self.old())
        self.assertSync(a, [])
        self.assertEqual(self.temporaries(a), [os.path.join(a, alive)])


class KeptKeys(FaultCase):

    def test_a_key_this_folder_holds_as_no_regular_file_stays_in_the_manifest(self):
        # Before: the published manifest was the folder's walk alone, so a
        # key the folder could not take over vanished from the store's list.
        a = self.folder("A")
        self.put_file(a, "shared.txt", "shared", self.old())
        rev = self.assertSync(a, [" -> shared.txt", NEW])
        b = self.folder("B")
        os.symlink("nowhere", os.path.join(b, "shared.txt"))
        self.put_file(b, "b.txt", "b", self.old(1))
        self.assertSync(b, [" -> b.txt", SPECIAL + "shared.txt", NEW])
        self.assertEqual(self.manifest()["shared.txt"], self.old())
        self.assertTrue(os.path.islink(os.path.join(b, "shared.txt")))
        self.assertGreater(self.latest, rev)

    def test_named_pipes_and_dangling_links_are_skipped_not_deleted(self):
        # Before: opening a named pipe for upload waited for a writer for
        # ever, and a dangling link was listed with time 0.
        a, b = self.pair({"real.txt": "r"})
        os.mkfifo(os.path.join(a, "pipe"))
        os.symlink("nowhere", os.path.join(a, "link"))
        self.assertSync(a, [SPECIAL + "link", SPECIAL + "pipe"])
        self.put_file(b, "b.txt", "b", self.now())
        self.assertSync(b, [" -> b.txt", NEW])
        self.assertSync(a, [" <- b.txt", SPECIAL + "link", SPECIAL + "pipe", AT])
        self.assertTrue(os.path.islink(os.path.join(a, "link")))
        self.assertTrue(os.path.exists(os.path.join(a, "pipe")))
        self.assertEqual(sorted(self.manifest()), ["_revision", "b.txt", "real.txt"])
        self.assertEqual(sorted(self.stored_files()), ["b.txt", "real.txt"])


class ConflictCopies(FaultCase):

    def test_conflict_copies_are_never_sent_listed_or_deleted(self):
        a, b, c = self.pair({"x.txt": "v0", "keep.txt": "k"}, names=("A", "B", "C"))
        t = self.now()
        self.put_file(a, "x.txt", "A1", t)
        self.assertSync(a, [" -> x.txt", NEW])
        self.put_file(b, "x.txt", "B1", t + 1)
        self.assertSync(b, [CONFLICT + "x.txt", " <- x.txt", SKIPPED + "x.txt.CONFLICT", AT])

        # A second conflict takes the next free name and keeps the first copy.
        t = self.now()
        self.put_file(a, "x.txt", "A2", t)
        self.assertSync(a, [" -> x.txt", NEW])
        self.put_file(b, "x.txt", "B2", t + 1)
        copies = [SKIPPED + "x.txt.2.CONFLICT", SKIPPED + "x.txt.CONFLICT"]
        self.assertSync(b, [CONFLICT + "x.txt", " <- x.txt"] + copies + [AT])
        self.assertEqual([self.content(b, n) for n in ("x.txt", "x.txt.CONFLICT",
                                                       "x.txt.2.CONFLICT")],
                         [b"A2", b"B1", b"B2"])
        self.assertSync(c, [" <- x.txt", AT])

        # Other folders go on changing the store, x.txt itself is deleted:
        # the copies stay, unsent and unlisted.
        self.put_file(c, "y.txt", "y", self.now())
        self.assertSync(c, [" -> y.txt", NEW])
        self.assertSync(b, [" <- y.txt"] + copies + [AT])
        self.assertSync(a, [" <- y.txt", AT])
        os.remove(os.path.join(a, "x.txt"))
        self.assertSync(a, [" -x x.txt", NEW])
        self.assertSync(b, [" x- x.txt"] + copies + [AT])
        self.assertSync(c, [" x- x.txt", AT])
        self.assertEqual([self.content(b, n) for n in ("x.txt.CONFLICT", "x.txt.2.CONFLICT")],
                         [b"B1", b"B2"])
        self.assertFalse(any(k.endswith(".CONFLICT") for k in self.objects()))
        self.assertFalse(any(k.endswith(".CONFLICT") for k in self.manifest()))
        self.assertSameFiles(a, b, c)

    def test_conflict_keys_in_the_store_are_ignored(self):
        # Before: a ".CONFLICT" key that another client listed was fetched
        # like any other file.
        a = self.folder("A")
        self.put_object("z.CONFLICT", "foreign copy")
        self.put_object("ok.txt", "ok")
        self.put_object(".manifest", '{"_revision":%d,"ok.txt":5,"z.CONFLICT":5}' % self.start)
        self.latest = self.start
        self.assertSync(a, [" <- ok.txt", AT])
        self.assertFalse(os.path.exists(os.path.join(a, "z.CONFLICT")))
        self.put_file(a, "n.txt", "n", self.now())
        self.assertSync(a, [" -> n.txt", NEW])
        self.assertEqual(sorted(self.manifest()), ["_revision", "n.txt", "ok.txt"])


class FailedSends(FaultCase):

    def test_a_failed_upload_ends_with_status_1_and_keeps_the_stores_entry(self):
        # Before: the run ended with status 0, and the published manifest
        # listed the failed file with its new time, so other folders took
        # the old object for the new version.
        a, b = self.pair({"x.txt": "v0"})
        t = self.now()
        self.put_file(a, "x.txt", "A edit", t)
        self.put_file(a, "m.txt", "m", t)
        self.put_file(a, "n.txt", "n", t)
        self.store.fail("x.txt", 500, method="PUT")
        self.store.fail("m.txt", 403, code="AccessDenied", method="PUT")
        result, lines = self.run_sync(a)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Error! PUT of m.txt failed:", lines)
        self.assertIn(" -> n.txt", lines)
        self.assertIn("Error! PUT of x.txt failed:", lines)
        self.assertTrue(lines[-1].startswith("New revision: "), result)
        manifest = self.manifest()
        self.assertEqual((manifest["x.txt"], manifest["n.txt"]), (self.old(), t))
        self.assertNotIn("m.txt", manifest)
        self.assertEqual(self.stored_files()["x.txt"], b"v0")
        self.assertSync(b, [" <- n.txt", AT])
        self.store.clear_faults()
        self.assertSync(a, [" -> m.txt", " -> x.txt", NEW])
        self.assertSync(b, [" <- m.txt", " <- x.txt", AT])
        self.assertSameFiles(a, b)

    def test_a_failed_delete_ends_with_status_1_and_keeps_the_key(self):
        # Before: " -x " was printed and the key dropped from the manifest
        # whatever the store answered.
        a, b = self.pair({"d.txt": "d", "keep.txt": "k"})
        os.remove(os.path.join(a, "d.txt"))
        self.put_file(a, "n.txt", "n", self.now())
        self.store.fail("d.txt", 500, method="DELETE")
        result, lines = self.run_sync(a)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Error! Could not delete d.txt in the store.", lines)
        self.assertNotIn(" -x d.txt", lines)
        self.assertEqual(lines[0], " -> n.txt")
        self.assertTrue(lines[-1].startswith("New revision: "), result)
        self.assertIn("d.txt", self.manifest())
        self.assertIn("d.txt", self.stored_files())
        self.store.clear_faults()
        self.assertSync(a, [" -x d.txt", NEW])
        self.assertSync(b, [" <- n.txt", " x- d.txt", AT])
        self.assertSameFiles(a, b)

    def test_a_delete_of_a_key_already_gone_counts_as_done(self):
        a, b = self.pair({"d.txt": "d", "keep.txt": "k"})
        self.delete_object("d.txt")
        self.store.fail("d.txt", 404, code="NoSuchKey", method="DELETE")
        os.remove(os.path.join(a, "d.txt"))
        self.assertSync(a, [" -x d.txt", NEW])
        self.assertNotIn("d.txt", self.manifest())

    def test_a_failed_manifest_upload_publishes_no_revision(self):
        # Before: "_revision" was written and "New revision: " printed
        # although the store still held the old manifest, so this folder
        # skipped the store's changes made before its next run.
        a, b = self.pair({"x.txt": "v0"})
        self.put_file(a, "n.txt", "n", self.now())
        self.store.fail(".manifest", 500, method="PUT")
        before = [self.content(a, n) for n in ("_revision", ".kuvet-synced")]
        revision_time = self.mtime(a, "_revision")
        manifest = self.manifest_raw()
        result, lines = self.run_sync(a)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(lines[0], " -> n.txt")
        self.assertEqual(lines[-1], NO_MANIFEST)
        self.assertFalse(any(line.startswith("New revision") for line in lines), result)
        self.assertEqual([self.content(a, n) for n in ("_revision", ".kuvet-synced")], before)
        self.assertEqual(self.mtime(a, "_revision"), revision_time)
        self.assertEqual(self.manifest_raw(), manifest)
        self.store.clear_faults()
        self.assertSync(a, [" -> n.txt", NEW])
        self.assertSync(b, [" <- n.txt", AT])

    def test_another_client_publishing_during_the_run_stops_it(self):
        # Before: the last manifest written won, dropping other.txt, which
        # another client had published while this run was uploading.
        a, b = self.pair({"x.txt": "v0"})
        self.put_file(a, "n.txt", "n", self.now())
        theirs = dict(self.manifest())
        t = self.now()
        theirs.update({"other.txt": t, "_revision": t})
        text = json.dumps(theirs, separators=(",", ":")).encode()

        def publish(store, request):
            store.put("other.txt", b"other")
            store.put(".manifest", text)

        self.store.before(".manifest", publish, method="GET", skip=1)
        before = [self.content(a, n) for n in ("_revision", ".kuvet-synced")]
        self.assertSync(a, [" -> n.txt", ANOTHER], status=1)
        self.assertEqual(self.manifest_raw(), text)
        self.assertEqual([self.content(a, n) for n in ("_revision", ".kuvet-synced")], before)
        self.latest = t
        self.assertSync(a, [" <- other.txt", " -> n.txt", NEW])
        self.assertSync(b, [" <- n.txt", " <- other.txt", AT])
        self.assertSameFiles(a, b)


if __name__ == "__main__":
    unittest.main()
