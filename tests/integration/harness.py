"""Runs the built kuvet (env KUVET, else build/kuvet under KUVET_ROOT) in a temporary folder per test."""

import json
import os
import shutil
import socket
import subprocess
import tempfile
import unittest

RUN_TIMEOUT = 120  # seconds; only there to turn a hang into a failure


def repo_root():
    return os.environ.get("KUVET_ROOT") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def binary():
    return os.path.abspath(os.environ.get("KUVET") or os.path.join(repo_root(), "build", "kuvet"))


# A TCP port of 127.0.0.1 that nothing listens on right now.
def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Result:
    """What one run left: the status, and both streams as bytes."""

    def __init__(self, status, stdout, stderr):
        self.status, self.stdout, self.stderr = status, stdout, stderr
        self.out = stdout.decode("utf-8", "replace")
        self.lines = self.out.splitlines()

    def __repr__(self):
        return "Result(status=%r, stdout=%r, stderr=%r)" % (self.status, self.stdout[-2000:], self.stderr[-2000:])


# Fails on a sanitizer's report (its exit status may be the one a test expects).
def check_sanitizers(stderr):
    for report in (b"ERROR: AddressSanitizer", b"ERROR: LeakSanitizer", b"runtime error: ",
                   b"WARNING: ThreadSanitizer"):
        if report in stderr:
            raise AssertionError("kuvet ran into a sanitizer report:\n" + stderr.decode("utf-8", "replace")[-4000:])


class KuvetTestCase(unittest.TestCase):
    """Gives each test an empty temporary folder, self.dir, to run kuvet in."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kuvet-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def kuvet(self, *args, stdin=b"", cwd=None, preexec=None, timeout=RUN_TIMEOUT, env=None):
        """Runs kuvet without the user's AWS settings; env adds entries (None removes one); stdin is bytes or str."""
        full = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")} | (
            {"AWS_SHARED_CREDENTIALS_FILE": os.devnull, "AWS_CONFIG_FILE": os.devnull}) | (env or {})
        proc = subprocess.run([binary()] + [str(a) for a in args], cwd=cwd or self.dir, timeout=timeout,
                              env={k: v for k, v in full.items() if v is not None}, preexec_fn=preexec,
                              input=stdin.encode() if isinstance(stdin, str) else stdin, capture_output=True)
        check_sanitizers(proc.stderr)
        return Result(proc.returncode, proc.stdout, proc.stderr)

    def write(self, name, data, mode=0o644):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)
        os.chmod(self.path(name), mode)

    def write_config(self, config, folder="", **extra):
        """Writes folder's .kuvet, for its owner alone: the JSON of config plus extra members."""
        self.write(os.path.join(folder, ".kuvet"), json.dumps(dict(config, **extra)), 0o600)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    # Every entry below self.dir as a sorted relative path, folders ending in "/".
    def tree(self):
        return sorted(os.path.relpath(os.path.join(folder, name), self.dir) + "/" * (name in dirs)
                      for folder, dirs, files in os.walk(self.dir) for name in dirs + files)

    # Every entry below self.dir: its mode, time and bytes.
    def snapshot(self):
        return {p: (os.lstat(self.path(p)).st_mode, os.lstat(self.path(p)).st_mtime_ns, p.endswith("/") or self.read(p))
                for p in self.tree()}

    # Exact stdout (str) and status, with the whole result on failure.
    def assertOutput(self, result, stdout, status):
        self.assertEqual((result.out, result.status), (stdout, status), result)
