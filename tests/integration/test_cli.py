"""The command line: usage text, init, the .kuvet checks and their order."""

import errno
import os
import stat
import unittest

import harness

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
             "https://[kuvet].s3.eu-central-1.amazonaws.com/\n")

MISSING = "Missing .kuvet file.\n"
MISSING_PATH = "Missing path.\n"


class CliTest(harness.KuvetTestCase):

    def configure(self):
        """A well-formed .kuvet naming a store on a port nothing listens on."""
        url = "http://127.0.0.1:%d/" % harness.free_port()
        self.write(".kuvet", '{"kuvet_url":"%s","aws_id":"id","aws_key":"key"}' % url)

    def assertRun(self, args, stdout, status):
        result = self.kuvet(*args)
        self.assertOutput(result, stdout, status)
        self.assertEqual(result.stderr, b"", result)
        return result


class UsageTest(CliTest):

    def test_usage_without_kuvet_file(self):
        self.assertRun([], USAGE, 0)
        self.assertEqual(os.listdir(self.dir), [])

    def test_usage_ignores_a_broken_kuvet_file(self):
        self.write(".kuvet", "not json")
        self.assertRun([], USAGE, 0)


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

    def test_init_ignores_a_path_argument(self):
        self.assertRun(["init", "somewhere"], INIT_NOTE, 0)
        self.assertEqual(sorted(os.listdir(self.dir)), [".kuvet"])


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
        for args in (["list"], ["sync"], ["get", "a"], ["put", "a"], ["del", "a"],
                     ["foo"], ["foo", "bar"]):
            with self.subTest(args=args):
                self.assertRun(args, MISSING, 1)


class DispatchTest(CliTest):

    def test_without_kuvet_file_every_command_misses_it(self):
        for args in (["list"], ["sync", "x"], ["get"], ["get", "a"], ["put", "a"],
                     ["del", "a"], ["foo"], ["foo", "bar"], ["LIST"], [""]):
            with self.subTest(args=args):
                self.assertRun(args, MISSING, 1)
        self.assertEqual(os.listdir(self.dir), [])

    def test_missing_path_comes_before_invalid_command(self):
        self.configure()
        for args in (["foo"], ["get"], ["put"], ["del"], ["LIST"], ["Init"], [""]):
            with self.subTest(args=args):
                self.assertRun(args, MISSING_PATH, 1)
        self.assertRun(["foo", "bar"], "Error! Invalid command: foo\n", 1)
        self.assertRun(["Sync", "x", "y"], "Error! Invalid command: Sync\n", 1)
        self.assertRun(["", "x"], "Error! Invalid command: \n", 1)

    def test_list_and_sync_ignore_a_further_argument(self):
        self.configure()
        for command in ("list", "sync"):
            with self.subTest(command=command):
                alone = self.kuvet(command)
                extra = self.kuvet(command, "extra", "more")
                self.assertEqual((extra.stdout, extra.status), (alone.stdout, alone.status))
                self.assertNotIn(b"Invalid command", extra.stdout)
                self.assertNotIn(b"Missing path", extra.stdout)


class InvalidConfigurationTest(CliTest):
    """A .kuvet that is not a JSON object is refused with the reason."""

    CASES = [
        ("", "empty file"),
        ("kuvet_url = x", "Unexpected character 'k' at line 1 column 1."),
        ("[1]", "not an object"),
        ('"https://x.localhost/"', "not an object"),
        ("null", "not an object"),
        ('{"kuvet_url":"x",', "Incomplete array or object value."),
        ("\n\n", "Did not parse to a single JSON value."),
    ]

    def test_store_commands_refuse_it(self):
        for text, reason in self.CASES:
            self.write(".kuvet", text)
            expected = "Error! .kuvet is not a valid JSON object: %s\n" % reason
            for args in (["list"], ["sync", "x"], ["get", "a"], ["put", "a"], ["del", "a"]):
                with self.subTest(text=text, args=args):
                    self.assertRun(args, expected, 1)
        self.assertEqual(sorted(os.listdir(self.dir)), [".kuvet"])

    def test_argument_checks_come_first(self):
        self.write(".kuvet", "[1]")
        self.assertRun(["foo"], MISSING_PATH, 1)
        self.assertRun(["get"], MISSING_PATH, 1)
        self.assertRun(["foo", "bar"], "Error! Invalid command: foo\n", 1)


if __name__ == "__main__":
    unittest.main()
