"""Shared pieces of the integration tests.

Runs the built kuvet binary (env KUVET, else build/kuvet under KUVET_ROOT) in
a temporary folder per test, and starts and stops local servers on free
ports of 127.0.0.1. Standard library only.
"""

import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

HOST = "127.0.0.1"
RUN_TIMEOUT = 120  # seconds; only there to turn a hang into a failure
START_TIMEOUT = 60


def repo_root():
    root = os.environ.get("KUVET_ROOT")
    if root:
        return root
    return os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def binary():
    """Absolute path of the kuvet binary under test."""
    path = os.environ.get("KUVET") or os.path.join(repo_root(), "build", "kuvet")
    path = os.path.abspath(path)
    if not os.access(path, os.X_OK):
        raise RuntimeError("kuvet binary not found at %s (set KUVET)" % path)
    return path


class Result:
    """What one run of a program left behind: bytes of both streams and the status."""

    def __init__(self, status, stdout, stderr):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr

    @property
    def out(self):
        return self.stdout.decode("utf-8", "replace")

    @property
    def lines(self):
        return self.out.splitlines()

    def __repr__(self):
        return "Result(status=%r, stdout=%r, stderr=%r)" % (
            self.status, self.stdout[-2000:], self.stderr[-2000:])


def run(args, cwd, stdin=None, env=None, timeout=RUN_TIMEOUT, umask=None):
    """Runs kuvet with args in cwd; stdin is bytes/str or None (then /dev/null)."""
    if isinstance(stdin, str):
        stdin = stdin.encode()
    preexec = None
    if umask is not None:
        preexec = lambda: os.umask(umask)  # noqa: E731
    proc = subprocess.run(
        [binary()] + [str(a) for a in args],
        cwd=cwd,
        input=stdin if stdin is not None else b"",
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        timeout=timeout,
        preexec_fn=preexec,
    )
    check_sanitizers(proc.stderr)
    return Result(proc.returncode, proc.stdout, proc.stderr)


# What the sanitizers print when they find a fault. Their exit status can
# equal the one a test expects, so their report is looked for instead.
SANITIZER_REPORTS = (b"ERROR: AddressSanitizer", b"ERROR: LeakSanitizer", b"runtime error: ",
                     b"WARNING: ThreadSanitizer")


def check_sanitizers(stderr):
    for report in SANITIZER_REPORTS:
        if report in stderr:
            raise AssertionError("kuvet ran into a sanitizer report:\n" +
                                 stderr.decode("utf-8", "replace")[-4000:])


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def port_open(port, host=HOST):
    try:
        with socket.create_connection((host, port), timeout=1):
            return True
    except OSError:
        return False


class Server:
    """A subprocess serving on host:port, started and stopped by the tests.

    Its output goes to a log file that is shown when it fails to start.
    Usable as a context manager.
    """

    def __init__(self, command, port, cwd=None, env=None, host=HOST):
        self.command = [str(c) for c in command]
        self.port = port
        self.host = host
        self.cwd = cwd
        self.env = env
        self.proc = None
        self._log = None

    def start(self, timeout=START_TIMEOUT):
        self._log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            self.command, cwd=self.cwd, env=self.env,
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while not port_open(self.port, self.host):
            problem = None
            if self.proc.poll() is not None:
                problem = "server exited with %s before listening" % self.proc.returncode
            elif time.monotonic() > deadline:
                problem = "server did not listen on port %d" % self.port
            if problem:
                output = self.log()
                self.stop()
                raise RuntimeError("%s: %s\n%s" % (problem, " ".join(self.command), output))
            time.sleep(0.05)
        return self

    def log(self):
        if self._log is None:
            return ""
        self._log.seek(0)
        return self._log.read().decode("utf-8", "replace")[-4000:]

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        if self._log is not None:
            self._log.close()
            self._log = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class KuvetTestCase(unittest.TestCase):
    """Gives each test an empty temporary folder (self.dir) to run kuvet in."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kuvet-test-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def kuvet(self, *args, stdin=None, cwd=None, umask=None, timeout=RUN_TIMEOUT, env=None):
        """Runs kuvet; env holds entries added to (or, when None, removed from)
        this process's environment, which is rid of the user's AWS settings."""
        full_env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
        full_env.update(AWS_SHARED_CREDENTIALS_FILE=os.devnull, AWS_CONFIG_FILE=os.devnull)
        for name, value in (env or {}).items():
            if value is None:
                full_env.pop(name, None)
            else:
                full_env[name] = value
        return run(args, cwd or self.dir, stdin=stdin, umask=umask, timeout=timeout,
                   env=full_env)

    def write_config(self, config, **extra):
        """Writes .kuvet as the JSON text of config (a dict) plus extra members."""
        members = dict(config)
        members.update(extra)
        self.write(".kuvet", json.dumps(members))
        os.chmod(self.path(".kuvet"), 0o600)

    def tree(self):
        """Every file and folder below self.dir, as sorted relative paths
        (folders end in "/")."""
        found = []
        for folder, dirs, files in os.walk(self.dir):
            relative = os.path.relpath(folder, self.dir)
            prefix = "" if relative == "." else relative + "/"
            found += [prefix + d + "/" for d in dirs]
            found += [prefix + f for f in files]
        return sorted(found)

    def write(self, name, data):
        if isinstance(data, str):
            data = data.encode()
        full = self.path(name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def start_server(self, command, port, cwd=None, env=None):
        """Starts a server that is stopped when the test ends."""
        server = Server(command, port, cwd=cwd, env=env).start()
        self.addCleanup(server.stop)
        return server

    def assertOutput(self, result, stdout, status):
        """Exact stdout (str or bytes) and status, with the whole result on failure."""
        if isinstance(stdout, str):
            stdout = stdout.encode()
        self.assertEqual((result.stdout, result.status), (stdout, status), result)
