"""The local S3-compatible store for the benchmark: one s3rver process on a
free port of 127.0.0.1 with a fresh data folder and the buckets it was asked
to make. The bucket contents are read back straight from the data folder
(each object is KEY._S3rver_object there), so the checks need no tool.
"""

import base64
import email.utils
import hashlib
import hmac
import http.client
import os
import shutil
import socket
import subprocess
import tempfile
import time

import proxy

HOST = "127.0.0.1"
ACCESS_ID = "S3RVER"   # the one account s3rver knows
SECRET = "S3RVER"
OBJECT_SUFFIX = "._S3rver_object"


def signed_headers(method, bucket, key):
    """Date and Authorization headers for a path-style request (AWS signature
    version 2, no content type or MD5)."""
    date = email.utils.formatdate(usegmt=True)
    text = "%s\n\n\n%s\n/%s/%s" % (method, date, bucket, key)
    signature = base64.b64encode(hmac.new(SECRET.encode(), text.encode(), hashlib.sha1).digest())
    return {"Date": date, "Authorization": "AWS %s:%s" % (ACCESS_ID, signature.decode())}


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def node():
    for name in ("node", "nodejs"):
        found = shutil.which(name)
        if found:
            return found
    raise RuntimeError("no Node.js found to run s3rver")


class S3rver:
    """One s3rver process; stop() ends it and removes its data folder."""

    def __init__(self, repo, work, buckets):
        self.script = os.path.join(repo, "node_modules", "s3rver", "bin", "s3rver.js")
        self.work = work
        self.buckets = list(buckets)
        self.port = None
        self.data = None
        self.process = None
        self.log_path = None

    def start(self):
        if not os.path.isfile(self.script):
            raise RuntimeError("s3rver is not installed at %s (npm ci)" % self.script)
        self.data = tempfile.mkdtemp(prefix="s3rver-", dir=self.work)
        self.port = free_port()
        # s3rver makes ListObjectsV2 continuation tokens with DES, which
        # Node's OpenSSL 3 offers only through its legacy provider.
        command = [node(), "--openssl-legacy-provider", self.script,
                   "--address", HOST, "--port", str(self.port),
                   "--directory", self.data, "--service-endpoint", "localhost",
                   "--allow-mismatched-signatures", "--silent"]
        for bucket in self.buckets:
            command += ["--configure-bucket", bucket]
        self.log_path = self.data + ".log"
        log = open(self.log_path, "wb")
        self.process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)
        log.close()
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("s3rver exited at start:\n" + self.log())
            try:
                with socket.create_connection((HOST, self.port), timeout=1):
                    pass
                # The buckets are made after the port opens; wait for them too.
                if all(os.path.isdir(os.path.join(self.data, b)) for b in self.buckets):
                    return self
            except OSError:
                pass
            time.sleep(0.1)
        self.stop()
        raise RuntimeError("s3rver did not answer on port %d" % self.port)

    def stop(self):
        if self.process is not None:
            proxy.stop(self.process)
            self.process = None
        if self.data is not None:
            shutil.rmtree(self.data, ignore_errors=True)
            try:
                os.unlink(self.log_path)
            except OSError:
                pass
            self.data = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")[-4000:]
        except OSError:
            return ""

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def request(self, method, bucket, key, body=None):
        """One signed request straight to s3rver; (status, ETag header, body)."""
        connection = http.client.HTTPConnection(HOST, self.port, timeout=300)
        try:
            connection.request(method, "/%s/%s" % (bucket, key), body=body,
                               headers=signed_headers(method, bucket, key))
            reply = connection.getresponse()
            return reply.status, reply.getheader("ETag"), reply.read()
        finally:
            connection.close()

    # The bucket, read from the data folder.

    def objects(self, bucket):
        """{key: absolute path of the object's bytes} for every object in bucket."""
        root = os.path.join(self.data, bucket)
        found = {}
        for folder, _, files in os.walk(root):
            for name in files:
                if name.endswith(OBJECT_SUFFIX):
                    path = os.path.join(folder, name)
                    key = os.path.relpath(path[:-len(OBJECT_SUFFIX)], root)
                    found[key.replace(os.sep, "/")] = path
        return found

    def remove_object(self, bucket, key):
        """Deletes an object's files behind the server's back (between runs)."""
        base = os.path.join(self.data, bucket, *key.split("/"))
        for suffix in (OBJECT_SUFFIX, OBJECT_SUFFIX + ".md5", "._S3rver_metadata.json"):
            try:
                os.unlink(base + suffix)
            except FileNotFoundError:
                pass
