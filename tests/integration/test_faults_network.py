"""get, put, del and list against a store that misbehaves on the network."""
# It closes the connection before, during or after a reply, answers 500,
# sends a body longer than its Content-Length, redirects elsewhere, sends
# more than can be held, or says nothing. Every command ends with status
# 1 and a line naming what failed, and changes nothing the store did not carry
# out. (The same faults during a sync are in test_sync.)

import itertools
import os
import pathlib
import resource
import subprocess
import time

import harness
import strict_store

SANITIZED = b"__asan_init" in pathlib.Path(harness.binary()).read_bytes()  # ASan takes more address space


# An answer: the store does the request, then sends a body longer than the Content-Length it claims.
def overlong(store, request):
    reply = store.outcome(request)
    body = reply.body or b"<Done/>"  # a reply without a body gets one to lie about
    return strict_store.Reply(reply.status if reply.body else 200, body, reply.headers, length=len(body) // 2, close=True)


# An answer: a redirect to the same host and port over https, which no store should send.
def elsewhere(store, request):
    return strict_store.Reply(307, b"", [("Location", "https" + store.url()[4:] + request.key)])


# store method, its arguments, whether the store carries out the request first
FAULTS = [("drop", {}, False), ("drop", dict(handled=True), True), ("cut", {}, True), ("fail", {}, False),
          ("answer", dict(action=overlong), True), ("answer", dict(action=elsewhere), False)]
# command, key, method, what the store holds once it carried out the request (None: nothing)
COMMANDS = [(("get", "n.bin"), "n.bin", "GET", {}), (("get", "e.bin"), "e.bin", "GET", {}),
            (("put", "p.bin"), "p.bin", "PUT", {"p.bin": b"local p.bin"}),
            (("del", "d.bin"), "d.bin", "DELETE", {"d.bin": None}), (("list",), "", "GET", {})]


# A reply head, with a Content-Length or chunked.
def head(length=None):
    return b"HTTP/1.1 200 OK\r\n%s\r\n\r\n" % (b"Content-Length: %d" % length if length else b"Transfer-Encoding: chunked")


class NetworkFaults(strict_store.PerClass, harness.KuvetTestCase):

    def setUp(self):
        super().setUp()
        self.write_config(self.store.config())
        for name in ("e.bin", "p.bin"):
            self.write(name, "local " + name, 0o640)

    def seed(self):
        for name in ("e.bin", "n.bin", "p.bin", "d.bin"):
            self.store.put(name, b"stored " + name.encode())
        return {key: self.store.get(key) for key in self.store.keys()}

    def test_every_fault_of_every_command_is_reported_and_changes_nothing(self):
        for (args, key, method, done), (kind, how, carried_out) in itertools.product(COMMANDS, FAULTS):
            with self.subTest(command=args, fault=(kind, how)):
                self.store.clear_faults()
                before, folder = self.seed(), self.snapshot()
                getattr(self.store, kind)(key, method=method, **how)
                result = self.kuvet(*args, stdin="y\n")
                # The first line says what failed: the key, or that the store did.
                first = result.lines[0].replace("Overwrite local file %s? [y/n] " % key, "") if result.lines else ""
                self.assertEqual(result.status, 1, result)
                names = [key] if key else ["the store", self.store.url().partition(":")[2]]
                self.assertTrue(first.startswith("Error! ") and any(name in first for name in names), result)
                # An error reply is shown: its head and the store's error document.
                self.assertTrue(kind != "fail" or "\nHTTP/1.1 500 Internal Server Error\r\n" in result.out
                                and "<Code>InternalServerError</Code>" in result.out, result)
                expected = dict(before, **(done if carried_out else {}))
                self.assertEqual(({k: self.store.get(k) for k in self.store.keys()}, self.snapshot()),
                                 ({k: v for k, v in expected.items() if v is not None}, folder))

    def test_a_lost_connection_is_tried_again_once(self):
        # Stores often close a kept-alive connection just as a request arrives; an upload goes again whole.
        self.store.drop("p.bin", method="PUT", times=1)
        self.assertEqual(self.kuvet("put", "p.bin").status, 0)
        self.assertEqual((self.store.get("p.bin"), len(self.store.log())), (b"local p.bin", 2))

    def test_replies_too_large_too_slow_or_never_done_are_given_up(self):
        self.seed()
        big, nodes = "Error! The reply's body is larger than the 4 MiB", "Error! The store's listing page has more than 250,000"
        slow = "Error! Fewer than 1000 bytes/s for 0.5 s: %sn.bin" % self.store.url()
        # command, key, the reply's pieces, seconds between them, most address space (MiB), a line or the file got
        for args, key, reply, interval, mib, expected in [
                (("list",), "", lambda: itertools.chain([head()], itertools.repeat(b"4000\r\n" + b"<a/>" * 4096 + b"\r\n")),
                 0, 128, big),
                (("list",), "", lambda: [head(3 << 20), b"<a>" * (1 << 20)], 0, 128, nodes),
                (("list",), "", lambda: [head(3 << 20), b"<a/>" * (3 << 18)], 0, 128, nodes),
                (("sync",), ".manifest", lambda: itertools.chain([head()], itertools.repeat(b"100000\r\n" + b" " * (1 << 20) + b"\r\n")),
                 0, 280, "Error! The reply's body is larger than the 128 MiB"),
                (("get", "n.bin"), "n.bin", lambda: [head(), b"6000000\r\n"] + [b"z" * (1 << 20)] * 96 + [b"\r\n0\r\n\r\n"],
                 0, 48, b"z" * (96 << 20)),
                (("get", "n.bin"), "n.bin", lambda: [head(1000), b"the store"], 60, 0,
                 "Error! No reply for 0.3 s: %sn.bin" % self.store.url()),
                (("get", "n.bin"), "n.bin", lambda: itertools.chain([head(1000000)], itertools.repeat(b"x")), 0.05, 0, slow)]:
            with self.subTest(command=args, expected=expected[:40]):
                self.store.clear_faults()
                self.store.raw(key, reply, interval, method="GET")
                # Short time limits for the rows that wait; the others may take their time on a busy machine.
                self.write_config(self.store.config(), **dict(idle_timeout=0.3, low_speed_limit=1000, low_speed_time=0.5)
                                  if interval else {})
                limit = (mib << 20, mib << 20) if mib and not SANITIZED else (resource.RLIM_INFINITY,) * 2
                started, folder = time.monotonic(), self.snapshot()
                result = self.kuvet(*args, timeout=60, preexec=lambda: resource.setrlimit(resource.RLIMIT_AS, limit))
                self.assertLess(time.monotonic() - started, 5 if interval else 60)
                if isinstance(expected, bytes):
                    self.assertEqual((result.status, self.read("n.bin") == expected), (0, True), result)
                    os.remove(self.path("n.bin"))
                else:
                    self.assertEqual((result.status, any(x.startswith(expected) for x in result.lines)), (1, True), result)
                    self.assertEqual(self.snapshot(), folder)

    def test_a_download_is_private_until_it_takes_the_files_mode(self):
        self.store.raw("e.bin", lambda: [head(10) + b"12345", b"67890"], 1.0, method="GET")
        proc = subprocess.Popen([harness.binary(), "get", "e.bin"], cwd=self.dir, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL)
        proc.stdin.write(b"y\n")
        proc.stdin.close()
        parts = []
        while not parts and proc.poll() is None:
            parts = [n for n in os.listdir(self.dir) if ".kuvet-part-" in n]
        modes = [os.stat(self.path(n)).st_mode & 0o777 for n in parts]
        self.assertEqual((proc.wait(timeout=30), modes, os.stat(self.path("e.bin")).st_mode & 0o777, self.read("e.bin")),
                         (0, [0o600], 0o640, b"1234567890"))

