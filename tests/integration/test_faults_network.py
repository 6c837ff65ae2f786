"""get, put, del and list against a store that misbehaves on the network: it
closes the connection before, during or after a reply, answers 500 or 503,
says nothing or trickles, sends a Content-Length that does not match its
body, redirects elsewhere, or sends replies too large to hold. (The same
faults during a sync are in test_sync.)

Every fault must end the run with status 1 and a line that says what failed
and on which key, and leave the folder and the store as they were, or as far
along as the run got, with nothing lost. A following run finishes the work.
"""

import itertools
import os
import resource
import stat
import subprocess
import time
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


def head(length=None, status="200 OK", extra=b""):
    """A reply head, with a Content-Length or chunked."""
    framing = b"Content-Length: %d" % length if length is not None else b"Transfer-Encoding: chunked"
    return b"HTTP/1.1 " + status.encode() + b"\r\n" + framing + b"\r\n" + extra + b"\r\n"


def chunks(piece, count=None):
    """Chunks of `piece`, `count` of them or without end."""
    return (b"%x\r\n%s\r\n" % (len(piece), piece) for _ in itertools.count()
            if count is None or _ < count)


def sanitized():
    """Whether the binary runs under AddressSanitizer (which reserves more
    address space than any limit these tests set)."""
    with open(harness.binary(), "rb") as f:
        return b"__asan_init" in f.read()


class HostileStore(StrictCase):
    """A store that redirects elsewhere, sends more than can be held, or
    trickles: every command ends, with status 1 and a line saying why."""

    def setUp(self):
        super().setUp()
        self.write_config(self.store.config())
        self.write("e.bin", b"old local content")
        os.chmod(self.path("e.bin"), 0o600)
        self.write("p.bin", b"local file to send")
        self.store.put("e.bin", b"the store's content")

    def test_redirects_are_followed_only_on_the_store(self):
        other = strict_store.StrictStore()
        self.addCleanup(other.stop)
        here = self.store.url()
        # command, Location, how many redirects, the status
        cases = [
            (("put", "p.bin"), other.url() + "p.bin", 1, 1),
            (("get", "e.bin"), other.url(path_style=True) + "e.bin", 1, 1),
            (("get", "e.bin"), here.replace("http:", "https:") + "e.bin", 1, 1),
            (("get", "e.bin"), "/e.bin", 1, 0),
            (("list",), here, 1, 0),
            (("del", "e.bin"), "/e.bin", None, 1),  # for ever
        ]
        for args, location, times, status in cases:
            with self.subTest(command=args, location=location):
                self.store.clear_faults()
                self.store.answer(args[-1] if len(args) > 1 else "", lambda s, r, to=location:
                                  strict_store.Reply(307, b"", [("Location", to)]), times=times)
                result = self.kuvet(*args, stdin="y\n")
                self.assertEqual(result.status, status, result)
                if status and times:
                    self.assertIn("Error! Redirected to another place, not followed: " + location,
                                  result.out)
                elif status:
                    self.assertIn("Error! Too many redirects.", result.out)
        self.assertEqual((other.connections, other.log()), (0, []))
        self.assertEqual(self.store.get("p.bin"), None)

    @unittest.skipIf(sanitized(), "AddressSanitizer reserves more address space than the limit")
    def test_memory_stays_bounded(self):
        listing = head(None, extra=b"Content-Type: application/xml\r\n")
        # command, key, reply, address space in MiB, the first line or the file got
        cases = [
            (("list",), "", lambda: [head(1 << 30)] + list(itertools.repeat(b"<a/>" * 16384, 16)),
             128, "Error! The reply's body is larger than the 4 MiB it may take in memory"),
            (("list",), "", lambda: itertools.chain([listing], chunks(b"<a/>" * 16384)),
             128, "Error! The reply's body is larger than the 4 MiB it may take in memory"),
            (("list",), "", lambda: [head(3 << 20), b"<a>" * (1 << 20)],
             128, "Error! The store's listing page has more than 250,000 XML nodes"),
            (("list",), "", lambda: [head(3 << 20), b"<a/>" * (3 << 18)],
             128, "Error! The store's listing page has more than 250,000 XML nodes"),
            (("list",), "", lambda: itertools.chain([b"HTTP/1.1 200 OK\r\n"],
                                                    itertools.repeat(b"X-Filler: " + b"y" * 990 + b"\r\n")),
             128, "Error! The reply's head is longer than 64 KiB"),
            (("sync",), ".manifest", lambda: itertools.chain([head()], chunks(b" " * (1 << 20))),
             280, "Error! The reply's body is larger than the 128 MiB it may take in memory"),
            (("get", "e.bin"), "e.bin",
             lambda: itertools.chain([head(), b"6000000\r\n"], itertools.repeat(b"z" * (1 << 20), 96),
                                     [b"\r\n0\r\n\r\n"]),
             48, b"z" * (96 << 20)),
        ]
        for args, key, reply, mib, expected in cases:
            with self.subTest(command=args, expected=expected[:40]):
                self.store.clear_faults()
                self.store.raw(key, reply, method="GET")
                limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (mib << 20, mib << 20))
                proc = subprocess.run([harness.binary()] + list(args), cwd=self.dir, input=b"y\n",
                                      capture_output=True, timeout=60, preexec_fn=limit)
                result = harness.Result(proc.returncode, proc.stdout, proc.stderr)
                if isinstance(expected, bytes):
                    self.assertEqual(result.status, 0, result)
                    self.assertEqual(self.read("e.bin"), expected)
                else:
                    self.assertEqual(result.status, 1, result)
                    self.assertTrue(any(line.startswith(expected) for line in result.lines), result)

    def test_a_silent_or_trickling_store_is_given_up_in_time(self):
        limits = {"idle_timeout": 0.3, "low_speed_limit": 1000, "low_speed_time": 0.5}
        self.write_config(self.store.config(), **limits)
        trickle = lambda: itertools.chain([head(1000000)], itertools.repeat(b"x"))
        slow = "Error! Fewer than 1000 bytes/s for 0.5 s: "
        # command, key, reply, seconds between pieces, the line
        cases = [
            (("get", "e.bin"), "e.bin", lambda: [head(1000), b"the store"], 60,
             "Error! No reply for 0.3 s: "),
            (("get", "e.bin"), "e.bin", trickle, 0.05, slow),
            (("list",), "", trickle, 0.05, slow),
            (("sync",), ".manifest", trickle, 0.05, slow),
        ]
        for args, key, reply, interval, line in cases:
            with self.subTest(command=args, line=line):
                self.store.clear_faults()
                self.store.raw(key, reply, interval, method="GET")
                before = self.folder_state()
                started = time.monotonic()
                result = self.kuvet(*args, stdin="y\n", timeout=20)
                self.assertLess(time.monotonic() - started, 5)
                self.assertEqual(result.status, 1, result)
                self.assertIn(line + self.store.url() + key, result.out)
                self.assertEqual(self.folder_state(), before)

    def test_keys_and_file_modes(self):
        # Keys reach the terminal as one line each, without control characters.
        self.store.put("x\x1b[31m\nNew revision: 99\u009b", b"k")
        result = self.kuvet("list")
        self.assertEqual(result.status, 0, result)
        self.assertTrue(result.lines[1].endswith("  x?[31m?New revision: 99?"), result)
        # A download fills an owner-only file, which then takes the target's mode.
        self.store.raw("e.bin", lambda: [head(10) + b"12345", b"67890"], 1.0, method="GET")
        self.write("yes", "y\n")
        with open(self.path("yes")) as answer:
            proc = subprocess.Popen([harness.binary(), "get", "e.bin"], cwd=self.dir, stdin=answer,
                                    stdout=subprocess.DEVNULL)
        parts = []
        while not parts and proc.poll() is None:
            parts = [n for n in os.listdir(self.dir) if ".kuvet-part-" in n]
        modes = [stat.S_IMODE(os.stat(self.path(n)).st_mode) for n in parts]
        self.assertEqual((proc.wait(timeout=30), modes), (0, [0o600]))
        self.assertEqual(stat.S_IMODE(os.stat(self.path("e.bin")).st_mode), 0o600)
        self.store.clear_faults()
        self.assertEqual(self.kuvet("get", "n.bin", umask=0o022).status, 1)  # no such key
        self.store.put("n.bin", b"new")
        self.assertEqual(self.kuvet("get", "n.bin", umask=0o022).status, 0)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("n.bin")).st_mode), 0o644)


if __name__ == "__main__":
    unittest.main()
