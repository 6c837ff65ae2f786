# The HTTP client end to end (http::send, the keep-alive pool, TLS): the
# http_probe tool runs requests against a scripted server on 127.0.0.1 that
# answers each request with canned bytes. Every time limit is a fraction of
# a second.

import collections
import os
import re
import shutil
import socket
import socketserver
import ssl
import subprocess
import tempfile
import threading
import time

import harness

PAUSE = 0.02   # seconds between the pieces of a scripted reply
CLOSE = None   # a piece that closes the connection
HOLD = "hold"  # an answer: read nothing more and say nothing for a while

Reply = collections.namedtuple("Reply", "said complete head body cert")


# Serves a free port of 127.0.0.1 (TLS under a context): for each request
# head, answer(head) gives the pieces to send, PAUSE apart, after the body the
# head announces has been read and the request recorded in `requests`.
class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True

    def __init__(self, answer, tls=None, pause=PAUSE):
        super().__init__(("127.0.0.1", 0), lambda sock, address, server: server.serve(sock))
        self.answer, self.tls, self.pause, self.port = answer, tls, pause, self.server_address[1]
        self.requests, self.connections = [], 0
        threading.Thread(target=self.serve_forever, args=(0.01,), daemon=True).start()

    def stop(self):
        self.shutdown()
        self.server_close()

    def url(self, path, host="127.0.0.1"):
        return "%s://%s:%d%s" % ("https" if self.tls else "http", host, self.port, path)

    def serve(self, sock):
        self.connections += 1
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.settimeout(5)
        try:
            if self.tls:
                sock = self.tls.wrap_socket(sock, server_side=True)
            data = b""
            while True:
                while b"\r\n\r\n" not in data:
                    data += receive(sock)
                end = data.index(b"\r\n\r\n") + 4
                pieces = self.answer(data[:end])
                if pieces == HOLD:
                    return time.sleep(2)
                # a reply that ends with CLOSE leaves the body unread: a refusal
                length = re.search(rb"\r\nContent-Length: (\d+)", data[:end])
                end += int(length[1]) if length and pieces[-1:] != [CLOSE] else 0
                while len(data) < end:
                    data += receive(sock)
                self.requests.append(data[:end])
                data = data[end:]
                for i, piece in enumerate(pieces):
                    time.sleep(self.pause if i else 0)
                    if piece is CLOSE:
                        return
                    sock.sendall(piece.replace(b"PORT", b"%d" % self.port))
        except OSError:
            pass
        finally:
            sock.close()


def receive(sock):
    data = sock.recv(1 << 20)
    if not data:
        raise OSError("closed")
    return data


def probe_path():
    return os.environ.get("HTTP_PROBE") or os.path.join(harness.repo_root(), "build", "tests",
                                                        "http_probe")


# Runs http_probe (in `cwd`); the replies it printed.
def probe(*args, env=None, cwd=None):
    done = subprocess.run([probe_path()] + [str(a) for a in args], capture_output=True, timeout=60,
                          cwd=cwd, env=dict(os.environ, **(env or {})))
    harness.check_sanitizers(done.stderr)
    replies, out = [], done.stdout
    while m := re.search(rb"@@ complete=(\d) head=(\d+) body=(\d+) cert=(\d+)\n", out):
        head, body, rest = int(m[2]), int(m[3]), out[m.end():]
        replies.append(Reply(out[:m.start()].decode(), m[1] == b"1", rest[:head],
                             rest[head:head + body], int(m[4])))
        out = rest[head + body + 1:]
    return replies


# A directory with `library` under every name the loader may pick for libssl.
def fake_libssl(folder, library):
    os.makedirs(folder)
    for name in ("libssl.so", "libssl.so.3", "libssl.so.1.1", "libssl.so.1.0.0"):
        shutil.copy(library, os.path.join(folder, name))
    return folder


def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, capture_output=True)


def make_certificates(folder):
    """A test CA (ca.pem) and a server certificate it signs (server.pem/.key), for localhost,
    *.s3.localhost and 127.0.0.1; self-signed ones nobody trusts: self.pem for those names, and
    partial.pem for a partial wildcard."""
    names = "subjectAltName=DNS:localhost,DNS:*.s3.localhost,IP:127.0.0.1"
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    for name, subject, extension in [("ca", "/CN=Kuvet Test CA", "basicConstraints=CA:TRUE"),
                                     ("self", "/CN=localhost", names),
                                     ("partial", "/CN=w.kuvet.localhost", "subjectAltName=DNS:w*.kuvet.localhost")]:
        openssl("req", "-x509", *key, "-keyout", name + ".key", "-out", name + ".pem", "-days", "2",
                "-subj", subject, "-addext", extension, cwd=folder)
    openssl("req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost", cwd=folder)
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write(names + "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "2", "-extfile", "server.ext", cwd=folder)


def server_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


class HttpTestCase(harness.KuvetTestCase):
    def server(self, answer, tls=None, pause=PAUSE):
        s = Server(answer, tls, pause)
        self.addCleanup(s.stop)
        return s

    def assertReply(self, reply, expect):
        # expect: the body of a complete reply, or how the error text starts
        if isinstance(expect, bytes):
            self.assertEqual((reply.said, reply.complete, reply.body), ("", True, expect))
        else:
            self.assertFalse(reply.complete, reply)
            self.assertTrue(reply.said.startswith(expect), reply)


OK = [b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"]
H = b"HTTP/1.1 200 OK\r\n"
CHUNKED = H + b"Transfer-Encoding: chunked\r\n\r\n"
CLOSED = "Error! Connection closed before the reply was complete"
STATUS = "Error! The reply's status line is malformed"
LENGTH = "Error! The reply's Content-Length is not a number"
CODING = "Error! The reply's Transfer-Encoding is not understood"
MEMORY = "Error! The reply's body is larger than the 100 bytes it may take in memory"
AWAY = "Error! Redirected to another place, not followed: "


def head_of(size):  # a reply head of exactly `size` bytes, its body ending with the connection
    return [H + b"X: " + b"y" * (size - 24) + b"\r\n\r\nz", CLOSE]


def moved(status, location):  # a redirect without a body
    return [b"HTTP/1.1 %s\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n" % (status, location)]


# The pieces a server sends for GET /row (every other request gets OK) ->
# the body, or the start of the error; the connections and requests the server
# saw, a GET /next on the same host following; more arguments of the probe.
REPLIES = [
    # Content-Length, with the connection kept for the next request
    ([H + b"Content-Length: 5\r\n\r\nhello"], b"hello", 1, 2),
    ([H + b"content-length:  5 \r\n\r\nhel", b"lo"], b"hello", 1, 2),
    ([H + b"Content-Length-Range: 9\r\nContent-Length: 2\r\n\r\nok"], b"ok", 1, 2),
    ([H + b"Content-Length: 2\r\nContent-Length: 2\r\n\r\nok"], b"ok", 1, 2),
    ([H + b"Content-Length: 0\r\n\r\n"], b"", 1, 2),
    ([H + b"Content-Length: 100\r\n\r\n" + b"x" * 100], b"x" * 100, 1, 2),
    ([H + b"Content-Length: 2\r\n\r\nok\r\n"], b"ok", 2, 2),
    ([H + b"Content-Length: 2\r\n\r\nokEXTRA"], "Error! The reply ran past its Content-Length", 2, 2),
    ([H + b"Content-Length: 2\r\nContent-Length: 3\r\n\r\nok"], LENGTH, 2, 2),
    ([H + b"Content-Length: -1\r\n\r\n"], LENGTH, 2, 2),
    ([H + b"Content-Length: 1000000000000000\r\n\r\n"], LENGTH, 2, 2),
    ([H + b"Content-Length: 101\r\n\r\n"], MEMORY, 2, 2),
    ([H + b"Content-Length: 10\r\n\r\nabc", CLOSE], CLOSED, 2, 2),
    # status lines and heads
    ([b"HTTP/1.1 404\r\nContent-Length: 2\r\n\r\nno"], b"no", 1, 2),
    ([b"HTTP/1.1 200OK\r\n\r\n"], STATUS, 2, 2),
    ([b"HTTP/1.1 099 Low\r\n\r\n"], STATUS, 2, 2),
    ([b"HTTP/1.1 600 High\r\n\r\n"], STATUS, 2, 2),
    ([b"HTTP/1.1 200 OK\nContent-Length: 2\r\n\r\nok"], STATUS, 2, 2),
    ([b"HTTP/1.1 200 OK\r\nContent-Length: 2\r", b"\n\r", b"\nok"], b"ok", 1, 2),
    (head_of(64 * 1024), b"z", 2, 2),
    (head_of(64 * 1024 + 1), "Error! The reply's head is longer than 64 KiB", 2, 2),
    ([b"HTTP/1.1 200 OK\r\nContent-", CLOSE], CLOSED, 2, 2),
    ([CLOSE], CLOSED, 3, 3),  # retried once on a new connection
    (OK + [CLOSE], b"ok", 2, 2),  # the next request finds the connection closed: retried
    # replies without a body, and interim ones
    ([b"HTTP/1.1 100 Continue\r\n\r\n" * 10 + OK[0]], b"ok", 1, 2),
    ([b"HTTP/1.1 100 Continue\r\n\r\n" * 11 + OK[0]], "Error! More than 10 interim replies", 2, 2),
    ([b"HTTP/1.1 101 Switching Protocols\r\n\r\n"], b"", 2, 2),
    ([b"HTTP/1.1 204 No Content\r\n\r\n"], b"", 1, 2),
    ([b"HTTP/1.1 204 No Content\r\n\r\nxx"], b"", 2, 2),
    ([b"HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n"], b"", 1, 2),
    ([H + b"Content-Length: 5\r\n\r\n"], b"", 1, 2, "-X", "HEAD"),
    # the end of the connection ends the body, and the connection
    ([H + b"\r\n", b"until ", b"closed", CLOSE], b"until closed", 2, 2),
    ([b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"], b"ok", 2, 2),
    ([b"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\nok"], b"ok", 1, 2),
    ([H + b"Connection: x, Close\r\nContent-Length: 2\r\n\r\nok"], b"ok", 2, 2),
    # chunks
    ([CHUNKED + b"5\r\nh\r\n\r\n\r\nA;x=1\r\n0123456789\r\n0\r\nX-Trailer: 1\r\n\r\n"],
     b"h\r\n\r\n0123456789", 1, 2),
    ([CHUNKED + b"3\r", b"\nab", b"c\r", b"\n0 \r\n\r", b"\n"], b"abc", 1, 2),
    ([H + b"Transfer-Encoding: Chunked\r\n\r\n000000010\r\n" + b"x" * 16 + b"\r\n0\r\n\r\n"],
     b"x" * 16, 1, 2),
    ([CHUNKED + b"0" * 4094 + b"1\r\nx\r\n0\r\n\r\n"], b"x", 1, 2),
    ([CHUNKED + b"0" * 4096 + b"\r\n"], "Error! A chunk size line longer than 4 KiB", 2, 2),
    ([CHUNKED + b"1000000000000000\r\n"], "Error! Bad chunk size line [1000000000000000]", 2, 2),
    ([CHUNKED + b"0x3\r\nabc\r\n0\r\n\r\n"], "Error! Bad chunk size line [0x3]", 2, 2),
    ([CHUNKED + b"\r\n"], "Error! Bad chunk size line []", 2, 2),
    ([CHUNKED + b"3\r\nabcXY"], "Error! A chunk's data is not followed by CRLF", 2, 2),
    ([CHUNKED + b"3\nabc"], "Error! A line of the chunked body does not end in CRLF", 2, 2),
    ([CHUNKED + b"0\r\nX: " + b"y" * 70000], "Error! The chunked body's trailer is longer", 2, 2),
    ([CHUNKED + b"64\r\n" + b"x" * 100 + b"\r\n0\r\n\r\n"], b"x" * 100, 1, 2),
    ([CHUNKED + b"65\r\n" + b"x" * 101 + b"\r\n0\r\n\r\n"], MEMORY, 2, 2),
    ([CHUNKED + b"0\r\n\r\nXX"], b"", 2, 2),
    ([H + b"Transfer-Encoding: chunked\r\nContent-Length: 9\r\n\r\n2\r\nok\r\n0\r\n\r\n"], b"ok", 2, 2),
    ([H + b"Transfer-Encoding: gzip, chunked\r\n\r\n"], CODING, 2, 2),
    ([b"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"], CODING, 2, 2),
    # downloads: a 2xx body goes to the file whole, any other stays in memory
    ([H + b"Content-Length: 300\r\n\r\n" + b"d" * 300], b"d" * 300, 1, 2, "-o", "out"),
    ([CHUNKED + b"3\r\nabc\r", b"\n0\r\n\r\n"], b"abc", 1, 2, "-o", "out"),
    ([b"HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nno"], b"", 1, 2, "-o", "out"),
    ([b"HTTP/1.1 204 No Content\r\n\r\n"], "Error! A 204 reply without a body", 1, 2, "-o", "out"),
    (OK, "Error! Could not write the reply to the download file", 2, 2, "-o", "/dev/full"),
    ([H + b"Content-Length: 9999\r\n\r\n" + b"d" * 9999], "Error! Could not write", 2, 2, "-o", "/dev/full"),
    # redirects: followed on the same scheme, host and port only
    (moved(b"301 Moved", b"/next"), b"ok", 1, 3),
    ([b"HTTP/1.1 302 Found\r\nLocation: /next\r\n\r\n", CLOSE], b"ok", 2, 3),
    (moved(b"307 Again", b"http://127.0.0.1:PORT/next"), b"ok", 1, 3),
    (moved(b"308 Moved", b"HTTP://127.0.0.1:PORT/next"), b"ok", 1, 3),
    (moved(b"303 See Other", b"/next"), b"", 1, 2),
    ([b"HTTP/1.1 301 Moved\r\nContent-Length: 0\r\n\r\n"], b"", 1, 2),
    (moved(b"301 Moved", b"/row"), "Error! Too many redirects.", 1, 12),
    (moved(b"302 Found", b"http://localhost:PORT/next"), AWAY + "http://localhost:", 1, 2),
    (moved(b"302 Found", b"https://127.0.0.1:PORT/next"), AWAY + "https://127.0.0.1:", 1, 2),
    (moved(b"302 Found", b"http://127.0.0.1:1/next"), AWAY + "http://127.0.0.1:1/next", 1, 2),
    (moved(b"302 Found", b"//127.0.0.1:PORT/next"), AWAY + "//127.0.0.1:", 1, 2),
]


class HttpTest(HttpTestCase):
    def test_replies(self):
        for pieces, expect, connections, requests, *args in REPLIES:
            with self.subTest(reply=pieces[0] and pieces[0][:80], args=args):
                s = self.server(lambda head, row=pieces: row if b" /row " in head else OK)
                got = probe(s.url("/row"), "--idle", "0.5", "--max-body", "100", *args,
                            "--next", s.url("/next"), cwd=self.dir)
                first = got[0]._replace(body=self.read("out")) if "out" in args else got[0]
                self.assertReply(first, expect)
                self.assertEqual(got[1][1:], (True, OK[0][:-2], b"ok", 0))
                self.assertEqual((s.connections, len(s.requests)), (connections, requests))

    def test_request_heads_and_uploads(self):
        s = self.server(lambda head: [b"HTTP/1.1 413 Too Large\r\n\r\n", CLOSE]
                        if b"/refused" in head else HOLD if b"/stall" in head else OK)
        data = bytes(i % 251 for i in range(200000))  # more than one block of the upload
        for name, content in [("f", data), ("empty", b""), ("big", b"u" * (32 << 20))]:
            self.write(name, content)
        # the path and arguments of a PUT -> the end of the request the server saw, or the error
        for path, args, expect in [
                ("/k?x=1", ["-u", "f", "-H", "X-A: 1", "-H", "X-B: 2"],
                 b"PUT /k?x=1 HTTP/1.1\r\nHost: xn--bcher-kva.localhost:%d\r\n"
                 b"User-Agent: Mozilla/5.0\r\nAccept: */*\r\nAccept-Language: *\r\n"
                 b"Connection: keep-alive\r\nContent-Length: 200000\r\nX-A: 1\r\nX-B: 2\r\n\r\n%s"
                 % (s.port, data)),
                ("/k", ["-u", "f", "--range", "1000", "150000"],
                 b"Length: 150000\r\n\r\n" + data[1000:151000]),
                ("/k", ["-u", "f", "--range", "199990", "-1"], b"Length: 10\r\n\r\n" + data[-10:]),
                ("/k", ["-u", "empty"], b"Length: 0\r\n\r\n"),
                ("/k", ["-u", "f", "--range", "100000", "100001"],
                 "Error! The upload file ended before its Content-Length of 100001 bytes"),
                ("/stall", ["-u", "big", "--idle", "0.3"], "Error! No reply for 0.3 s: http://b"),
                ("/refused", ["-u", "big"], "Error! ")]:  # the send fails, or the reply is cut off
            with self.subTest(path=path, args=args):
                s.requests.clear()
                reply = probe(s.url(path, host="b\xfccher.localhost"), "-X", "PUT", *args,
                              cwd=self.dir)[0]
                self.assertReply(reply, b"ok" if isinstance(expect, bytes) else expect)
                if isinstance(expect, bytes):
                    self.assertTrue(s.requests[0].endswith(expect), s.requests[0][:300])

    def test_pool_keeps_at_most_15_connections(self):
        s = self.server(lambda head: OK)
        hosts = ["h%d.LocalHost" % i for i in range(16)]
        # h0 used again does not become younger: the 16th host evicts it, not h1
        order = hosts[:15] + hosts[:1] + hosts[15:] + hosts[1:2] + hosts[:1] + ["LOCALHOST"]
        args = sum((["--next", s.url("/", host=h)] for h in order), [])[1:]
        self.assertEqual([r.complete for r in probe(*args)], [True] * len(order))
        self.assertEqual(s.connections, 18)
        self.assertIn(b"\r\nHost: h0.LocalHost:", s.requests[-2])

    def test_time_limits(self):
        silent = self.server(lambda head: HOLD)
        slow = self.server(lambda head: [H + b"Content-Length: 30\r\n\r\n"] + [b"x"] * 30,
                           pause=0.1)
        # a listener whose queue is full: the kernel drops the SYN of one more connection
        full = socket.create_server(("127.0.0.1", 0), backlog=0)
        self.addCleanup(full.close)
        for _ in range(3):
            filler = socket.socket()
            self.addCleanup(filler.close)
            filler.setblocking(False)
            filler.connect_ex(full.getsockname())
        time.sleep(0.2)  # for the fillers to be queued
        failed = "Address 0 failed: 127.0.0.1\nNo addresses worked for host 127.0.0.1:{port}.\n" \
                 "Failed to connect.\n"
        for port, args, said in [
                (silent.port, ["--idle", "0.3"], "Error! No reply for 0.3 s: {url}\n"),
                (slow.port, ["--low-speed", "1000", "0.3"],
                 "Error! Fewer than 1000 bytes/s for 0.3 s: {url}\n"),
                (harness.free_port(), [], failed),
                (full.getsockname()[1], ["--connect", "0.3"], failed)]:
            with self.subTest(args=args):
                url, started = "http://127.0.0.1:%d/" % port, time.monotonic()
                reply = probe(url, *args)[0]
                self.assertEqual((reply.said, reply.complete),
                                 (said.format(url=url, port=port), False))
                self.assertLess(time.monotonic() - started, 3)


class TlsTest(HttpTestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="kuvet-tls-")
        cls.addClassCleanup(shutil.rmtree, cls.certs, ignore_errors=True)
        make_certificates(cls.certs)  # partial.pem is trusted on its own

    def test_handshakes(self):
        big = b"".join(b"%07d\n" % i for i in range(1 << 17))  # 1 MiB
        lib = fake_libssl(self.path("lib"), os.path.join(os.path.dirname(probe_path()),
                                                         "libpartial_ssl.so"))
        stalled, plain = (socket.create_server(("127.0.0.1", 0)) for _ in range(2))
        self.addCleanup(stalled.close)
        self.addCleanup(plain.close)

        def answer_plainly():
            with plain.accept()[0] as conn:
                conn.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n")
        threading.Thread(target=answer_plainly, daemon=True).start()
        verify = "Error! TLS certificate verification failed for "
        handshake = "Error! TLS handshake with localhost failed: "
        # the server's certificate (or a plain listener), host, arguments -> the body, or the error
        for cert, host, args, expect in [
                ("server", "localhost", [], big),
                ("server", "127.0.0.1", [], big),
                ("self", "localhost", ["--no-verify"], big),
                ("server", "other.localhost", [], verify + "other.localhost: hostname mismatch\n"),
                ("self", "localhost", [], verify + "localhost: self-signed certificate\n"),
                ("partial", "www.kuvet.localhost", [],
                 verify + "www.kuvet.localhost: hostname mismatch\n"),
                (stalled, "localhost", ["--connect", "0.3"], handshake + "no answer within 0.3 s"),
                (plain, "localhost", ["--connect", "0.3"], handshake + "wrong version number"),
                ("server", "localhost", ["--lib"], "Error! Missing export(s) in libssl.so:\nSSL_")]:
            with self.subTest(cert=cert, host=host, args=args):
                names, s, pem = [], None, lambda name: os.path.join(self.certs, name + ".pem")
                if isinstance(cert, str):
                    context = server_context(pem(cert), pem(cert)[:-4] + ".key")
                    context.sni_callback = lambda sock, name, ctx: names.append(name)
                    # the reply comes late, after a receive has waited past its time slice
                    s = self.server(lambda head: [b"", H + b"Content-Length: %d\r\n\r\n%s"
                                                  % (len(big), big)], context, pause=0.2)
                url = "https://%s:%d/" % (host, s.port if s else cert.getsockname()[1])
                env = dict(SSL_CERT_FILE=pem("partial" if cert == "partial" else "ca"),
                           SSL_CERT_DIR=self.certs)
                if "--lib" in args:  # the libssl found lacks functions
                    env, args = dict(env, LD_LIBRARY_PATH=lib), []
                one = [url, "--idle", "0.5"] + args
                got = probe(*one, "--next", *one, "-o", "out", env=env, cwd=self.dir)
                self.assertReply(got[0], expect)
                if isinstance(expect, bytes):  # the second time on the same connection, to a file
                    self.assertReply(got[1]._replace(body=self.read("out")), expect)
                    self.assertEqual((s.connections, names, got[0].cert), (
                        1, [None if host[0] == "1" else host], os.path.getsize(pem(cert))))
                elif s:
                    self.assertEqual(s.requests, [])
