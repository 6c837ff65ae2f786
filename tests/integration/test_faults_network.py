"""get, put, del and list against a store that misbehaves on the network: it
closes the connection before, during or after a reply, answers 500 or 503,
says nothing, or sends a Content-Length that does not match its body. (The
same faults during a sync are in test_sync.)

Every fault must end the run with status 1 and a line that says what failed
and on which key, and leave the folder and the store as they were, or as far
along as the run got, with nothing lost. A following run finishes the work.
"""

import os
import unittest

import harness
import strict_store

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


if __name__ == "__main__":
    unittest.main()
