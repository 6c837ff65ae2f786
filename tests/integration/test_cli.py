"""The command line: usage, misuse, init, the checks of .kuvet, paths as keys, credentials, Content-Type, dry runs."""

import datetime
import errno
import json
import os

import harness
import strict_store

TEMPLATE = b'{"kuvet_url":"","aws_id":"","aws_key":""}'
COMMANDS = (["list"], ["sync"], ["get", "a"], ["put", "a"], ["del", "a"])


class CliTest(strict_store.PerClass, harness.KuvetTestCase):

    @classmethod
    def new_store(cls):
        return strict_store.StrictStore(credentials={"kuvet-id": "kuvet-secret", "tmp": "tmp-secret"},
                                        tokens={"tmp": "tmp-token"})

    def assertRun(self, args, stdout, status, stderr="", **options):
        result = self.kuvet(*args, **options)
        self.assertEqual((result.out, result.status, result.stderr.decode()), (stdout, status, stderr), result)

    def test_usage_help_misuse_and_init_need_no_store(self):
        usage, help_text, misuse = self.kuvet().out, self.kuvet("--help").out, "kuvet: %s\nTry 'kuvet --help'.\n"
        self.assertTrue(usage.startswith("USAGE:\n\tkuvet - show this message\n\tkuvet init - initialize .kuvet file\n"))
        self.assertIn("\nExit status: 0 on success, 1 when anything failed, 2 when", help_text)
        for kuvet_file in (None, "not json"):  # none is read
            for args, stdout, status, stderr in [
                    ([], usage, 0, ""), (["-h"], help_text, 0, ""), (["put", "a", "b", "--bogus", "--help"], help_text, 0, ""),
                    (["--version"], "kuvet 1.0\n", 0, ""), (["sync", "--dry-runs"], "", 2, misuse % "unknown option '--dry-runs'"),
                    (["get"], "", 2, misuse % "get needs a path")]:
                with self.subTest(args=args, kuvet_file=kuvet_file):
                    self.assertRun(args, stdout, status, stderr)
                    self.assertEqual(os.listdir(self.dir), [".kuvet"] if kuvet_file else [])
            self.write(".kuvet", "not json")
        # init writes the template for its owner alone, once; a folder named .kuvet is no configuration.
        for umask in (0o000, 0o277):
            os.remove(self.path(".kuvet"))
            init = self.kuvet("init", preexec=lambda: os.umask(umask))
            self.assertEqual((init.lines[0], init.status), ("Created .kuvet file. Please edit the file to configure.", 0))
            self.assertEqual((self.read(".kuvet"), os.stat(self.path(".kuvet")).st_mode & 0o777), (TEMPLATE, 0o600))
        os.chmod(self.path(".kuvet"), 0o640)
        self.assertRun(["init"], "Error! A .kuvet file already exists.\n", 1)
        self.assertEqual((self.read(".kuvet"), os.stat(self.path(".kuvet")).st_mode & 0o777), (TEMPLATE, 0o640))
        os.remove(self.path(".kuvet"))
        os.mkdir(self.path(".kuvet"))
        self.assertRun(["init"], "Error! Could not write .kuvet: %s\n" % os.strerror(errno.EEXIST), 1)
        for args in COMMANDS:
            self.assertRun(args, "Missing .kuvet file.\n", 1)
        self.assertEqual(os.listdir(self.path(".kuvet")), [])

    def test_an_unusable_kuvet_file_or_region_is_refused_before_any_request(self):
        url, not_json = self.store.url(path_style=True), ".kuvet is not a valid JSON object: "
        region = '.kuvet: region must be a non-empty string of letters, digits, "-", "_" or ".", such as "eu-central-1".'
        cases = [("", not_json + "empty file"), ("kuvet_url = x", not_json + "Unexpected character 'k' at line 1 column 1."),
                 ('"https://x.localhost/"', not_json + "not an object"),
                 ('{"kuvet_url":"","aws_id":"","aws_key":""}', ".kuvet still needs editing: set kuvet_url to the "
                  "bucket's URL, such as https://BUCKET.s3.REGION.amazonaws.com/"),
                 ('{"kuvet_url":"%s"}' % url, "No credentials: give aws_id and aws_key in .kuvet, set AWS_ACCESS_KEY_ID "
                  "and AWS_SECRET_ACCESS_KEY, or add a [default] profile to /dev/null.")]
        cases += [('{"kuvet_url":%s,"aws_id":"i","aws_key":"k"}' % json.dumps(bad), '.kuvet: kuvet_url %s must be an '
                   'http:// or https:// URL ending in "/", such as https://BUCKET.s3.REGION.amazonaws.com/ or '
                   'http://HOST:PORT/BUCKET/' % json.dumps(bad))
                  for bad in (url[:-1], "ftp://x.localhost/", "http:///", url + "?a/", "http://a b/", 5)]
        cases += [(json.dumps(dict(self.store.config(), region=bad)), region)
                  for bad in ("", 5, None, True, ["us-east-1"], "eu central", "us-east-1/s3", "a,b", "\u00fc", "x\r\nX: 1")]
        for n, (text, problem) in enumerate(cases):
            with self.subTest(text=text):
                self.write(".kuvet", text, 0o644)
                self.assertRun(COMMANDS[n % 5], "Error! %s\n" % problem, 1,
                               "Warning! .kuvet is readable by others (mode 0644): chmod 600 .kuvet\n")
        self.write_config(self.store.config())
        self.assertRun(["del", "a"], "Error! The environment or ~/.aws/config" + region[6:] + "\n", 1, env={"AWS_REGION": "a b"})
        self.assertEqual((self.store.log(), os.listdir(self.dir)), ([], [".kuvet"]))

    def test_paths_typed_anywhere_in_the_folder_become_its_keys(self):
        self.write_config(self.store.config())
        for name in ("f.txt", "d/g.txt", "docs/notes.txt", "docs/x.tmp", ".kuvetignore"):
            self.write(name, "*.tmp\n")  # what .kuvetignore needs; the others hold anything
        for path in ("notes.txt", "./../f.txt", "..//d/./g.txt", self.path("docs", "x.tmp")):
            self.assertRun(["put", path], "", 0, "" if path[0] != "/" else
                           "Warning! .kuvetignore ignores docs/x.tmp; going ahead since it was named.\n", cwd=self.path("docs"))
        self.assertEqual(self.store.keys(), ["d/g.txt", "docs/notes.txt", "docs/x.tmp", "f.txt"])
        for path, why in (("../..", "is outside the synced folder " + self.dir), (".env", "is hidden, and hidden files "
                          "are never synced"), ("..", "names the synced folder itself, not a file")):
            self.assertRun(["put", path], "Error! '%s' %s.\n" % (path, why), 1, cwd=self.path("docs"))
        # get makes the missing folders and gives the file the object's time.
        self.store.put("docs/a/b/c.txt", b"c")
        stored = self.store.buckets["kuvet"]["docs/a/b/c.txt"]
        stored.mtime -= datetime.timedelta(days=3)
        self.assertRun(["get", "-v", "a/b/c.txt"], "", 0, "GET %sdocs%%2Fa%%2Fb%%2Fc.txt 200\n" % self.store.url(),
                       cwd=self.path("docs"))
        self.assertEqual(os.stat(self.path("docs/a/b/c.txt")).st_mtime, int(stored.mtime.timestamp()))

    def test_dry_runs_change_nothing(self):
        self.write_config(self.store.config())
        for name, text in (("f.txt", "f"), ("x.tmp", "x"), (".kuvetignore", "*.tmp\n")):
            self.write(name, text)
        self.store.put("old.txt", b"old")

        def snapshot():  # the folder, the store's keys and the requests that may write
            return self.snapshot(), self.store.keys(), [r for r in self.store.log() if r.method not in ("GET", "HEAD")]
        before = snapshot()
        for args, out, status in [(["put", "-n", "f.txt"], " -> f.txt\n", 0), (["del", "old.txt", "--dry-run"], " -x old.txt\n", 0),
                                  (["put", "-n", "missing.txt"], "Failed to open missing.txt for reading.\n", 1),
                                  (["sync", "-n", "--transfers", "2"], " -> f.txt\n", 0)]:  # old.txt is in no .manifest
            self.assertRun(args, out, status)
        self.assertEqual(snapshot(), before)

    def test_credentials_from_the_environment_or_a_profile_and_content_types(self):
        self.write("aws", "[default]\naws_access_key_id = nobody\n[temp]\naws_access_key_id = tmp\n"
                   "aws_secret_access_key = tmp-secret\naws_session_token = tmp-token\n")
        keys = {"AWS_ACCESS_KEY_ID": "tmp", "AWS_SECRET_ACCESS_KEY": "tmp-secret"}
        profile = {"AWS_SHARED_CREDENTIALS_FILE": self.path("aws"), "AWS_PROFILE": "temp"}
        types = {"a.html": "text/html", "b.JPG": "image/jpeg", "c.woff2": "font/woff2", "d.x-y": "application/octet-stream"}
        self.write_config(self.store.config(), aws_id="", aws_key="")
        # A region from the environment signs with version 4; a session token must be sent; a wrong secret is refused.
        for region in (None, "us-east-1"):
            for env, status in ((dict(keys, AWS_SESSION_TOKEN="tmp-token"), 0), (profile, 0), (keys, 1),
                                (dict(keys, AWS_SECRET_ACCESS_KEY="wrong"), 1)):
                for name in types:
                    self.write(name, name)
                    self.assertEqual(self.kuvet("put", name, env=dict(env, AWS_REGION=region)).status, status)
        self.assertEqual([(r.header("authorization")[:4], r.error) for r in self.store.log()][::4],
                         [(scheme, error) for scheme in ("AWS ", "AWS4")
                          for error in (None, None, "InvalidToken", "SignatureDoesNotMatch")])
        self.assertEqual({k: self.store.buckets["kuvet"][k].content_type for k in self.store.keys()}, types)
        self.write_config(self.store.config())
        self.assertEqual(self.kuvet("sync").status, 0)
        self.assertEqual(self.store.buckets["kuvet"][".manifest"].content_type, "application/json")

