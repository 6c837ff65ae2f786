# The binary reaches OpenSSL only at run time: it links neither libssl nor
# libcrypto, starts silently with the system's libssl, and with a libssl that
# cannot be loaded says so once and goes on. (A libssl that lacks functions:
# test_http.TlsTest.)

import subprocess

import harness
from test_http import fake_libssl


# (Silent with the system's libssl: test_cli's usage row, which checks stderr.)
class LinkageTest(harness.KuvetTestCase):
    def test_libssl_is_loaded_at_run_time(self):
        listing = subprocess.run(["ldd", harness.binary()], capture_output=True, check=True).stdout
        self.assertIn(b"libc.so", listing)
        self.assertNotIn(b"libssl", listing)
        self.assertNotIn(b"libcrypto", listing)
        self.write("junk", "not a library\n")
        result = self.kuvet(env={"LD_LIBRARY_PATH": fake_libssl(self.path("lib"), self.path("junk"))})
        self.assertEqual((result.stderr, result.stdout[:7]), (b"Unable to load libssl.so\n", b"USAGE:\n"), result)
