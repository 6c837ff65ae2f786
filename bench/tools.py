"""The tools under test and how each is asked to do a scenario's work.

Each tool turns a job (sync a folder up, sync a bucket down, put or get one
file) into a command line, a working folder and an environment. Each runs
with its usual defaults; only addresses, keys and private config files are
given. A tool's own state files are listed so the checks can leave them out.
"""

import json
import os
import shutil
import subprocess

import store

ENV_DROP = ("AWS_", "RCLONE_")   # the caller's own store settings stay out


def find(name):
    """The Debian package's binary when there is one, else the first on PATH."""
    path = os.path.join("/usr/bin", name)
    return path if os.access(path, os.X_OK) else shutil.which(name)


def base_env():
    return {k: v for k, v in os.environ.items() if not k.startswith(ENV_DROP)}


def first_line(command):
    try:
        out = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=30).stdout.decode("utf-8", "replace")
        return out.strip().splitlines()[0] if out.strip() else "?"
    except (OSError, subprocess.SubprocessError):
        return "?"


class Job:
    """One command to time: argv, cwd and env."""

    def __init__(self, argv, cwd, env):
        self.argv, self.cwd, self.env = argv, cwd, env


class Tool:
    name = ""
    folder_state = ()     # file names in a synced folder that are the tool's own
    bucket_state = ()     # keys in the bucket that are the tool's own
    folders = True        # syncs folders (all but curl)
    files = True          # moves one large file
    huge = False          # moves one file over 5 GB

    def __init__(self, work):
        self.work = os.path.join(work, "config-" + self.name)
        os.makedirs(self.work, exist_ok=True)
        self.port = None

    def attach(self, port):
        """Points the tool at a store on 127.0.0.1:port (s3rver or a proxy)."""
        self.port = port

    @property
    def endpoint(self):
        """Path-style endpoint for the peers: http://127.0.0.1:PORT."""
        return "http://%s:%d" % (store.HOST, self.port)

    def prepare_folder(self, folder, bucket):
        """Binds a folder to bucket while both are still empty (kuvet needs
        its .kuvet, a two-way peer its first run); the setup jobs to run."""
        return []

    def version(self):
        return "?"

    # Jobs; each returns a Job.
    def sync_up(self, folder, bucket):
        raise NotImplementedError

    def sync_down(self, bucket, folder):
        raise NotImplementedError

    def put(self, path, bucket, key):
        raise NotImplementedError

    def get(self, bucket, key, path):
        raise NotImplementedError


class Kuvet(Tool):
    name = "kuvet"
    folder_state = (".kuvet", ".kuvet-synced", "_revision")
    bucket_state = (".manifest", "_revision")

    def __init__(self, work, binary, repo):
        super().__init__(work)
        self.binary = binary
        self.repo = repo

    def version(self):
        commit = first_line(["git", "-C", self.repo, "rev-parse", "--short", "HEAD"])
        return "kuvet 1.0 (Release build of commit %s)" % commit

    huge = True

    def url(self, bucket):
        """The virtual-hosted bucket URL kuvet wants."""
        return "http://%s.s3.localhost:%d/" % (bucket, self.port)

    def prepare_folder(self, folder, bucket):
        path = os.path.join(folder, ".kuvet")
        with open(path, "w") as f:
            json.dump({"kuvet_url": self.url(bucket),
                       "aws_id": store.ACCESS_ID, "aws_key": store.SECRET}, f)
        os.chmod(path, 0o600)
        return []

    def sync_up(self, folder, bucket):
        return Job([self.binary, "sync"], folder, base_env())

    def sync_down(self, bucket, folder):
        return Job([self.binary, "sync"], folder, base_env())

    def put(self, path, bucket, key):
        folder = os.path.dirname(path)
        self.prepare_folder(folder, bucket)
        return Job([self.binary, "put", key], folder, base_env())

    def get(self, bucket, key, path):
        folder = os.path.dirname(path)
        self.prepare_folder(folder, bucket)
        return Job([self.binary, "get", key], folder, base_env())


class S3cmd(Tool):
    name = "s3cmd"

    def attach(self, port):
        super().attach(port)
        self.config = os.path.join(self.work, "s3cfg")
        address = "%s:%d" % (store.HOST, port)
        with open(self.config, "w") as f:
            f.write("[default]\naccess_key = %s\nsecret_key = %s\nhost_base = %s\n"
                    "host_bucket = %s\nuse_https = False\nbucket_location = us-east-1\n"
                    % (store.ACCESS_ID, store.SECRET, address, address))

    def version(self):
        return first_line([find("s3cmd"), "--version"])

    def _argv(self, *args):
        address = "%s:%d" % (store.HOST, self.port)
        return [find("s3cmd"), "-c", self.config, "--host=" + address,
                "--host-bucket=" + address, "--no-ssl", "--access_key=" + store.ACCESS_ID,
                "--secret_key=" + store.SECRET] + list(args)

    def sync_up(self, folder, bucket):
        return Job(self._argv("sync", folder.rstrip("/") + "/", "s3://%s/" % bucket),
                   self.work, base_env())

    def sync_down(self, bucket, folder):
        return Job(self._argv("sync", "s3://%s/" % bucket, folder.rstrip("/") + "/"),
                   self.work, base_env())

    def put(self, path, bucket, key):
        return Job(self._argv("put", path, "s3://%s/%s" % (bucket, key)), self.work, base_env())

    def get(self, bucket, key, path):
        return Job(self._argv("get", "s3://%s/%s" % (bucket, key), path), self.work, base_env())


class Rclone(Tool):
    """rclone sync and copyto; subclasses set the number of transfers."""
    flags = []

    def env(self):
        env = base_env()   # also without AWS_CA_BUNDLE: rclone 1.60 refuses plain http with it
        config = os.path.join(self.work, "rclone.conf")
        open(config, "a").close()
        env.update({
            "RCLONE_CONFIG": config,
            "RCLONE_CONFIG_BENCH_TYPE": "s3",
            "RCLONE_CONFIG_BENCH_PROVIDER": "Other",
            "RCLONE_CONFIG_BENCH_ENDPOINT": self.endpoint,
            "RCLONE_CONFIG_BENCH_ACCESS_KEY_ID": store.ACCESS_ID,
            "RCLONE_CONFIG_BENCH_SECRET_ACCESS_KEY": store.SECRET,
            "RCLONE_CONFIG_BENCH_REGION": "us-east-1",
            "RCLONE_CONFIG_BENCH_FORCE_PATH_STYLE": "true",
        })
        return env

    def version(self):
        return first_line([find("rclone"), "version"])

    def _job(self, *args):
        return Job([find("rclone")] + list(args) + self.flags, self.work, self.env())

    def sync_up(self, folder, bucket):
        return self._job("sync", folder, "bench:" + bucket)

    def sync_down(self, bucket, folder):
        return self._job("sync", "bench:" + bucket, folder)

    def put(self, path, bucket, key):
        return self._job("copyto", path, "bench:%s/%s" % (bucket, key))

    def get(self, bucket, key, path):
        return self._job("copyto", "bench:%s/%s" % (bucket, key), path)


class Rclone16(Rclone):
    name = "rclone-16"
    flags = ["--transfers", "16"]
    files = False      # the same as rclone-4 for one file


class Rclone4(Rclone):
    """rclone's defaults, spelt out."""
    name = "rclone-4"
    flags = ["--transfers", "4"]
    huge = True


class Bisync(Rclone):
    """rclone bisync, the two-way peer, with rclone's defaults. It refuses an
    empty side and needs one run with --resync to start: each folder and its
    bucket get the marker file RCLONE_TEST (bisync's own check file) with a
    fixed time, then a --resync run, before the timed runs."""
    name = "bisync"
    folder_state = ("RCLONE_TEST",)
    bucket_state = ("RCLONE_TEST",)
    files = False
    MARKER_TIME = 1700000000

    def _bisync(self, folder, bucket, *extra):
        return self._job("bisync", folder, "bench:" + bucket,
                         "--workdir", os.path.join(self.work, "bisync"), *extra)

    def prepare_folder(self, folder, bucket):
        marker = os.path.join(folder, "RCLONE_TEST")
        with open(marker, "w") as f:
            f.write("bisync marker\n")
        os.utime(marker, (self.MARKER_TIME, self.MARKER_TIME))
        return [self._bisync(folder, bucket, "--resync")]

    def sync_up(self, folder, bucket):
        return self._bisync(folder, bucket)

    def sync_down(self, bucket, folder):
        return self._bisync(folder, bucket)


class Aws(Tool):
    name = "aws"
    huge = True

    def env(self):
        env = base_env()
        env.update({
            "AWS_ACCESS_KEY_ID": store.ACCESS_ID,
            "AWS_SECRET_ACCESS_KEY": store.SECRET,
            "AWS_DEFAULT_REGION": "us-east-1",
            "AWS_CONFIG_FILE": os.path.join(self.work, "config"),
            "AWS_SHARED_CREDENTIALS_FILE": os.path.join(self.work, "credentials"),
            "AWS_EC2_METADATA_DISABLED": "true",
            "AWS_PAGER": "",
        })
        return env

    def version(self):
        return first_line([find("aws"), "--version"])

    def _argv(self, *args):
        return [find("aws"), "--endpoint-url", self.endpoint, "s3"] + list(args)

    def sync_up(self, folder, bucket):
        return Job(self._argv("sync", folder, "s3://%s/" % bucket), self.work, self.env())

    def sync_down(self, bucket, folder):
        return Job(self._argv("sync", "s3://%s/" % bucket, folder), self.work, self.env())

    def put(self, path, bucket, key):
        return Job(self._argv("cp", path, "s3://%s/%s" % (bucket, key)), self.work, self.env())

    def get(self, bucket, key, path):
        return Job(self._argv("cp", "s3://%s/%s" % (bucket, key), path), self.work, self.env())


class Curl(Tool):
    """Plain HTTP PUT and GET of one object, signed by hand (AWS signature
    version 2): the practical limit of the store and the loopback."""
    name = "curl"
    folders = False
    huge = True

    def version(self):
        return first_line([find("curl"), "--version"])

    def _signed(self, method, bucket, key):
        headers = store.signed_headers(method, bucket, key)
        return [arg for name, value in headers.items() for arg in ("-H", "%s: %s" % (name, value))]

    def _url(self, bucket, key):
        return "%s/%s/%s" % (self.endpoint, bucket, key)

    def put(self, path, bucket, key):
        # -T streams the file; the empty Expect skips the 100-continue round trip.
        argv = [find("curl"), "-sS", "-f", "-T", path, "-H", "Expect:"]
        argv += self._signed("PUT", bucket, key) + [self._url(bucket, key)]
        return Job(argv, self.work, base_env())

    def get(self, bucket, key, path):
        argv = [find("curl"), "-sS", "-f", "-o", path]
        argv += self._signed("GET", bucket, key) + [self._url(bucket, key)]
        return Job(argv, self.work, base_env())


ALL = ("kuvet", "rclone-16", "rclone-4", "aws", "s3cmd", "bisync", "curl")


def make(name, work, kuvet_binary, repo):
    if name == "kuvet":
        return Kuvet(work, kuvet_binary, repo)
    return {"s3cmd": S3cmd, "rclone-16": Rclone16, "rclone-4": Rclone4, "bisync": Bisync,
            "aws": Aws, "curl": Curl}[name](work)
