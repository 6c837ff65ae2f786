"""Scripted HTTP/1.1 servers for the HTTP client tests.

Each server listens on a free port of 127.0.0.1 (plain TCP, or TLS with a
certificate made by the openssl CLI), records the exact bytes of every
request, counts the connections it accepts, and answers with a script: a
function called once per accepted connection with a Connection object.
Standard library only; one thread per connection.
"""

import os
import socket
import ssl
import subprocess
import threading
import time

HOST = "127.0.0.1"
WAIT = 30  # seconds a script waits for the client before giving up


class Connection:
    """One accepted connection as a script sees it."""

    def __init__(self, server, sock):
        self.server = server
        self.sock = sock
        self.pending = b""

    def read_request(self):
        """Reads one request (head and Content-Length body) and records it.

        Returns the raw bytes, or None when the client closed first."""
        while b"\r\n\r\n" not in self.pending:
            data = self._recv()
            if not data:
                return None
            self.pending += data
        end = self.pending.index(b"\r\n\r\n") + 4
        head = self.pending[:end]
        length = 0
        for line in head.split(b"\r\n"):
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        while len(self.pending) < end + length:
            data = self._recv()
            if not data:
                break
            self.pending += data
        request = self.pending[:end + length]
        self.pending = self.pending[end + length:]
        self.server.record(request)
        return request

    def read_head(self):
        """Reads one request head only (the body is left to the script)."""
        while b"\r\n\r\n" not in self.pending:
            data = self._recv()
            if not data:
                return None
            self.pending += data
        end = self.pending.index(b"\r\n\r\n") + 4
        head, self.pending = self.pending[:end], self.pending[end:]
        return head

    def read_all(self, idle=1.0):
        """Reads until the client closes or sends nothing for `idle` seconds."""
        data, self.pending = self.pending, b""
        self.sock.settimeout(idle)
        try:
            while True:
                piece = self.sock.recv(65536)
                if not piece:
                    break
                data += piece
        except (socket.timeout, OSError):
            pass
        self.sock.settimeout(WAIT)
        return data

    def send(self, data, pause=0.0):
        """Sends bytes in one write; waits `pause` seconds afterwards."""
        if isinstance(data, str):
            data = data.encode()
        self.sock.sendall(data)
        if pause:
            time.sleep(pause)

    def wait_closed(self):
        """Waits (bounded) until the client closes or the server stops."""
        self.sock.settimeout(0.2)
        deadline = time.monotonic() + WAIT
        while not self.server.stopping.is_set() and time.monotonic() < deadline:
            try:
                if not self.sock.recv(65536):
                    return
            except socket.timeout:
                continue
            except OSError:
                return

    def _recv(self):
        try:
            return self.sock.recv(65536)
        except (socket.timeout, OSError):
            return b""


class Server:
    """A listening socket whose connections are served by `script(conn)`."""

    def __init__(self, script, tls=None):
        self.script = script
        self.tls = tls  # an ssl.SSLContext for the server side, or None
        self.requests = []
        self.connections = 0
        self.stopping = threading.Event()
        self._lock = threading.Lock()
        self._threads = []
        self._socks = []
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((HOST, 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self._acceptor = threading.Thread(target=self._accept, daemon=True)
        self._acceptor.start()

    def url(self, path="/", host=HOST, scheme=None):
        scheme = scheme or ("https" if self.tls else "http")
        return "%s://%s:%d%s" % (scheme, host, self.port, path)

    def record(self, request):
        with self._lock:
            self.requests.append(request)

    def _accept(self):
        while not self.stopping.is_set():
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            with self._lock:
                self.connections += 1
                self._socks.append(sock)
            thread = threading.Thread(target=self._serve, args=(sock,), daemon=True)
            self._threads.append(thread)
            thread.start()

    def _serve(self, sock):
        sock.settimeout(WAIT)
        try:
            if self.tls is not None:
                sock = self.tls.wrap_socket(sock, server_side=True)
                with self._lock:
                    self._socks.append(sock)
            self.script(Connection(self, sock))
        except (OSError, ssl.SSLError, ValueError):
            pass  # the client went away or refused the certificate
        finally:
            try:
                sock.close()
            except OSError:
                pass

    def stop(self):
        self.stopping.set()
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept()
        except OSError:
            pass
        self.listener.close()
        with self._lock:
            socks = list(self._socks)
        for sock in socks:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in self._threads:
            thread.join(timeout=5)
        self._acceptor.join(timeout=5)


# Scripts: each returns a function of one Connection.

def reply(status="200 OK", body=b"", headers=()):
    """Reply bytes with Content-Length."""
    head = "HTTP/1.1 %s\r\n" % status
    for h in headers:
        head += h + "\r\n"
    head += "Content-Length: %d\r\n" % len(body)
    return [head.encode() + b"\r\n" + body]


def keep_alive(answer, close_after=None, pause=0.05):
    """Serves requests on one connection while the client keeps it.

    `answer(request)` gives the list of writes for a reply (made with a short
    pause between them). `close_after` closes the connection after that many
    replies (a server ending a keep-alive connection)."""
    def script(conn):
        served = 0
        while True:
            request = conn.read_request()
            if request is None:
                return
            pieces = answer(request)
            for i, piece in enumerate(pieces):
                conn.send(piece, pause if i + 1 < len(pieces) else 0)
            served += 1
            if close_after is not None and served >= close_after:
                return
    return script


def fixed(status="200 OK", body=b"", headers=(), close_after=None):
    """The same reply to every request."""
    return keep_alive(lambda _: reply(status, body, headers), close_after)


def until_close(body):
    """A reply with neither length nor chunking, ended by closing."""
    def script(conn):
        if conn.read_request() is None:
            return
        conn.send(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", 0.1)
        for i in range(0, len(body), 1000):
            conn.send(body[i:i + 1000], 0.01)
    return script


def silent():
    """Reads the request and then says nothing."""
    def script(conn):
        if conn.read_request() is None:
            return
        conn.wait_closed()
    return script


def close_at(reply_bytes):
    """Reads the request, sends part of a reply and closes."""
    def script(conn):
        if conn.read_request() is None:
            return
        if reply_bytes:
            conn.send(reply_bytes, 0.2)
    return script


def upload_sink(head_seen=None, resume=None):
    """Reads a head, then the body it announces (or what comes before the
    client closes or goes quiet for 2 s), records both together and answers
    200 when the body was whole. With events: sets `head_seen` once the head
    is in, and reads no body until `resume` is set."""
    def script(conn):
        head = conn.read_head()
        if head is None:
            return
        if head_seen is not None:
            head_seen.set()
            resume.wait(WAIT)
        length = 0
        for line in head.split(b"\r\n"):
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        body = conn.pending
        conn.pending = b""
        conn.sock.settimeout(2.0)
        try:
            while len(body) < length:
                piece = conn.sock.recv(1 << 20)
                if not piece:
                    break
                body += piece
        except (socket.timeout, OSError):
            pass
        conn.server.record(head + body)
        if len(body) >= length:
            conn.send(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
            conn.read_all(idle=0.5)
    return script


# TLS certificates made with the openssl CLI.

def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_certificates(folder):
    """A CA and a server certificate for localhost signed by it, plus a
    self-signed one nobody trusts. Returns a dict of file paths."""
    days = "2"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
            "-out", "ca.pem", "-days", days, "-subj", "/CN=Test CA", cwd=folder)
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                "basicConstraints=CA:FALSE\n"
                "keyUsage=digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key",
            "-out", "server.csr", "-subj", "/CN=localhost", cwd=folder)
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.pem", "-days", days,
            "-extfile", "server.ext", cwd=folder)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "self.key",
            "-out", "self.pem", "-days", days, "-subj", "/CN=localhost",
            "-addext", "subjectAltName=DNS:localhost", cwd=folder)
    names = ("ca.pem", "server.pem", "server.key", "self.pem", "self.key")
    return {n: os.path.join(folder, n) for n in names}


def tls_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context
