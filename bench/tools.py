"""The tools under test and how each is asked to do a scenario's work.

Each tool turns a job (sync a folder up, sync a bucket down, put or get one
file) into a command line, a working folder and an environment. Each runs
with its usual defaults; only addresses, keys and private config files are
given. A tool's own state files are listed so the checks can leave them out.
"""

import base64
import email.utils
import hashlib
import hmac
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
    folders = True        # supports folder syncs (all but curl)

    def __init__(self, work):
        self.work = os.path.join(work, "config-" + self.name)
        os.makedirs(self.work, exist_ok=True)
        self.server = None

    def attach(self, server):
        """Points the tool at a freshly started store."""
        self.server = server

    def prepare_folder(self, folder, bucket):
        """Readies a folder to be synced with bucket (kuvet needs its .kuvet)."""

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

    def prepare_folder(self, folder, bucket):
        path = os.path.join(folder, ".kuvet")
        with open(path, "w") as f:
            json.dump({"kuvet_url": self.server.vhost_url(bucket),
                       "aws_id": store.ACCESS_ID, "aws_key": store.SECRET}, f)
        os.chmod(path, 0o600)

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

    def attach(self, server):
        super().attach(server)
        self.config = os.path.join(self.work, "s3cfg")
        address = "%s:%d" % (store.HOST, server.port)
        with open(self.config, "w") as f:
            f.write("[default]\naccess_key = %s\nsecret_key = %s\nhost_base = %s\n"
                    "host_bucket = %s\nuse_https = False\nbucket_location = us-east-1\n"
                    % (store.ACCESS_ID, store.SECRET, address, address))

    def version(self):
        return first_line([find("s3cmd"), "--version"])

    def _argv(self, *args):
        address = "%s:%d" % (store.HOST, self.server.port)
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
    name = "rclone"
    many_flags = []    # for folder syncs
    big_flags = []     # for one large file

    def env(self):
        env = base_env()   # also without AWS_CA_BUNDLE: rclone 1.60 refuses plain http with it
        config = os.path.join(self.work, "rclone.conf")
        open(config, "a").close()
        env.update({
            "RCLONE_CONFIG": config,
            "RCLONE_CONFIG_BENCH_TYPE": "s3",
            "RCLONE_CONFIG_BENCH_PROVIDER": "Other",
            "RCLONE_CONFIG_BENCH_ENDPOINT": self.server.endpoint,
            "RCLONE_CONFIG_BENCH_ACCESS_KEY_ID": store.ACCESS_ID,
            "RCLONE_CONFIG_BENCH_SECRET_ACCESS_KEY": store.SECRET,
            "RCLONE_CONFIG_BENCH_REGION": "us-east-1",
            "RCLONE_CONFIG_BENCH_FORCE_PATH_STYLE": "true",
        })
        return env

    def version(self):
        return first_line([find("rclone"), "version"])

    def sync_up(self, folder, bucket):
        return Job([find("rclone"), "sync"] + self.many_flags + [folder, "bench:" + bucket],
                   self.work, self.env())

    def sync_down(self, bucket, folder):
        return Job([find("rclone"), "sync"] + self.many_flags + ["bench:" + bucket, folder],
                   self.work, self.env())

    def put(self, path, bucket, key):
        return Job([find("rclone"), "copyto"] + self.many_flags + self.big_flags
                   + [path, "bench:%s/%s" % (bucket, key)], self.work, self.env())

    def get(self, bucket, key, path):
        return Job([find("rclone"), "copyto"] + self.many_flags + self.big_flags
                   + ["bench:%s/%s" % (bucket, key), path], self.work, self.env())


class RcloneSingle(Rclone):
    """rclone held to one connection at a time, like kuvet: one transfer, one
    checker, and for a large file no parallel parts or download streams."""
    name = "rclone-1"
    many_flags = ["--transfers", "1", "--checkers", "1"]
    big_flags = ["--s3-upload-concurrency", "1", "--multi-thread-streams", "0"]


class Aws(Tool):
    name = "aws"

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
        return [find("aws"), "--endpoint-url", self.server.endpoint, "s3"] + list(args)

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

    def version(self):
        return first_line([find("curl"), "--version"])

    def _signed(self, method, bucket, key):
        date = email.utils.formatdate(usegmt=True)
        text = "%s\n\n\n%s\n/%s/%s" % (method, date, bucket, key)
        signature = base64.b64encode(hmac.new(store.SECRET.encode(), text.encode(),
                                              hashlib.sha1).digest()).decode()
        return ["-H", "Date: " + date,
                "-H", "Authorization: AWS %s:%s" % (store.ACCESS_ID, signature)]

    def _url(self, bucket, key):
        return "%s/%s/%s" % (self.server.endpoint, bucket, key)

    def put(self, path, bucket, key):
        # -T streams the file; the empty Expect skips the 100-continue round trip.
        argv = [find("curl"), "-sS", "-f", "-T", path, "-H", "Expect:"]
        argv += self._signed("PUT", bucket, key) + [self._url(bucket, key)]
        return Job(argv, self.work, base_env())

    def get(self, bucket, key, path):
        argv = [find("curl"), "-sS", "-f", "-o", path]
        argv += self._signed("GET", bucket, key) + [self._url(bucket, key)]
        return Job(argv, self.work, base_env())


ALL = ("kuvet", "s3cmd", "rclone", "rclone-1", "aws", "curl")


def make(name, work, kuvet_binary, repo):
    if name == "kuvet":
        return Kuvet(work, kuvet_binary, repo)
    return {"s3cmd": S3cmd, "rclone": Rclone, "rclone-1": RcloneSingle,
            "aws": Aws, "curl": Curl}[name](work)
