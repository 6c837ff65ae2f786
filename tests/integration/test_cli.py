"""The command line: usage, help and misuse, init, the .kuvet checks, the
folder found from a subfolder, paths as keys, credentials, dry runs."""

import datetime
import errno
import hashlib
import json
import os
import stat
import unittest

import harness
import strict_store

USAGE = (b"USAGE:\n"
         b"\tkuvet - show this message\n"
         b"\tkuvet init - initialize .kuvet file\n"
         b"\tkuvet list - list kuvet contents\n"
         b"\tkuvet sync - sync current folder with kuvet\n"
         b"\tkuvet del [kuvet path] - delete from kuvet\n"
         b"\tkuvet get [kuvet path] - download from kuvet\n"
         b"\tkuvet put [local path] - upload to kuvet\n"
         b"\n")

TEMPLATE = b'{"kuvet_url":"","aws_id":"","aws_key":""}'

INIT_NOTE = ("Created .kuvet file. Please edit the file to configure.\n"
             "Note that kuvet_url should be the full URL with trailing slash like:\n"
             "https://[kuvet].s3.eu-central-1.amazonaws.com/\n"
             "aws_id and aws_key may stay empty: kuvet then takes AWS_ACCESS_KEY_ID and\n"
             "AWS_SECRET_ACCESS_KEY, or a profile of ~/.aws/credentials (see kuvet --help).\n")

MISSING = "Missing .kuvet file.\n"


class CliTest(harness.KuvetTestCase):

    def assertRun(self, args, stdout, status, stderr="", **options):
        result = self.kuvet(*args, **options)
        self.assertOutput(result, stdout, status)
        self.assertEqual(result.stderr, stderr.encode(), result)
        return result


class UsageTest(CliTest):

    def test_usage_without_kuvet_file(self):
        self.assertRun([], USAGE, 0)
        self.assertEqual(os.listdir(self.dir), [])

    def test_usage_ignores_a_broken_kuvet_file(self):
        self.write(".kuvet", "not json")
        self.assertRun([], USAGE, 0)

    def test_help_and_version_need_no_kuvet_file(self):
        help_text = self.kuvet("--help").stdout
        self.assertIn(b"\nExit status: 0 on success, 1 when anything failed, 2 when", help_text)
        for args in (["-h"], ["put", "a", "b", "--bogus", "--help"]):
            self.assertRun(args, help_text, 0)
        self.assertRun(["--version"], "kuvet 1.0\n", 0)
        self.assertEqual(os.listdir(self.dir), [])

    def test_misuse_is_named_before_anything_is_read(self):
        self.write(".kuvet", "not json")
        for args, line in ((["sync", "--dry-runs"], "unknown option '--dry-runs'"),
                           (["put", "b.txt", "c.txt"], "extra operand 'c.txt'"), (["get"], "get needs a path")):
            self.assertRun(args, "", 2, "kuvet: %s\nTry 'kuvet --help'.\n" % line)


class InitTest(CliTest):

    def test_init_writes_the_template(self):
        self.assertRun(["init"], INIT_NOTE, 0)
        self.assertEqual(self.read(".kuvet"), TEMPLATE)

    def test_init_file_is_private_whatever_the_umask(self):
        for umask in (0o000, 0o022, 0o277):
            with self.subTest(umask=oct(umask)):
                result = self.kuvet("init", umask=umask)
                self.assertOutput(result, INIT_NOTE, 0)
                mode = stat.S_IMODE(os.stat(self.path(".kuvet")).st_mode)
                self.assertEqual(oct(mode), oct(0o600))
                self.assertEqual(self.read(".kuvet"), TEMPLATE)
                os.remove(self.path(".kuvet"))

    def test_init_twice_leaves_the_file_alone(self):
        self.assertRun(["init"], INIT_NOTE, 0)
        edited = b'{"kuvet_url":"https://x.localhost/","aws_id":"a","aws_key":"b"}'
        self.write(".kuvet", edited)
        os.chmod(self.path(".kuvet"), 0o640)
        self.assertRun(["init"], "Error! A .kuvet file already exists.\n", 1)
        self.assertEqual(self.read(".kuvet"), edited)
        self.assertEqual(stat.S_IMODE(os.stat(self.path(".kuvet")).st_mode), 0o640)


class KuvetDirectoryTest(CliTest):
    """A directory named .kuvet is neither a configuration nor replaceable."""

    def setUp(self):
        super().setUp()
        os.mkdir(self.path(".kuvet"))

    def test_init_reports_the_failure(self):
        message = "Error! Could not write .kuvet: %s\n" % os.strerror(errno.EEXIST)
        self.assertRun(["init"], message, 1)
        self.assertTrue(os.path.isdir(self.path(".kuvet")))
        self.assertEqual(os.listdir(self.path(".kuvet")), [])

    def test_other_commands_miss_the_file(self):
        for args in (["list"], ["sync"], ["get", "a"], ["put", "a"], ["del", "a"]):
            with self.subTest(args=args):
                self.assertRun(args, MISSING, 1)


class StoreCliTest(strict_store.PerClass, CliTest):

    @classmethod
    def new_store(cls):
        return strict_store.StrictStore(credentials={"kuvet-id": "kuvet-secret", "tmp": "tmp-secret"},
                                        tokens={"tmp": "tmp-token"})

    def setUp(self):
        super().setUp()
        self.write_config(self.store.config())

    def test_an_unusable_kuvet_file_is_refused_before_any_request(self):
        url, json_error = self.store.url(path_style=True), ".kuvet is not a valid JSON object: "
        cases = [("", json_error + "empty file"),
                 ("kuvet_url = x", json_error + "Unexpected character 'k' at line 1 column 1."),
                 ('"https://x.localhost/"', json_error + "not an object"),
                 ('{"kuvet_url":"x",', json_error + "Incomplete array or object value."),
                 ('{"kuvet_url":"","aws_id":"","aws_key":""}', ".kuvet still needs editing: set "
                  "kuvet_url to the bucket's URL, such as https://BUCKET.s3.REGION.amazonaws.com/"),
                 ('{"kuvet_url":"%s"}' % url, "No credentials: give aws_id and aws_key in .kuvet, set "
                  "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or add a [default] profile to /dev/null.")]
        for bad in (url[:-1], "ftp://x.localhost/", "http:///", url + "?a/", 5):
            cases.append(('{"kuvet_url":%s,"aws_id":"i","aws_key":"k"}' % json.dumps(bad),
                          '.kuvet: kuvet_url %s must be an http:// or https:// URL ending in "/", such as '
                          'https://BUCKET.s3.REGION.amazonaws.com/ or http://HOST:PORT/BUCKET/' % json.dumps(bad)))
        for text, problem in cases:
            self.write(".kuvet", text)
            os.chmod(self.path(".kuvet"), 0o644)
            for args in (["list"], ["sync"], ["get", "a"], ["put", "a"], ["del", "a"]):
                with self.subTest(text=text, args=args):
                    self.assertRun(args, "Error! %s\n" % problem, 1, "Warning! .kuvet is readable by "
                                   "others (mode 0644): chmod 600 .kuvet\n")
        self.assertEqual((self.store.log(), sorted(os.listdir(self.dir))), ([], [".kuvet"]))


    def test_paths_typed_anywhere_in_the_folder_become_its_keys(self):
        for name in ("f.txt", "d/g.txt", "docs/notes.txt", "docs/x.tmp"):
            self.write(name, name)
        self.write(".kuvetignore", "*.tmp\n")
        docs = self.path("docs")
        for path in ("notes.txt", "./../f.txt", "..//d/./g.txt", self.path("docs", "x.tmp")):
            self.assertRun(["put", path], "", 0, "" if path[0] != "/" else
                           "Warning! .kuvetignore ignores docs/x.tmp; going ahead since it was named.\n",
                           cwd=docs)
        self.assertEqual(self.store.keys(), ["d/g.txt", "docs/notes.txt", "docs/x.tmp", "f.txt"])
        for path, why in (("../..", "is outside the synced folder " + self.dir), (".env", "is hidden, "
                          "and hidden files are never synced"), ("..", "names the synced folder itself, not a file")):
            self.assertRun(["put", path], "Error! '%s' %s.\n" % (path, why), 1, cwd=docs)
        # get makes the missing folders and gives the file the object's time.
        self.store.put("docs/a/b/c.txt", b"c")
        self.store.buckets["kuvet"]["docs/a/b/c.txt"].mtime -= datetime.timedelta(days=3)
        self.assertRun(["get", "-v", "a/b/c.txt"], "", 0, cwd=docs, stderr=(
            "GET %s%s 200\n" % (self.store.url(), strict_store.encode_key("docs/a/b/c.txt"))))
        self.assertEqual(os.stat(self.path("docs/a/b/c.txt")).st_mtime,
                         int(self.store.buckets["kuvet"]["docs/a/b/c.txt"].mtime.timestamp()))

    def snapshot(self):
        """The folder's paths, bytes and times, the store's objects and what was asked of it but reads."""
        files = [(p, os.stat(self.path(p)).st_mtime_ns, p.endswith("/") or self.read(p))
                 for p in self.tree()]
        return (hashlib.sha256(repr(files).encode()).hexdigest(), self.store.keys(),
                [r for r in self.store.log() if r.method not in ("GET", "HEAD")])

    def test_dry_runs_change_nothing(self):
        for name, text in (("f.txt", "f"), ("x.tmp", "x"), (".kuvetignore", "*.tmp\n")):
            self.write(name, text)
        self.store.put("old.txt", b"old")
        before = self.snapshot()
        self.assertRun(["put", "-n", "f.txt"], " -> f.txt\n", 0)
        self.assertRun(["del", "old.txt", "--dry-run"], " -x old.txt\n", 0)
        self.assertRun(["put", "-n", "missing.txt"], "Failed to open missing.txt for reading.\n", 1)
        self.assertRun(["sync", "-n", "--transfers", "2"], " -> f.txt\n", 0)  # old.txt is not in a .manifest
        self.assertEqual(self.snapshot(), before)

    def test_credentials_from_the_environment_and_a_profile(self):
        self.write("f.txt", "f")
        self.write("aws", "[default]\naws_access_key_id = nobody\n[temp]\naws_access_key_id = tmp\n"
                   "aws_secret_access_key = tmp-secret\naws_session_token = tmp-token\n")
        env = {"AWS_ACCESS_KEY_ID": "tmp", "AWS_SECRET_ACCESS_KEY": "tmp-secret"}
        profile = {"AWS_SHARED_CREDENTIALS_FILE": self.path("aws"), "AWS_PROFILE": "temp"}
        self.write_config(self.store.config(), aws_id="", aws_key="")
        for region in (None, "us-east-1"):  # a region from the environment signs with version 4
            for extra, status in ((dict(env, AWS_SESSION_TOKEN="tmp-token"), 0), (profile, 0), (env, 1)):
                with self.subTest(region=region, env=extra):
                    self.assertEqual(self.kuvet("put", "f.txt", env=dict(extra, AWS_REGION=region)).status,
                                     status)
        self.assertEqual([r.header("authorization")[:4] for r in self.store.log() if r.status == 200],
                         ["AWS ", "AWS ", "AWS4", "AWS4"])
        self.assertEqual([r.error for r in self.store.log() if r.status != 200], ["InvalidToken"] * 2)

    def test_uploads_carry_their_content_type(self):
        types = {"a.html": "text/html", "b.JPG": "image/jpeg", "c.woff2": "font/woff2",
                 "d.unknown-kind": "application/octet-stream", "e": "application/octet-stream"}
        stored = lambda: {k: self.store.buckets["kuvet"][k].content_type for k in self.store.keys()}  # noqa: E731
        for sigv4 in (False, True):
            self.write_config(self.store.config(sigv4=sigv4))
            for name in types:
                self.write(name, name)
                self.assertRun(["put", name], "", 0)
            self.assertEqual(stored(), types)
            self.store.clear()
        self.assertEqual(self.kuvet("sync").status, 0)
        self.assertEqual(stored(), dict(types, **{".manifest": "application/json"}))


if __name__ == "__main__":
    unittest.main()
