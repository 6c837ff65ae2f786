"""The local S3-compatible store s3rver (npm, pinned in package-lock.json),
started on a free port of 127.0.0.1 with a temporary data folder.

It answers virtual-hosted requests for http(s)://BUCKET.s3.localhost:PORT/:
with --service-endpoint localhost it takes a host of the form
[BUCKET.]s3[-website][-REGION or .REGION].localhost and maps BUCKET to the
bucket, so BUCKET.localhost would not do (that names a bucket called
"BUCKET.localhost"). Its own signature check leaves the date out of the
string it signs, so it runs with --allow-mismatched-signatures; it still
wants the access id "S3RVER" and a Date within 15 minutes.

Objects can be read and written here without the tool: straight from the
data folder, or over HTTP with a correct signature.

Also makes the TLS certificates for the stores: a CA (trusted through
SSL_CERT_FILE) and a server certificate for localhost, *.s3.localhost and
127.0.0.1.
"""

import http.client
import os
import shutil
import ssl
import subprocess
import tempfile

import harness
import strict_store

ACCESS_ID = "S3RVER"      # the one account s3rver knows
SECRET = "S3RVER"
SUFFIX = "._S3rver_object"


def s3rver_script():
    """Path of s3rver's command-line script under node_modules."""
    path = os.path.join(harness.repo_root(), "node_modules", "s3rver", "bin", "s3rver.js")
    if not os.path.isfile(path):
        raise RuntimeError("s3rver is not installed at %s (run npm ci in the repository root, "
                           "or scripts/install-deps.sh)" % path)
    return path


def node():
    for name in ("node", "nodejs"):
        found = shutil.which(name)
        if found:
            return found
    raise RuntimeError("no Node.js found to run s3rver (scripts/install-deps.sh installs it)")


class S3rver:
    """One s3rver process and its data folder.

    buckets: the buckets made at start. tls: (cert path, key path) to serve
    https, or None. Usable as a context manager; stop() removes the data.
    """

    def __init__(self, buckets=("kuvet",), tls=None):
        self.buckets = list(buckets)
        self.tls = tls
        self.port = None
        self.data = None
        self.server = None

    def start(self):
        self.data = tempfile.mkdtemp(prefix="kuvet-s3rver-")
        self.port = harness.free_port()
        command = [node(), s3rver_script(), "--directory", self.data,
                   "--address", harness.HOST, "--port", str(self.port),
                   "--service-endpoint", "localhost", "--allow-mismatched-signatures"]
        for bucket in self.buckets:
            command += ["--configure-bucket", bucket]
        if self.tls:
            command += ["--cert", self.tls[0], "--key", self.tls[1]]
        self.server = harness.Server(command, self.port)
        try:
            self.server.start()
        except Exception:
            shutil.rmtree(self.data, ignore_errors=True)
            raise
        return self

    def stop(self):
        if self.server is not None:
            self.server.stop()
            self.server = None
        if self.data is not None:
            shutil.rmtree(self.data, ignore_errors=True)
            self.data = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def log(self):
        return self.server.log() if self.server else ""

    # Addresses.

    @property
    def scheme(self):
        return "https" if self.tls else "http"

    def host(self, bucket="kuvet"):
        return "%s.s3.localhost" % bucket

    def url(self, bucket="kuvet", path_style=False):
        """The virtual-hosted store URL, e.g. http://kuvet.s3.localhost:PORT/,
        or the path-style one, e.g. http://127.0.0.1:PORT/kuvet/."""
        if path_style:
            return "%s://%s:%d/%s/" % (self.scheme, harness.HOST, self.port, bucket)
        return "%s://%s:%d/" % (self.scheme, self.host(bucket), self.port)

    def config(self, bucket="kuvet", path_style=False, region=None):
        """The .kuvet members for this store: kuvet_url, aws_id, aws_key, and
        region when given (s3rver takes any)."""
        config = {"kuvet_url": self.url(bucket, path_style), "aws_id": ACCESS_ID,
                  "aws_key": SECRET}
        if region is not None:
            config["region"] = region
        return config

    # The data folder, read without the tool or the server.

    def object_path(self, key, bucket="kuvet"):
        """Where s3rver keeps an object's bytes (whether or not it exists)."""
        folders = key.split("/")
        name = folders.pop() + SUFFIX
        return os.path.join(self.data, bucket, *folders, name)

    def read(self, key, bucket="kuvet"):
        """An object's bytes from the data folder, or None when it is absent."""
        try:
            with open(self.object_path(key, bucket), "rb") as f:
                return f.read()
        except (FileNotFoundError, NotADirectoryError):
            return None

    def keys(self, bucket="kuvet"):
        """The keys of the objects in a bucket, sorted."""
        root = os.path.join(self.data, bucket)
        found = []
        for folder, _, files in os.walk(root):
            for name in files:
                if name.endswith(SUFFIX):
                    relative = os.path.relpath(os.path.join(folder, name[:-len(SUFFIX)]), root)
                    found.append(relative.replace(os.sep, "/"))
        return sorted(found)

    # Requests of our own, signed correctly, to seed or check the store.

    def connect(self, cafile=None):
        """A new connection to the server (https when it serves TLS)."""
        if self.tls:
            context = ssl.create_default_context(cafile=cafile)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE if cafile is None else ssl.CERT_REQUIRED
            return http.client.HTTPSConnection(harness.HOST, self.port, timeout=60,
                                               context=context)
        return http.client.HTTPConnection(harness.HOST, self.port, timeout=60)

    def request(self, method, key, body=None, bucket="kuvet", headers=None, cafile=None,
                query="", conn=None):
        """(status, header dict with lower-case names, body bytes). query is
        sent after "?" unsigned; conn, when given, is used and left open."""
        own = conn is None
        if own:
            conn = self.connect(cafile)
        path = "/" + strict_store.encode_key(key)
        sent = [("Host", "%s:%d" % (self.host(bucket), self.port)),
                ("Date", strict_store.http_date())]
        sent += list((headers or {}).items())
        text = strict_store.string_to_sign(method, sent, "/%s%s" % (bucket, path))
        sent.append(("Authorization", "AWS %s:%s" % (ACCESS_ID, strict_store.sign(SECRET, text))))
        try:
            target = path + ("?" + query if query else "")
            conn.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
            for name, value in sent:
                conn.putheader(name, value)
            if body is not None:
                conn.putheader("Content-Length", str(len(body)))
            conn.endheaders(body)
            reply = conn.getresponse()
            data = reply.read()
            return reply.status, {k.lower(): v for k, v in reply.getheaders()}, data
        finally:
            if own:
                conn.close()

    def put_many(self, objects, bucket="kuvet"):
        """Uploads (key, data) pairs over one kept-alive connection."""
        conn = self.connect()
        try:
            for key, data in objects:
                if isinstance(data, str):
                    data = data.encode()
                status, _, body = self.request("PUT", key, data, bucket, conn=conn)
                if status != 200:
                    raise RuntimeError("s3rver refused PUT %s: %d %r" % (key, status, body))
        finally:
            conn.close()

    def put(self, key, data, bucket="kuvet"):
        if isinstance(data, str):
            data = data.encode()
        status, _, body = self.request("PUT", key, data, bucket)
        if status != 200:
            raise RuntimeError("s3rver refused PUT %s: %d %r" % (key, status, body))

    def fetch(self, key, bucket="kuvet"):
        """An object's bytes over HTTP, or None when the store answers 404."""
        status, _, body = self.request("GET", key, bucket=bucket)
        if status == 404:
            return None
        if status != 200:
            raise RuntimeError("s3rver refused GET %s: %d %r" % (key, status, body))
        return body

    def delete(self, key, bucket="kuvet"):
        self.request("DELETE", key, bucket=bucket)

    def clear(self):
        """Deletes every object of every bucket through the server."""
        for bucket in self.buckets:
            for key in self.keys(bucket):
                self.delete(key, bucket)


# TLS certificates, made with the openssl CLI.

def openssl(*args, cwd):
    result = subprocess.run(["openssl"] + list(args), cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (" ".join(args), result.stdout.decode()))


def make_certificates(folder):
    """A test CA and a server certificate it signs for localhost,
    *.s3.localhost and 127.0.0.1, plus a self-signed certificate for the
    same names that nobody trusts. Returns a dict of file paths: ca.pem,
    server.pem, server.key, self.pem, self.key."""
    days = "2"
    names = "subjectAltName=DNS:localhost,DNS:*.s3.localhost,IP:127.0.0.1"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
            "-out", "ca.pem", "-days", days, "-subj", "/CN=Kuvet Test Store CA", cwd=folder)
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write(names + "\n"
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
            "-addext", names, cwd=folder)
    files = ("ca.pem", "server.pem", "server.key", "self.pem", "self.key")
    return {name: os.path.join(folder, name) for name in files}


def trust_env(certs):
    """Environment entries that make OpenSSL trust the test CA alone."""
    return {"SSL_CERT_FILE": certs["ca.pem"], "SSL_CERT_DIR": os.path.dirname(certs["ca.pem"])}


def server_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context
