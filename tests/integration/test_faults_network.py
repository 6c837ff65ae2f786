"""The whole binary against a store that misbehaves on the network: it closes
the connection before, during or after a reply, answers 500 or 503, says
nothing, sends a Content-Length that does not match its body, or holds a
".manifest" that is malformed or very large.

Every fault must end the run with status 1 and a line that says what failed
and on which key, and leave the folder and the store as they were, or as far
along as the run got, with nothing lost. A following run finishes the work.
"""

import json
import os
import shutil
import time
import unittest

import harness
import strict_store
import test_sync
import test_sync_faults
from test_sync import AT, NEW
from test_sync_faults import DAMAGED, NO_MANIFEST, NOT_SENT

EXTRA = 100          # bytes a lying Content-Length adds to the body's length
BODY = b"<Done/>"    # the body put into replies that have none, so it can be cut


def lying(store, request, length):
    """The store does the request; its reply then claims `length(body)` bytes
    and the connection is closed after it."""
    try:
        reply = store.handle(request)
    except strict_store.Refusal as refusal:
        reply = refusal.reply
    body = reply.body
    status = reply.status
    if not body:
        status, body = 200, BODY  # a 204 carries no Content-Length at all
    return strict_store.Reply(status, body, reply.headers, length=length(body), close=True)


# Each fault: name -> (scripts it on the store for key and method, whether the
# store carries out the request before the fault).
FAULTS = {
    "closed before the reply":
        (lambda s, key, method, skip: s.drop(key, method=method, skip=skip), False),
    "closed after the work, before the reply":
        (lambda s, key, method, skip: s.drop(key, handled=True, method=method, skip=skip), True),
    "closed during the reply":
        (lambda s, key, method, skip: s.cut(key, method=method, skip=skip), True),
    "500":
        (lambda s, key, method, skip: s.fail(key, 500, method=method, skip=skip), False),
    "503":
        (lambda s, key, method, skip: s.fail(key, 503, code="SlowDown", method=method,
                                             skip=skip), False),
    "Content-Length beyond the body":
        (lambda s, key, method, skip: s.answer(
            key, lambda st, r: lying(st, r, lambda b: len(b) + EXTRA), method=method,
            skip=skip), True),
    "Content-Length short of the body":
        (lambda s, key, method, skip: s.answer(
            key, lambda st, r: lying(st, r, lambda b: len(b) // 2), method=method,
            skip=skip), True),
    "Content-Length not a number":
        (lambda s, key, method, skip: s.answer(
            key, lambda st, r: lying(st, r, lambda b: "%dx" % len(b)), method=method,
            skip=skip), True),
}


class StrictCase(strict_store.PerClass, harness.KuvetTestCase):
    """One strict store for the class, emptied before each test."""


    def objects(self):
        return {key: self.store.get(key) for key in self.store.keys()}

    def folder_state(self):
        """Every entry of the folder with its kind, content and time."""
        found = {}
        for root, dirs, files in os.walk(self.dir):
            for name in dirs + files:
                full = os.path.join(root, name)
                st = os.lstat(full)
                content = None
                if name in files:
                    with open(full, "rb") as f:
                        content = f.read()
                found[os.path.relpath(full, self.dir)] = (st.st_mode, st.st_mtime_ns, content)
        return found

    def assertReported(self, result, key):
        """Status 1, and the first line an error naming key (for the listing,
        the store or its URL)."""
        self.assertEqual(result.status, 1, result)
        first = result.lines[0] if result.lines else ""
        prompt = "Overwrite local file %s? [y/n] " % key
        if first.startswith(prompt):
            first = first[len(prompt):]
        self.assertTrue(first.startswith("Error! "), result)
        names = [key] if key else ["the store", self.store.url()]
        self.assertTrue(any(name in first for name in names), result)


class SingleObjectFaults(StrictCase):
    """get, put, del and list: a failed request changes nothing here and
    nothing in the store beyond what the store itself carried out."""

    OLD = 1000000000

    def setUp(self):
        super().setUp()
        self.write_config(self.store.config())
        self.write("e.bin", b"old local content")
        os.utime(self.path("e.bin"), (self.OLD, self.OLD))
        self.write("p.bin", b"local file to send")
        os.utime(self.path("p.bin"), (self.OLD, self.OLD))

    def seed(self):
        self.store.clear()
        self.store.put("e.bin", b"the store's newer content")
        self.store.put("n.bin", b"a new object")
        self.store.put("p.bin", b"the store's old p")
        self.store.put("d.bin", b"to delete")

    # command, key, method, what the store holds after the request was carried out
    COMMANDS = [
        (("get", "n.bin"), "n.bin", "GET", None),
        (("get", "e.bin"), "e.bin", "GET", None),
        (("put", "p.bin"), "p.bin", "PUT", {"p.bin": b"local file to send"}),
        (("del", "d.bin"), "d.bin", "DELETE", {"d.bin": None}),
        (("list",), "", "GET", None),
    ]

    def test_every_fault_of_every_command_is_reported_and_changes_nothing(self):
        for args, key, method, done in self.COMMANDS:
            for name, (script, carried_out) in FAULTS.items():
                with self.subTest(command=" ".join(args), fault=name):
                    self.seed()
                    store_before = self.objects()
                    folder_before = self.folder_state()
                    script(self.store, key, method, 0)
                    result = self.kuvet(*args, stdin="y\n")
                    self.assertReported(result, key)
                    self.assertEqual(self.folder_state(), folder_before)
                    expected = dict(store_before)
                    if carried_out and done:
                        for k, v in done.items():
                            if v is None:
                                expected.pop(k)
                            else:
                                expected[k] = v
                    self.assertEqual(self.objects(), expected)
                    self.assertEqual(self.store.refused(), [])

    def test_a_single_lost_connection_is_retried(self):
        # A store that closes a kept-alive connection just as the request
        # arrives is common; one new connection is tried, and it works.
        for args, key, method, done in self.COMMANDS:
            with self.subTest(command=" ".join(args)):
                self.seed()
                self.store.drop(key, method=method, times=1)
                result = self.kuvet(*args, stdin="y\n")
                self.assertEqual(result.status, 0, result)
                self.assertEqual(len([r for r in self.store.log() if r.key == key]), 2)

    def test_a_reply_that_stops_short_and_stays_silent_keeps_the_old_file(self):
        # The head promises more than arrives and the connection stays open:
        # the client gives up after its idle limit.
        self.seed()
        self.store.answer("e.bin", lambda s, r: strict_store.Reply(
            200, b"the store's", length=1000), method="GET")
        before = self.folder_state()
        result = self.kuvet("get", "e.bin", stdin="y\n")
        self.assertReported(result, "e.bin")
        self.assertIn("No reply for 10 s", result.out)
        self.assertEqual(self.folder_state(), before)


class ClosingStore(strict_store.StrictStore):
    """Closes every connection after its reply, as some proxies do."""

    def handle(self, request):
        reply = super().handle(request)
        reply.close = True
        return reply


class Snapshots:
    """Keeps both folders and the store's objects as they are, and puts them
    back before each case, so that a state is prepared with syncs only once."""

    def save(self, name):
        with self.store.lock:
            objects = dict(self.store.buckets["kuvet"])
        saved = self.path("saved-" + name)
        for folder in ("A", "B"):
            shutil.copytree(self.path(folder), os.path.join(saved, folder), symlinks=True)
        return name, objects, self.latest

    def restore(self, saved):
        name, objects, latest = saved
        self.store.clear()
        with self.store.lock:
            self.store.buckets["kuvet"].update(objects)
        for folder in ("A", "B"):
            shutil.rmtree(self.path(folder))
            shutil.copytree(os.path.join(self.path("saved-" + name), folder), self.path(folder),
                            symlinks=True)
        self.latest = latest


class SyncScenarios(Snapshots, test_sync_faults.FaultCase):
    """Two folders A and B in agreement, then one of two changes.

    "behind": B edited e.txt, made n.txt and deleted x.txt; A made a.txt. A's
    run sends GET .manifest, GET e.txt, GET n.txt, PUT a.txt, GET .manifest
    (the check before publishing), PUT .manifest.
    "current": A made a.txt, edited p.txt and deleted d.txt. A's run sends
    GET .manifest, PUT a.txt, PUT p.txt, DELETE d.txt, GET .manifest,
    PUT .manifest.
    """

    FULL_RUN = {
        "behind": [" <- e.txt", " <- n.txt", " x- x.txt", " -> a.txt", NEW],
        "current": [" -> a.txt", " -> p.txt", " -x d.txt", NEW],
    }
    FINAL = {
        "behind": {"a.txt": b"A new", "e.txt": b"B edit", "keep.txt": b"k0", "n.txt": b"B new"},
        "current": {"a.txt": b"A new", "keep.txt": b"k0", "p.txt": b"A edit"},
    }

    def prepare(self, scenario):
        if scenario == "behind":
            a, b = self.pair({"e.txt": "e0", "keep.txt": "k0", "x.txt": "x0"})
            t = self.now()
            self.put_file(b, "e.txt", "B edit", t)
            self.put_file(b, "n.txt", "B new", t)
            os.remove(os.path.join(b, "x.txt"))
            self.assertSync(b, [" -> e.txt", " -> n.txt", " -x x.txt", NEW])
        else:
            a, b = self.pair({"d.txt": "d0", "keep.txt": "k0", "p.txt": "p0"})
            self.put_file(a, "p.txt", "A edit", self.now())
            os.remove(os.path.join(a, "d.txt"))
        self.put_file(a, "a.txt", "A new", self.now())
        return a, b

    def reset(self):
        self.store.clear()
        self.latest = 0
        for name in ("A", "B"):
            shutil.rmtree(self.path(name), ignore_errors=True)

    def check_finished(self, scenario, a, b):
        """Runs until nothing is left to do; both folders and the store then
        hold every edit once, with no conflict copy and no left-over."""
        for folder in (a, b):
            result = self.sync(folder)
            self.assertEqual(result.status, 0, result)
        self.assertSync(a, [])
        self.assertSync(b, [])
        self.assertSameFiles(a, b)
        self.assertEqual(self.files_of(a), self.FINAL[scenario])
        for folder in (a, b):
            self.assertEqual(self.temporaries(folder), [])
            self.assertFalse([n for n in os.listdir(folder) if n.endswith(".CONFLICT")])


class SyncFaults(SyncScenarios):

    # request -> (scenario, key, method, matching requests let through first)
    REQUESTS = {
        "read of .manifest": ("behind", ".manifest", "GET", 0),
        "download": ("behind", "n.txt", "GET", 0),
        "upload": ("current", "a.txt", "PUT", 0),
        "deletion": ("current", "d.txt", "DELETE", 0),
        "check of .manifest before publishing": ("behind", ".manifest", "GET", 1),
        "upload of .manifest": ("behind", ".manifest", "PUT", 0),
    }
    # Already covered with the same checks in test_sync_faults.
    COVERED = {("read of .manifest", "500"), ("read of .manifest", "503"),
               ("read of .manifest", "closed during the reply")}

    def test_every_fault_of_every_request_is_reported_and_loses_nothing(self):
        a, b = self.path("A"), self.path("B")
        saved = {}
        for scenario in ("behind", "current"):
            self.reset()
            self.prepare(scenario)
            saved[scenario] = self.save(scenario)
        for request, (scenario, key, method, skip) in self.REQUESTS.items():
            for name, (script, carried_out) in FAULTS.items():
                if (request, name) in self.COVERED:
                    continue
                if method == "GET" and name == "closed after the work, before the reply":
                    continue  # a read changes nothing: the same as closed before it
                with self.subTest(request=request, fault=name):
                    self.restore(saved[scenario])
                    self.check_one(request, a, script, key, method, skip, carried_out)
                    self.store.clear_faults()
                    self.check_finished(scenario, a, b)

    def check_one(self, request, a, script, key, method, skip, carried_out):
        folder_before = self.snapshot(a)
        store_before = self.objects()
        kept = {n: (self.content(a, n), self.mtime(a, n)) for n in ("_revision", ".kuvet-synced")}
        script(self.store, key, method, skip)
        result, lines = self.run_sync(a)
        self.assertEqual(result.status, 1, result)
        self.assertEqual(self.temporaries(a), [])
        self.assertEqual(self.store.refused(), [])
        errors = [line for line in lines if line.startswith("Error! ")]
        self.assertTrue(any(key in line for line in errors), result)
        stored = self.objects()
        published = self.manifest()

        def marks_unchanged():
            self.assertEqual({n: (self.content(a, n), self.mtime(a, n)) for n in kept}, kept)

        if request == "read of .manifest":
            self.assertEqual(self.snapshot(a), folder_before)
            self.assertEqual(stored, store_before)
        elif request == "download":
            self.assertEqual(lines[-2:], ["Error! Could not download: n.txt", NOT_SENT])
            self.assertEqual(stored, store_before)
            self.assertIsNone(self.content(a, "n.txt"))
            self.assertIn(self.content(a, "e.txt"), (b"e0", b"B edit"))
            self.assertEqual(self.content(a, "x.txt"), b"x0")
            self.assertEqual(self.content(a, "a.txt"), b"A new")
            marks_unchanged()
        elif request == "upload":
            # The rest is published; a.txt is left out of the manifest.
            self.assertTrue(lines[-1].startswith("New revision: "), result)
            self.assertNotIn("a.txt", published)
            self.assertEqual(stored.get("a.txt"), b"A new" if carried_out else None)
            self.assertEqual((stored["p.txt"], published["p.txt"]),
                             (b"A edit", self.mtime(a, "p.txt")))
            self.assertNotIn("d.txt", stored)
        elif request == "deletion":
            self.assertTrue(lines[-1].startswith("New revision: "), result)
            self.assertIn("Error! Could not delete d.txt in the store.", lines)
            self.assertIn("d.txt", published)
            self.assertEqual("d.txt" in stored, not carried_out)
            self.assertEqual((stored["a.txt"], stored["p.txt"]), (b"A new", b"A edit"))
        else:  # the check before publishing, or the upload of .manifest
            if request == "upload of .manifest":
                self.assertEqual(lines[-1], NO_MANIFEST)
            if request == "upload of .manifest" and carried_out:
                self.assertEqual(set(published), set(self.FINAL["behind"]) | {"_revision"})
            else:
                self.assertEqual(stored[".manifest"], store_before[".manifest"])
            self.assertFalse(any(line.startswith("New revision") for line in lines), result)
            self.assertEqual(stored["a.txt"], b"A new")
            marks_unchanged()

    def test_a_store_that_closes_after_every_reply_is_no_fault(self):
        # The connection closed after a whole reply: the next request goes on
        # a new one, and the run is as usual.
        self.store = ClosingStore()
        self.addCleanup(self.store.stop)
        for scenario in ("behind", "current"):
            with self.subTest(scenario):
                self.reset()
                a, b = self.prepare(scenario)
                first = len(self.store.log())
                connections = self.store.connections
                self.assertSync(a, self.FULL_RUN[scenario])
                self.assertEqual(self.store.connections - connections,
                                 len(self.store.log()) - first)
                self.check_finished(scenario, a, b)

    def test_an_upload_that_gets_no_answer_keeps_the_stores_entry(self):
        a, b = self.prepare("current")
        self.store.silent("p.txt", method="PUT")
        result, lines = self.run_sync(a)
        self.assertEqual(result.status, 1, result)
        self.assertIn("Error! No reply for 10 s: %sp.txt" % self.store.url(), lines)
        self.assertTrue(lines[-1].startswith("New revision: "), result)
        self.assertEqual(self.manifest()["p.txt"], self.old(2))
        self.store.clear_faults()
        self.check_finished("current", a, b)


class ManifestShapes(test_sync_faults.FaultCase):
    """What another client (or a damaged store) may leave as ".manifest"."""

    def test_deep_nesting_is_refused_without_crashing(self):
        a = self.folder("A")
        self.put_file(a, "mine.txt", "mine", self.old())
        million = 1000000
        for body in (b"[" * million, b'{"a":' * million, b"[" * million + b"]" * million,
                     b'{"_revision":1,"x":' + b"[" * million + b"]" * million + b"}"):
            with self.subTest(body=body[:12]):
                self.put_object(".manifest", body)
                before = self.state(a)
                result, lines = self.run_sync(a)
                self.assertEqual(result.status, 1, result)
                self.assertEqual(len(lines), 1, result)
                self.assertTrue(lines[0].startswith("Error! The store's .manifest is damaged "
                                                    "(Nesting deeper than"), result)
                self.assertEqual(self.state(a), before)

    def test_times_written_as_text_are_read_as_numbers(self):
        a = self.folder("A")
        t = self.old(3)
        revision = self.start
        self.put_object("a.txt", "from the store")
        self.put_object("sub/b.txt", "b")
        self.put_object(".manifest", '{"_revision":"%d","a.txt":"%d","sub/":"%d","sub/b.txt":"%d"}'
                        % (revision, t, t, t + 1))
        result, lines = self.run_sync(a)
        self.assertEqual((lines, result.status), ([" <- a.txt", " <- sub/", " <- sub/b.txt",
                                                  "At revision: %d" % revision], 0), result)
        self.assertRevisionFile(a, revision)
        self.latest = revision
        self.assertEqual((self.content(a, "a.txt"), self.mtime(a, "a.txt")), (b"from the store", t))
        self.assertEqual(self.mtime(a, "sub/b.txt"), t + 1)
        self.put_file(a, "c.txt", "c", self.now())
        self.assertSync(a, [" -> c.txt", NEW])
        published = self.manifest()
        self.assertEqual((published["a.txt"], published["sub/b.txt"]), (t, t + 1))
        self.assertIsInstance(published["_revision"], int)

    def test_a_revision_that_is_no_number_is_refused(self):
        # Before: any such value counted as revision 0, so this folder never
        # looked for the store's changes, and its next publication listed its
        # own older times for objects that others had replaced.
        a = self.folder("A")
        self.put_file(a, "mine.txt", "mine", self.old())
        for value in ('"soon"', '""', '"12abc"', "true", "null", "[1]", '{"n":1}'):
            with self.subTest(revision=value):
                self.put_object(".manifest", '{"_revision":%s,"mine.txt":5}' % value)
                before = self.state(a)
                result, lines = self.run_sync(a)
                self.assertEqual((lines, result.status),
                                 ([DAMAGED % "its _revision is not a number"], 1), result)
                self.assertEqual(self.state(a), before)

    def test_a_hundred_thousand_members_are_read_and_compared(self):
        # A large folder that agrees with the store: nothing to transfer, but
        # every member is parsed, looked up and compared.
        a = self.folder("A")
        t = self.old()
        manifest = {"_revision": self.start}
        for n in range(100):
            os.mkdir(os.path.join(a, "d%02d" % n))
        for n in range(100000):
            key = "d%02d/f%06d.txt" % (n % 100, n)
            full = os.path.join(a, key)
            open(full, "wb").close()
            os.utime(full, (t, t))
            manifest[key] = t
        for n in range(100):
            os.utime(os.path.join(a, "d%02d" % n), (t, t))
            manifest["d%02d/" % n] = t
        self.put_object(".manifest", json.dumps(manifest, separators=(",", ":")))
        self.latest = self.start
        started = time.monotonic()
        self.assertSync(a, [AT])
        took = time.monotonic() - started
        if took > 30:  # not a failure: speed is for benchmarks, but it is worth a look
            print("\nnote: a sync of 100,000 members took %.1f s" % took)
        self.assertEqual([(r.method, r.key) for r in self.store.log()], [("GET", ".manifest")])


if __name__ == "__main__":
    unittest.main()
