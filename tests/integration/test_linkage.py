# The binary reaches OpenSSL only at run time: it links neither libssl nor
# libcrypto, starts silently with the system's libssl, and with a libssl that
# cannot be loaded says so once and goes on. (A libssl that lacks functions:
# test_http.TlsTest.)

import os
import subprocess

import harness
from test_http import fake_libssl


class LinkageTest(harness.KuvetTestCase):
    def test_libssl_is_loaded_at_run_time(self):
        listing = subprocess.run(["ldd", harness.binary()], capture_output=True, check=True).stdout
        self.assertIn(b"libc.so", listing)
        self.assertNotIn(b"libssl", listing)
        self.assertNotIn(b"libcrypto", listing)
        self.write("junk", "not a library\n")
        junk = fake_libssl(self.path("lib"), self.path("junk"))
        for env, stderr in [({}, b""), ({"LD_LIBRARY_PATH": junk}, b"Unable to load libssl.so\n")]:
            result = self.kuvet(env=env)
            self.assertEqual(result.stderr, stderr, result)
            self.assertTrue(result.stdout.startswith(b"USAGE:\n"), result)
