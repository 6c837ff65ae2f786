"""get, put and del against real stores: s3rver over HTTP and over TLS, and
the strict store, which checks every signature and can misbehave on demand."""

import hashlib
import os
import random
import shutil
import tempfile
import unittest

import harness
import s3
import strict_store

ODD_KEY = "dir/sub file+(1)'~é.txt"
KEYS = ["plain.txt", "a b+c(1)'~!*.txt", ODD_KEY, "ünï/çødé ñ.bin"]
BIG_SIZE = 50 * 1024 * 1024
CERTS = {}  # made once for the module, see setUpModule


def setUpModule():
    folder = tempfile.mkdtemp(prefix="kuvet-store-certs-")
    CERTS.update(s3.make_certificates(folder))
    CERTS["folder"] = folder


def tearDownModule():
    shutil.rmtree(CERTS.get("folder", ""), ignore_errors=True)


def prompt(path):
    return "Overwrite local file %s? [y/n] " % path


def big_data():
    """50 MiB of the same pseudo-random bytes on every run."""
    return random.Random(20240607).randbytes(BIG_SIZE)


def digest(data):
    return None if data is None else hashlib.sha256(data).hexdigest()


class StoreCases:
    """The cases every store must pass. A backend mixin provides the store:
    config(), stored(key), seed(key, data), log() (None when the store's
    requests cannot be seen) and env (entries for kuvet's environment)."""

    env = None

    def setUp(self):
        super().setUp()
        self.write_config(self.config())

    def run_kuvet(self, *args, stdin=None):
        return self.kuvet(*args, stdin=stdin, env=self.env)

    def assertNoRequest(self):
        log = self.log()
        if log is not None:
            self.assertEqual(log, [])

    def assertFiles(self, *names):
        """The folder holds exactly .kuvet and these (no temporary files)."""
        self.assertEqual(self.tree(), sorted((".kuvet",) + names))

    def test_round_trip_of_awkward_keys(self):
        for number, key in enumerate(KEYS):
            with self.subTest(key=key):
                data = ("object %d: %s\n" % (number, key)).encode() * (number + 1)
                self.write(key, data)
                self.assertOutput(self.run_kuvet("put", key), "", 0)
                self.assertEqual(self.stored(key), data)
                os.remove(self.path(key))
                self.assertOutput(self.run_kuvet("get", key), "", 0)
                self.assertEqual(self.read(key), data)
                self.assertOutput(self.run_kuvet("del", key), "", 0)
                self.assertIsNone(self.stored(key))
        self.assertFiles(*(KEYS + ["dir/", "ünï/"]))

    def test_empty_file(self):
        self.write("empty", b"")
        self.assertOutput(self.run_kuvet("put", "empty"), "", 0)
        self.assertEqual(self.stored("empty"), b"")
        os.remove(self.path("empty"))
        self.assertOutput(self.run_kuvet("get", "empty"), "", 0)
        self.assertEqual(self.read("empty"), b"")
        self.assertFiles("empty")

    def test_fifty_mebibytes_byte_for_byte(self):
        data = big_data()
        self.write("big.bin", data)
        self.assertOutput(self.run_kuvet("put", "big.bin"), "", 0)
        self.assertEqual(digest(self.stored("big.bin")), digest(data))
        os.remove(self.path("big.bin"))
        self.assertOutput(self.run_kuvet("get", "big.bin"), "", 0)
        self.assertEqual(os.path.getsize(self.path("big.bin")), BIG_SIZE)
        self.assertEqual(digest(self.read("big.bin")), digest(data))
        self.assertFiles("big.bin")

    def test_get_of_a_missing_key_into_a_new_path(self):
        result = self.run_kuvet("get", "missing.txt")
        self.assertEqual(result.status, 1, result)
        self.assertIn("404", result.out)
        self.assertFiles()

    def test_get_of_a_missing_key_over_an_existing_file(self):
        self.write("keep.txt", b"old content")
        result = self.run_kuvet("get", "keep.txt", stdin="y\n")
        self.assertEqual(result.status, 1, result)
        self.assertTrue(result.out.startswith(prompt("keep.txt")), result)
        self.assertIn("404", result.out)
        self.assertEqual(self.read("keep.txt"), b"old content")
        self.assertFiles("keep.txt")

    def test_answer_y_replaces_the_file(self):
        for answer in ("y\n", "y", "y\nmore\n"):
            with self.subTest(answer=answer):
                self.seed("file.txt", b"new " + answer.encode())
                self.write("file.txt", b"old")
                result = self.run_kuvet("get", "file.txt", stdin=answer)
                self.assertOutput(result, prompt("file.txt"), 0)
                self.assertEqual(self.read("file.txt"), b"new " + answer.encode())
        self.assertFiles("file.txt")

    def test_every_other_answer_refuses_without_a_request(self):
        self.seed("file.txt", b"new")
        self.write("file.txt", b"old")
        for answer in ("Y\n", "yes\n", "\n", "", "n\n", " y\n", "y \n", "y\r\n", "yy\n"):
            with self.subTest(answer=answer):
                result = self.run_kuvet("get", "file.txt", stdin=answer)
                self.assertOutput(result, prompt("file.txt"), 0)
                self.assertEqual(self.read("file.txt"), b"old")
                self.assertNoRequest()
        self.assertFiles("file.txt")

    def test_put_of_a_missing_file(self):
        self.assertOutput(self.run_kuvet("put", "nothere.txt"),
                          "Failed to open nothere.txt for reading.\n", 1)
        self.assertNoRequest()
        self.assertIsNone(self.stored("nothere.txt"))

    def test_an_overwritten_file_keeps_its_mode(self):
        self.seed("private.txt", b"new")
        self.write("private.txt", b"old")
        os.chmod(self.path("private.txt"), 0o600)
        self.assertOutput(self.run_kuvet("get", "private.txt", stdin="y\n"),
                          prompt("private.txt"), 0)
        self.assertEqual(self.read("private.txt"), b"new")
        self.assertEqual(os.stat(self.path("private.txt")).st_mode & 0o777, 0o600)

    def test_a_new_file_follows_the_umask(self):
        self.seed("new.txt", b"new")
        result = self.kuvet("get", "new.txt", umask=0o027, env=self.env)
        self.assertOutput(result, "", 0)
        self.assertEqual(os.stat(self.path("new.txt")).st_mode & 0o777, 0o640)

    def test_put_of_a_named_pipe(self):
        os.mkfifo(self.path("pipe"))
        self.assertOutput(self.run_kuvet("put", "pipe"), "Failed to open pipe for reading.\n", 1)
        self.assertNoRequest()

    def test_put_of_a_directory(self):
        os.mkdir(self.path("folder"))
        self.assertOutput(self.run_kuvet("put", "folder"),
                          "Failed to open folder for reading.\n", 1)
        self.assertNoRequest()
        self.assertIsNone(self.stored("folder"))

    def test_del_of_a_missing_key_follows_the_store(self):
        # Both stores answer 204 for a key they do not hold, as S3 does.
        self.assertOutput(self.run_kuvet("del", "missing.txt"), "", 0)

    def test_get_into_a_directory(self):
        self.seed("folder", b"an object named like the folder")
        self.seed("full", b"another")
        os.mkdir(self.path("folder"))
        self.write("full/inside", b"kept")
        for path in ("folder", "full"):
            with self.subTest(path=path):
                self.assertOutput(self.run_kuvet("get", path),
                                  "Failed to open %s for writing.\n" % path, 1)
                self.assertNoRequest()
        self.assertFiles("folder/", "full/", "full/inside")
        self.assertEqual(self.read("full/inside"), b"kept")

    def test_get_makes_the_missing_folders(self):
        self.seed("nofolder/x.txt", b"x")
        self.assertOutput(self.run_kuvet("get", "nofolder/x.txt"), "", 0)
        self.assertEqual(self.read("nofolder/x.txt"), b"x")


# Backends.

class S3rverBackend:
    """s3rver, one process per test class; its data folder shows what it holds."""

    tls = False

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        tls = (CERTS["server.pem"], CERTS["server.key"]) if cls.tls else None
        cls.store = s3.S3rver(tls=tls).start()
        cls.env = s3.trust_env(CERTS) if cls.tls else None

    @classmethod
    def tearDownClass(cls):
        cls.store.stop()
        super().tearDownClass()

    def setUp(self):
        self.store.clear()
        super().setUp()

    def config(self):
        return self.store.config()

    def stored(self, key):
        return self.store.read(key)

    def seed(self, key, data):
        self.store.put(key, data)

    def log(self):
        return None


class S3rverHttpTest(S3rverBackend, StoreCases, harness.KuvetTestCase):
    pass


class S3rverTlsTest(S3rverBackend, StoreCases, harness.KuvetTestCase):
    tls = True

    def test_the_url_is_https(self):
        self.assertTrue(self.config()["kuvet_url"].startswith("https://kuvet.s3.localhost:"))

    def test_an_untrusted_certificate_fails(self):
        self.write("file.txt", b"secret")
        result = self.kuvet("put", "file.txt", env={"SSL_CERT_FILE": CERTS["self.pem"],
                                                    "SSL_CERT_DIR": CERTS["folder"]})
        self.assertEqual(result.status, 1, result)
        self.assertIn("kuvet.s3.localhost", result.out)
        self.assertIsNone(self.stored("file.txt"))

    def test_verification_can_be_switched_off(self):
        self.write_config(self.config(), verify_tls=False)
        self.write("file.txt", b"secret")
        result = self.kuvet("put", "file.txt", env={"SSL_CERT_FILE": CERTS["self.pem"],
                                                    "SSL_CERT_DIR": CERTS["folder"]})
        self.assertOutput(result, "", 0)
        self.assertEqual(self.stored("file.txt"), b"secret")


class StrictStoreTest(strict_store.PerClass, StoreCases, harness.KuvetTestCase):
    """The strict store: every request must be signed right, or it fails."""

    def setUp(self):
        self.expect_refusals = False
        self.addCleanup(self.check_signatures)
        super().setUp()

    def check_signatures(self):
        if not self.expect_refusals:
            self.assertEqual(self.store.refused(), [], "a request the store refused")

    def config(self):
        return self.store.config()

    def stored(self, key):
        return self.store.get(key)

    def seed(self, key, data):
        self.store.put(key, data)

    def log(self):
        return self.store.log()

    def write_then_get(self, key, old, stdin="y\n"):
        if old is not None:
            self.write(key, old)
        return self.run_kuvet("get", key, stdin=stdin)

    def test_requests_name_the_key_encoded_and_signed(self):
        self.write(ODD_KEY, b"x")
        self.assertOutput(self.run_kuvet("put", ODD_KEY), "", 0)
        self.assertOutput(self.run_kuvet("del", ODD_KEY), "", 0)
        log = self.store.log()
        self.assertEqual([(r.method, r.path, r.status) for r in log],
                         [("PUT", "/dir%2Fsub%20file%2B(1)'~%C3%A9.txt", 200),
                          ("DELETE", "/dir%2Fsub%20file%2B(1)'~%C3%A9.txt", 204)])
        for request in log:
            # The bucket is the Host header's first label (the port may follow).
            self.assertIn(request.header("host"),
                          ("kuvet.s3.localhost", "kuvet.s3.localhost:%d" % self.store.port))
            self.assertTrue(request.header("authorization").startswith("AWS kuvet-id:"))
            self.assertIsNotNone(request.header("date"))
        self.assertEqual(log[0].header("content-length"), "1")

    def test_a_download_cut_short_keeps_the_old_file(self):
        data = bytes(range(256)) * 4096
        self.seed("cut.bin", data)
        self.store.cut("cut.bin")
        result = self.write_then_get("cut.bin", b"old content")
        self.assertEqual(result.status, 1, result)
        self.assertEqual(self.read("cut.bin"), b"old content")
        self.assertFiles("cut.bin")
        self.assertEqual(len(self.store.log()), 1)

    def test_a_download_cut_short_leaves_no_new_file(self):
        self.seed("cut.bin", b"x" * 100000)
        self.store.cut("cut.bin", after=10)
        result = self.write_then_get("cut.bin", None)
        self.assertEqual(result.status, 1, result)
        self.assertFiles()

    def test_a_download_cut_in_its_head_leaves_no_new_file(self):
        self.seed("empty", b"")
        self.store.cut("empty")
        result = self.write_then_get("empty", None)
        self.assertEqual(result.status, 1, result)
        self.assertFiles()

    def test_a_failed_download_keeps_the_old_file(self):
        self.seed("file.txt", b"new")
        self.store.fail("file.txt", 500, code="InternalError")
        result = self.write_then_get("file.txt", b"old")
        self.assertEqual(result.status, 1, result)
        self.assertIn("HTTP/1.1 500", result.out)
        self.assertIn("<Code>InternalError</Code>", result.out)
        self.assertEqual(self.read("file.txt"), b"old")
        self.assertFiles("file.txt")

    def test_a_refused_upload_prints_the_store_reply(self):
        self.write("file.txt", b"data")
        self.store.fail("file.txt", 503, code="SlowDown", method="PUT")
        result = self.run_kuvet("put", "file.txt")
        self.assertEqual(result.status, 1, result)
        self.assertIn("HTTP/1.1 503", result.out)
        self.assertIn("<Code>SlowDown</Code>", result.out)
        self.assertIsNone(self.stored("file.txt"))

    def test_del_status_follows_the_store(self):
        self.seed("file.txt", b"data")
        self.store.fail("file.txt", 404, code="NoSuchKey", method="DELETE")
        result = self.run_kuvet("del", "file.txt")
        self.assertEqual(result.status, 1, result)
        self.assertIn("HTTP/1.1 404", result.out)

    def test_a_wrong_secret_key_is_refused(self):
        self.expect_refusals = True
        self.write_config(self.config(), aws_key="not the secret")
        self.seed("there.txt", b"x")
        self.write("file.txt", b"data")
        for args in (("put", "file.txt"), ("get", "new.txt"), ("del", "there.txt")):
            with self.subTest(args=args):
                result = self.run_kuvet(*args)
                self.assertEqual(result.status, 1, result)
                self.assertIn("HTTP/1.1 403 Forbidden\r\n", result.out)
                self.assertIn("<Code>SignatureDoesNotMatch</Code>", result.out)
        self.assertEqual(self.store.keys(), ["there.txt"])
        self.assertEqual([r.error for r in self.store.log()], ["SignatureDoesNotMatch"] * 3)
        self.assertFiles("file.txt")


if __name__ == "__main__":
    unittest.main()
