"""The HTTP client end to end: http::req and the pool, driven by the
http_probe tool against scripted servers on 127.0.0.1."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import harness
import http_servers as hs

PROBE_TIMEOUT = 60  # only turns a hang into a failure


def probe_path():
    path = os.environ.get("HTTP_PROBE") or os.path.join(
        harness.repo_root(), "build", "tests", "http_probe")
    if not os.access(path, os.X_OK):
        raise RuntimeError("http_probe not found at %s (set HTTP_PROBE)" % path)
    return path


class Reply:
    def __init__(self, complete, head, body, cert, said):
        self.complete = complete
        self.head = head
        self.body = body
        self.cert = cert    # length of the server certificate text
        self.said = said    # what the client printed before this reply's summary


class Probe:
    """One run of http_probe: the replies, both streams and the status."""

    def __init__(self, proc, seconds):
        self.status = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.seconds = seconds
        self.replies = []
        pos = 0
        pattern = re.compile(rb"@@ complete=(\d) head=(\d+) body=(\d+) cert=(\d+)\n")
        while True:
            m = pattern.search(self.stdout, pos)
            if m is None:
                break
            said = self.stdout[pos:m.start()].decode("utf-8", "replace")
            start = m.end()
            head_len, body_len = int(m.group(2)), int(m.group(3))
            head = self.stdout[start:start + head_len]
            body = self.stdout[start + head_len:start + head_len + body_len]
            self.replies.append(Reply(m.group(1) == b"1", head, body, int(m.group(4)), said))
            pos = start + head_len + body_len + 1
        self.tail = self.stdout[pos:].decode("utf-8", "replace")

    @property
    def out(self):
        return self.stdout.decode("utf-8", "replace")

    def __repr__(self):
        return "Probe(status=%r, stdout=%r, stderr=%r)" % (
            self.status, self.stdout[-1500:], self.stderr[-1500:])


def start_probe(args, env=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.Popen([probe_path()] + [str(a) for a in args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=full_env)


def finish_probe(proc, started, timeout=PROBE_TIMEOUT):
    try:
        stdout, stderr = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise AssertionError("http_probe hung")
    proc.stdout, proc.stderr = stdout, stderr
    return Probe(proc, time.monotonic() - started)


def probe(*args, env=None, timeout=PROBE_TIMEOUT):
    started = time.monotonic()
    return finish_probe(start_probe(args, env), started, timeout)


def head_for(server, path, method="GET"):
    """The request head the client must send with no caller lines (the Host
    carries the port: it is never the default one here)."""
    return (("%s %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUser-Agent: Mozilla/5.0\r\n"
             "Accept: */*\r\nAccept-Language: *\r\nConnection: keep-alive\r\n")
            % (method, path, server.port)).encode()


def wait_for(condition, seconds=10):
    """Waits until condition() holds (for server threads to catch up)."""
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


class HttpTestCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kuvet-http-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def server(self, script, tls=None):
        s = hs.Server(script, tls)
        self.addCleanup(s.stop)
        return s

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def assertComplete(self, result, count=1):
        self.assertEqual(len(result.replies), count, result)
        for r in result.replies:
            self.assertTrue(r.complete, result)


class RequestHeadTest(HttpTestCase):
    def test_get_sends_the_head_byte_for_byte(self):
        s = self.server(hs.fixed(body=b"hello"))
        result = probe(s.url("/a/b?x=1#frag"), "-H", "X-Test: 1", "-H", "Date: now")
        self.assertComplete(result)
        self.assertEqual(s.requests, [head_for(s, "/a/b?x=1#frag") + b"X-Test: 1\r\nDate: now\r\n\r\n"])
        self.assertEqual(result.replies[0].head,
                         b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n")
        self.assertEqual(result.replies[0].body, b"hello")
        self.assertEqual(result.status, 0)

    def test_localhost_names_in_any_case_are_loopback(self):
        s = self.server(hs.fixed(body=b"x"))
        result = probe(s.url("/", host="LocalHost"), "--next", s.url("/", host="a.b.LOCALHOST"))
        self.assertComplete(result, 2)
        self.assertEqual(s.connections, 2)  # two names, two pool entries


class PoolTest(HttpTestCase):
    def test_two_requests_share_one_connection(self):
        s = self.server(hs.fixed(body=b"one"))
        result = probe(s.url("/1"), "--next", s.url("/2"))
        self.assertComplete(result, 2)
        self.assertEqual(s.connections, 1)
        self.assertEqual([r.split(b" ")[1] for r in s.requests], [b"/1", b"/2"])

    def test_fresh_replaces_a_healthy_connection(self):
        s = self.server(hs.fixed(body=b"one"))
        result = probe(s.url("/1"), "--next", s.url("/2"), "--fresh")
        self.assertComplete(result, 2)
        self.assertEqual(s.connections, 2)

    def test_a_sixteenth_key_evicts_the_first_inserted(self):
        s = self.server(hs.fixed(body=b"x"))
        names = ["h%d.localhost" % i for i in range(1, 17)]
        args = []
        for name in names[:15]:
            args += [s.url("/", host=name), "--next"]
        # Reusing h1 does not make it younger: the 16th key still evicts it.
        args += [s.url("/again", host=names[0]), "--next", s.url("/", host=names[15]),
                 "--next", s.url("/", host=names[1]), "--next", s.url("/", host=names[0])]
        result = probe(*args)
        self.assertComplete(result, 19)
        # 16 names, plus h1 once more after its eviction; h2 was still pooled
        # (had h2 gone instead, it would take 18).
        self.assertEqual(s.connections, 17)
        hosts = [re.search(rb"Host: (\S+)", r).group(1) for r in s.requests]
        self.assertEqual(hosts[-1], b"h1.localhost:%d" % s.port)

    def test_plain_and_other_ports_are_separate_entries(self):
        a = self.server(hs.fixed(body=b"a"))
        b = self.server(hs.fixed(body=b"b"))
        result = probe(a.url("/"), "--next", b.url("/"), "--next", a.url("/"), "--next", b.url("/"))
        self.assertComplete(result, 4)
        self.assertEqual((a.connections, b.connections), (1, 1))

    def test_a_keep_alive_connection_closed_by_the_server_is_replaced(self):
        s = self.server(hs.fixed(body=b"x", close_after=1))
        result = probe(s.url("/1"), "--next", s.url("/2"))
        self.assertComplete(result, 2)
        self.assertEqual(s.connections, 2)
        self.assertEqual(result.out.count("Error!"), 0, result)

    def test_a_connection_closed_before_any_reply_is_retried_only_once(self):
        s = self.server(hs.close_at(b""))
        url = s.url("/")
        result = probe(url)
        self.assertEqual(len(result.replies), 1, result)
        self.assertFalse(result.replies[0].complete)
        self.assertEqual(result.replies[0].said,
                         "Error! Connection closed before the reply was complete: %s\n" % url)
        self.assertEqual(s.connections, 2)
        self.assertEqual(result.status, 1)

    def test_a_reply_that_ends_the_connection_is_not_reused(self):
        # the reply -> connections for two requests
        cases = [(b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx", 2),
                 (b"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx", 2),
                 (b"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 1\r\n\r\nx", 1)]
        for reply, connections in cases:
            with self.subTest(reply=reply):
                s = self.server(hs.keep_alive(lambda _, r=reply: [r]))
                result = probe(s.url("/1"), "--next", s.url("/2"))
                self.assertComplete(result, 2)
                self.assertEqual(s.connections, connections)

    def test_a_port_nobody_listens_on(self):
        port = harness.free_port()
        result = probe("http://127.0.0.1:%d/" % port)
        self.assertEqual(len(result.replies), 1, result)
        self.assertFalse(result.replies[0].complete)
        self.assertEqual(result.replies[0].said,
                         "Address 0 failed: 127.0.0.1\n"
                         "No addresses worked for host 127.0.0.1:%d.\n"
                         "Failed to connect.\n" % port)
        self.assertEqual(result.replies[0].head, b"")

    def test_a_connect_that_gets_no_answer_gives_up(self):
        # A listener whose accept queue is full drops new SYNs: the connect
        # would wait for minutes without its own bound.
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        port = listener.getsockname()[1]
        for _ in range(3):
            filler = socket.socket()
            self.addCleanup(filler.close)
            filler.setblocking(False)
            try:
                filler.connect(("127.0.0.1", port))
            except BlockingIOError:
                pass
        time.sleep(0.2)
        result = probe("http://127.0.0.1:%d/" % port, "--connect", "0.3", timeout=60)
        self.assertEqual(result.replies[0].said,
                         "Address 0 failed: 127.0.0.1\n"
                         "No addresses worked for host 127.0.0.1:%d.\n"
                         "Failed to connect.\n" % port)

    def test_an_unknown_host(self):
        result = probe("http://no-such-host.invalid:81/")
        self.assertEqual(result.replies[0].said,
                         "getaddrinfo() failed for host no-such-host.invalid:81!\n"
                         "Failed to connect.\n")


class BodyTest(HttpTestCase):
    def test_lengths_that_fill_whole_reads(self):
        # The server keeps the connection open: a read that waited for more
        # would hang until the probe is killed.
        for size, download in ((4096 * 3, False), (65536 * 4, True), (65536, False)):
            with self.subTest(size=size, download=download):
                body = bytes(i * 7 % 251 for i in range(size))
                s = self.server(hs.fixed(body=body))
                args = [s.url("/big")] + (["-o", self.path("out")] if download else [])
                result = probe(*args, "--next", s.url("/small"), timeout=25)
                self.assertComplete(result, 2)
                self.assertEqual(s.connections, 1)
                got = self.read("out") if download else result.replies[0].body
                self.assertEqual(got, body)

    def test_empty_body_with_length_zero(self):
        s = self.server(hs.fixed(status="200 OK"))
        result = probe(s.url("/"), "--next", s.url("/"))
        self.assertComplete(result, 2)
        self.assertEqual(s.connections, 1)

    def test_no_length_reads_until_close(self):
        body = bytes(i % 256 for i in range(10000))
        s = self.server(hs.until_close(body))
        result = probe(s.url("/1"), "--next", s.url("/2"), "-o", self.path("out"))
        self.assertComplete(result, 2)
        self.assertEqual(result.replies[0].body, body)
        self.assertEqual(self.read("out"), body)
        self.assertEqual(s.connections, 2)

    def test_no_body_for_204_and_304_and_head(self):
        def answer(request):
            if request.startswith(b"HEAD"):
                return [b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"]
            status = b"204 No Content" if b"/204" in request else b"304 Not Modified"
            return [b"HTTP/1.1 " + status + b"\r\n\r\n"]
        s = self.server(hs.keep_alive(answer))
        result = probe(s.url("/204"), "--next", s.url("/304"), "--next", s.url("/h"), "-X", "HEAD",
                       "--next", s.url("/204"), timeout=25)
        self.assertComplete(result, 4)
        self.assertEqual(s.connections, 1)

    def test_interim_100_continue_is_skipped(self):
        def answer(_):
            return [b"HTTP/1.1 100 Continue\r\n\r\n",
                    b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"]
        s = self.server(hs.keep_alive(answer))
        result = probe(s.url("/"))
        self.assertComplete(result)
        self.assertEqual(result.replies[0].head, b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n")
        self.assertEqual(result.replies[0].body, b"ok")


class CutShortTest(HttpTestCase):
    def test_a_server_that_closes_mid_body(self):
        head = b"HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n"
        s = self.server(hs.close_at(head + b"a" * 3000))
        url = s.url("/f")
        result = probe(url, "-o", self.path("out"), "--next", url)
        self.assertEqual(len(result.replies), 2, result)
        for reply in result.replies:
            self.assertFalse(reply.complete)
            self.assertEqual(reply.said,
                             "Error! Connection closed before the reply was complete: %s\n" % url)
            self.assertEqual(reply.head, head)
        self.assertEqual(self.read("out"), b"a" * 3000)
        self.assertEqual(result.replies[1].body, b"a" * 3000)
        self.assertEqual(s.connections, 2)  # one per request: never retried
        self.assertEqual(result.status, 1)

    def test_a_download_file_that_cannot_be_written(self):
        for size in (10, 200000):
            s = self.server(hs.fixed(body=b"d" * size))
            url = s.url("/d")
            result = probe(url, "-o", "/dev/full", "--next", url)
            self.assertEqual(len(result.replies), 2, result)
            self.assertFalse(result.replies[0].complete)
            self.assertEqual(result.replies[0].said,
                             "Error! Could not write the reply to the download file: %s\n" % url)
            self.assertTrue(result.replies[1].complete)
            self.assertEqual(s.connections, 2)  # the first connection was dropped

    def test_a_silent_server(self):
        s = self.server(hs.silent())
        url = s.url("/quiet")
        result = probe(url, "--idle", "1.3")
        self.assertEqual(len(result.replies), 1, result)
        self.assertFalse(result.replies[0].complete)
        self.assertEqual(result.replies[0].said, "Error! No reply for 1.3 s: %s\n" % url)
        self.assertTrue(result.stderr.decode().startswith("\r1."), result)  # the idle timer
        self.assertEqual(s.connections, 1)


CHUNKED = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: %s\r\n\r\n"
MALFORMED = "Error! The reply's status line is malformed"
CODING = "Error! The reply's Transfer-Encoding is not understood"

# A reply (sent whole, then the connection is closed) -> the body downloaded,
# or the start of the line that says why the download failed.
FRAMING = [
    (CHUNKED % b"chunked" + b"5\r\nhello\r\n0\r\nX-Trailer: 1\r\n\r\n", b"hello"),
    (CHUNKED % b"Chunked" + b"3;x=1\r\nabc\r\n0\r\n\r\n", b"abc"),
    (CHUNKED % b"chunked" + b"0x3\r\nabc\r\n0\r\n\r\n", "Error! Bad chunk size line [0x3]"),
    (CHUNKED % b"chunked" + b"3\r\nabcXY0\r\n\r\n", "Error! A chunk's data is not followed by CRLF"),
    (CHUNKED % b"chunked" + b"3\r\nabc\r\n", "Error! Connection closed before the reply"),
    (CHUNKED % b"notchunked" + b"3\r\nabc\r\n0\r\n\r\n", CODING),
    (CHUNKED % b"gzip, chunked" + b"3\r\nabc\r\n0\r\n\r\n", CODING),
    (CHUNKED % b"chunked, chunked" + b"3\r\nabc\r\n0\r\n\r\n", CODING),
    (b"HTTP/1.1 2\r\nContent-Length: 0\r\n\r\n", MALFORMED),
    (b"HTTP/1.1 200OK\r\nContent-Length: 0\r\n\r\n", MALFORMED),
    (b"HTTP/2 200 OK\r\nContent-Length: 0\r\n\r\n", MALFORMED),
    (b"HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nok", b"ok"),
    (b"HTTP/1.1 204 No Content\r\n\r\n", "Error! A 204 reply without a body to a download"),
    (b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", b"ok"),
    (b"HTTP/1.0 200 OK\r\n\r\nuntil closed", b"until closed"),
    (b"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", CODING),
    (b"HTTP/1.1 200 OK\r\nX: " + b"y" * 70000 + b"\r\n\r\n", "Error! The reply's head is longer"),
]


class FramingTest(HttpTestCase):
    def test_replies_are_read_strictly(self):
        for reply, expected in FRAMING:
            with self.subTest(reply=reply[:80]):
                s = self.server(hs.close_at(reply))
                result = probe(s.url("/"), "-o", self.path("out"))
                self.assertEqual(len(result.replies), 1, result)
                if isinstance(expected, bytes):
                    self.assertComplete(result)
                    self.assertEqual(self.read("out"), expected)
                else:
                    self.assertFalse(result.replies[0].complete, result)
                    self.assertTrue(result.replies[0].said.startswith(expected), result)


class UploadTest(HttpTestCase):
    def test_put_of_an_empty_file(self):
        s = self.server(hs.upload_sink())
        result = probe(s.url("/k"), "-X", "PUT", "-u", self.write("empty", b""))
        self.assertComplete(result)
        self.assertEqual(s.requests,
                         [head_for(s, "/k", method="PUT") + b"Content-Length: 0\r\n\r\n"])

    def test_put_of_5000_bytes(self):
        data = bytes(i % 253 for i in range(5000))
        s = self.server(hs.upload_sink())
        result = probe(s.url("/k"), "-X", "PUT", "-u", self.write("f", data))
        self.assertComplete(result)
        self.assertEqual(s.requests,
                         [head_for(s, "/k", method="PUT") + b"Content-Length: 5000\r\n\r\n" + data])

    def test_a_server_that_refuses_the_upload_midway(self):
        def refuse(conn):
            if conn.read_head() is not None:
                conn.send(b"HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\n"
                          b"Connection: close\r\n\r\n")
        s = self.server(refuse)
        result = probe(s.url("/k"), "-X", "PUT", "-u", self.write("f", b"u" * (32 << 20)))
        self.assertEqual(len(result.replies), 1, result)
        self.assertFalse(result.replies[0].complete)
        self.assertEqual(result.replies[0].said.count("Error!"), 1, result)

    def test_a_peer_that_stops_reading_the_upload(self):
        stop = threading.Event()
        self.addCleanup(stop.set)

        def stall(conn):
            if conn.read_head() is not None:
                stop.wait(hs.WAIT + 30)
        s = self.server(stall)
        url = s.url("/k")
        result = probe(url, "-X", "PUT", "-u", self.write("f", b"u" * (32 << 20)), "--idle", "0.3")
        self.assertEqual(len(result.replies), 1, result)
        self.assertFalse(result.replies[0].complete)
        self.assertEqual(result.replies[0].said, "Error! No reply for 0.3 s: %s\n" % url)

    def changing_upload(self, change):
        """Starts a 32 MiB PUT that the server stalls after the head, so that
        the client is blocked mid-file; then changes the file."""
        size = 32 << 20
        name = self.write("f", b"u" * size)
        head_seen, resume = threading.Event(), threading.Event()
        s = self.server(hs.upload_sink(head_seen, resume))
        started = time.monotonic()
        proc = start_probe([s.url("/k"), "-X", "PUT", "-u", name])
        try:
            self.assertTrue(head_seen.wait(30))
            time.sleep(0.3)  # lets the client fill the socket buffers
            change(name)
        finally:
            resume.set()
        result = finish_probe(proc, started)
        return s, result, size

    def test_a_file_that_grows_during_the_upload(self):
        def grow(name):
            with open(name, "ab") as f:
                f.write(b"g" * (1 << 20))
        s, result, size = self.changing_upload(grow)
        self.assertComplete(result)
        request = s.requests[0]
        self.assertIn(b"Content-Length: %d\r\n" % size, request)
        self.assertEqual(len(request) - request.index(b"\r\n\r\n") - 4, size)

    def test_a_file_that_shrinks_during_the_upload(self):
        def shrink(name):
            os.truncate(name, 1 << 20)
        s, result, size = self.changing_upload(shrink)
        self.assertEqual(len(result.replies), 1, result)
        self.assertFalse(result.replies[0].complete)
        self.assertEqual(result.replies[0].said,
                         "Error! The upload file ended before its Content-Length of %d bytes: %s\n"
                         % (size, s.url("/k")))
        self.assertTrue(wait_for(lambda: s.requests), "the server saw no request")
        request = s.requests[0]
        self.assertLess(len(request) - request.index(b"\r\n\r\n") - 4, size)


class TlsTest(HttpTestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs_dir = tempfile.mkdtemp(prefix="kuvet-tls-")
        cls.certs = hs.make_certificates(cls.certs_dir)
        cls.trust = {"SSL_CERT_FILE": cls.certs["ca.pem"], "SSL_CERT_DIR": cls.certs_dir}
        # The TLS transport may not be part of this build yet.
        s = hs.Server(hs.fixed(body=b"x"),
                      hs.tls_context(cls.certs["server.pem"], cls.certs["server.key"]))
        try:
            result = probe(s.url("/", host="localhost"), env=cls.trust)
        finally:
            s.stop()
        if "not available" in result.out or "Unable to load" in result.out:
            shutil.rmtree(cls.certs_dir, ignore_errors=True)
            raise unittest.SkipTest("no TLS transport in this build")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs_dir, ignore_errors=True)

    def tls_server(self, script, cert="server"):
        return self.server(script, hs.tls_context(self.certs[cert + ".pem"],
                                                  self.certs[cert + ".key"]))

    def test_a_trusted_certificate(self):
        s = self.tls_server(hs.fixed(body=b"secret"))
        result = probe(s.url("/a", host="localhost"), "--next", s.url("/b", host="localhost"),
                       env=self.trust)
        self.assertComplete(result, 2)
        self.assertEqual(result.replies[0].body, b"secret")
        self.assertGreater(result.replies[0].cert, 0)
        self.assertEqual(s.connections, 1)
        self.assertTrue(s.requests[0].startswith(b"GET /a HTTP/1.1\r\nHost: localhost:%d\r\n"
                                                 % s.port))

    def test_no_server_name_for_an_address(self):
        names = []
        context = hs.tls_context(self.certs["server.pem"], self.certs["server.key"])
        context.sni_callback = lambda sock, name, ctx: names.append(name)
        s = self.server(hs.fixed(body=b"x"), context)
        result = probe(s.url("/"), "--next", s.url("/", host="localhost"), env=self.trust)
        self.assertComplete(result, 2)
        self.assertEqual(names, [None, "localhost"])

    def test_a_closed_keep_alive_connection_is_replaced(self):
        s = self.tls_server(hs.fixed(body=b"x", close_after=1))
        result = probe(s.url("/1", host="localhost"), "--next", s.url("/2", host="localhost"),
                       env=self.trust)
        self.assertComplete(result, 2)
        self.assertEqual(s.connections, 2)

    def failed_handshake(self, cert, host):
        s = self.tls_server(hs.fixed(body=b"secret"), cert)
        result = probe(s.url("/", host=host), env=self.trust)
        self.assertEqual(len(result.replies), 1, result)
        self.assertFalse(result.replies[0].complete)
        lines = result.replies[0].said.splitlines()
        self.assertEqual(len(lines), 2, result)
        self.assertEqual(lines[1], "Failed to connect.")
        self.assertEqual(s.requests, [])  # nothing was sent
        return lines[0]

    def test_an_untrusted_certificate(self):
        self.assertTrue(self.failed_handshake("self", "localhost"))

    def test_a_wrong_host_name(self):
        self.assertTrue(self.failed_handshake("server", "other.localhost"))

    def test_a_one_mebibyte_download_does_not_stall(self):
        body = bytes(i * 13 % 256 for i in range(1 << 20))
        s = self.tls_server(hs.fixed(body=body))
        result = probe(s.url("/big", host="localhost"), "--next",
                       s.url("/big", host="localhost"), "-o", self.path("out"), env=self.trust)
        self.assertComplete(result, 2)
        self.assertEqual(result.replies[0].body, body)
        self.assertEqual(self.read("out"), body)
        self.assertLess(result.seconds, 5, "a stall: a read waited for bytes TLS already held")


if __name__ == "__main__":
    unittest.main()
