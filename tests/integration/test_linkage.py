"""The binary reaches OpenSSL only at run time: it links neither libssl nor
libcrypto, and starts whatever libssl it finds (or fails to load)."""

import os
import subprocess
import unittest

import harness

# The names the loader may pick from its cache for "libssl.so".
LIBSSL_NAMES = ("libssl.so", "libssl.so.3", "libssl.so.1.1", "libssl.so.1.0.2", "libssl.so.1.0.0")


class LinkageTest(harness.KuvetTestCase):

    def test_no_tls_library_is_linked(self):
        listing = subprocess.run(["ldd", harness.binary()], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, check=True).stdout.decode()
        self.assertIn("libc.so", listing)
        for library in ("libssl", "libcrypto"):
            self.assertNotIn(library, listing)

    def test_runs_on_without_a_loadable_libssl(self):
        libraries = self.path("lib")
        os.mkdir(libraries)
        for name in LIBSSL_NAMES:
            with open(os.path.join(libraries, name), "w") as f:
                f.write("not a library\n")
        env = dict(os.environ, LD_LIBRARY_PATH=libraries)
        result = harness.run([], self.dir, env=env)
        self.assertEqual(result.stderr, b"Unable to load libssl.so\n", result)
        self.assertTrue(result.stdout.startswith(b"USAGE:\n"), result)

    def test_system_libssl_loads_silently(self):
        result = self.kuvet()
        self.assertEqual(result.stderr, b"", result)
        self.assertTrue(result.stdout.startswith(b"USAGE:\n"), result)


if __name__ == "__main__":
    unittest.main()
