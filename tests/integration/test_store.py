"""get, put, del, list and sync in every way of reaching a store; get and put in the folder; s3rver."""

import itertools
import json
import os
import random
import shutil
import socket
import subprocess
import tempfile
import time

import harness
import strict_store
from test_http import make_certificates, server_context

# Keys whose bytes need encoding, differently for the two signatures.
KEYS = ["plain.txt", "dir/sub file+(1)'~!*\u00e9.txt", "a&b=c?d#e;f,g$h@i:j.txt", "%41 percent", "empty", "big.bin"]


def reach(case, config, env, store=None):
    """put, list, get and del of every key, then a sync of two folders."""
    data = {key: ("%s\n" % key).encode() * n for n, key in enumerate(KEYS)}
    data.update({"empty": b"", "big.bin": random.Random(5).randbytes(5 << 20)})
    case.write_config(config, multipart_threshold=2 << 20)  # big.bin goes up in parts
    for key in KEYS:
        case.write(key, data[key])
        case.assertOutput(case.kuvet("put", key, env=env), "", 0)
        case.assertEqual(store.get(key) if store else data[key], data[key], key)
    lines = case.kuvet("list", "-l", env=env).lines
    case.assertEqual((sorted(line[40:] for line in lines[:-1]), lines[-1]),
                     (sorted(KEYS), "%d Total" % sum(map(len, data.values()))))
    for key in KEYS:
        os.remove(case.path(key))
        case.assertOutput(case.kuvet("get", key, env=env), "", 0)
        case.assertEqual(case.read(key), data[key], key)
        case.assertOutput(case.kuvet("del", key, env=env), "", 0)
    case.assertOutput(case.kuvet("list", env=env), "0 B Total\n", 0)
    for name, text in (("A/.kuvet", json.dumps(config)), ("B/.kuvet", json.dumps(config)), ("A/x.txt", "one"),
                       ("A/sub/y z+(1).txt", "two")):
        case.write(name, text, 0o600)
    def sync(folder):  # whether the run warned that the store ignores conditional writes
        result = case.kuvet("sync", cwd=case.path(folder), env=env)
        case.assertEqual(result.status, 0, result)
        return any(x.startswith("Warning! This store ignores conditional writes") for x in result.lines)
    warned = [sync("A"), sync("B")]
    case.assertEqual(case.read("B/sub/y z+(1).txt"), b"two")
    case.write("B/x.txt", "three")
    os.remove(case.path("B/sub/y z+(1).txt"))
    warned += [sync("B"), sync("A")]
    case.assertEqual(warned, [not store, False, not store, False])  # s3rver ignores them: said at a folder's first write
    case.assertEqual((case.read("A/x.txt"), os.path.exists(case.path("A/sub/y z+(1).txt"))), (b"three", False))


class StoreTest(strict_store.PerClass, harness.KuvetTestCase):

    def test_every_way_of_reaching_the_store(self):
        make_certificates(self.dir)  # kuvet trusts the test CA alone
        context = server_context(self.path("server.pem"), self.path("server.key"))
        trust, top = {"SSL_CERT_FILE": self.path("ca.pem"), "SSL_CERT_DIR": self.dir}, self.dir
        for sigv4, path_style, tls in itertools.product((False, True), repeat=3):
            with self.subTest(sigv4=sigv4, path_style=path_style, tls=tls):
                self.dir = tempfile.mkdtemp(dir=top)
                # The TLS store's region holds every kind of character a region may have.
                region = "AZaz09-_." if tls else "us-east-1"
                store = strict_store.StrictStore(tls=context if tls else None, region=region)
                self.addCleanup(store.stop)
                reach(self, store.config(path_style=path_style, sigv4=sigv4), trust if tls else {}, store)
                log = store.log()
                self.assertEqual([r for r in log if r.status in (400, 403)], [])
                # The Host names the port, signed as sent; the scheme is the one asked for.
                host = "%s:%d" % ("127.0.0.1" if path_style else "kuvet.s3.localhost", store.port)
                self.assertEqual({(r.header("host"), r.header("authorization").split(" ")[0]) for r in log},
                                 {(host, "AWS4-HMAC-SHA256" if sigv4 else "AWS")})
                self.assertTrue(log[0].header("user-agent").startswith("Kuvet/1.0 "))

    def test_get_put_and_del_of_one_object(self):
        prompt, top = "Overwrite local file f.txt? [y/n] ", self.dir
        # command, input, output (its start when it fails), status, requests, the files changed
        rows = [(("get", "f.txt"), answer, prompt, 0, 1, {"f.txt": (b"new", 0o600)}) for answer in ("y\n", "y", "y\nmore\n")]
        rows += [(("get", "f.txt"), answer, prompt, 0, 0, {})
                 for answer in ("Y\n", "yes\n", "\n", "", "n\n", " y\n", "y \n", "y\r\n", "yy\n")]
        rows += [(("get", "new.txt"), "", "", 0, 1, {"new.txt": (b"new", 0o640)}),
                 (("get", "gone.txt"), "", "Error! GET of gone.txt failed:\nHTTP/1.1 404 Not Found\r\n", 1, 1, {}),
                 (("get", "g.txt"), "y\n", "Overwrite local file g.txt? [y/n] Error! GET of g.txt failed:\nHTTP/1.1 404", 1, 1, {}),
                 (("get", "folder"), "", "Failed to open folder for writing.\n", 1, 0, {}),
                 (("put", "nothere.txt"), "", "Failed to open nothere.txt for reading.\n", 1, 0, {}),
                 (("put", "pipe"), "", "Failed to open pipe for reading.\n", 1, 0, {}),
                 (("put", "folder"), "", "Failed to open folder for reading.\n", 1, 0, {}),
                 (("del", "gone.txt"), "", "", 0, 1, {})]
        for n, (args, stdin, out, status, requests, changed) in enumerate(rows):
            with self.subTest(args=args, stdin=stdin):
                self.dir, files = os.path.join(top, str(n)), {"f.txt": (b"old", 0o600), "g.txt": (b"old", 0o640),
                                                               "folder/x": (b"x", 0o640)}
                for name, (data, mode) in dict(files, **{".kuvet": (json.dumps(self.store.config()), 0o600)}).items():
                    self.write(name, data, mode)
                os.mkfifo(self.path("pipe"))
                self.store.clear()
                for key in ("f.txt", "new.txt", "folder"):
                    self.store.put(key, b"new")
                result = self.kuvet(*args, stdin=stdin, preexec=lambda: os.umask(0o027))
                self.assertEqual((result.out if status == 0 else result.out[:len(out)], result.status,
                                  len(self.store.log())), (out, status, requests), result)
                # Modes kept, or the umask's for a new file; no part file left.
                self.assertEqual({p: (self.read(p), os.stat(self.path(p)).st_mode & 0o777) for p in self.tree()
                                  if p not in (".kuvet", "pipe", "folder/")}, dict(files, **changed))

    def test_s3rver(self):
        # s3rver (npm, pinned in package-lock.json) maps http://BUCKET.s3.localhost:PORT/ to BUCKET. Its own
        # signature check leaves the date out, hence --allow-mismatched-signatures; its one account is S3RVER.
        data, port = tempfile.mkdtemp(dir=self.dir), harness.free_port()
        server = subprocess.Popen([shutil.which("node") or "nodejs", harness.repo_root() + "/node_modules/s3rver/bin/s3rver.js",
                                   "--directory", data, "--address", "127.0.0.1", "--port", str(port), "--silent",
                                   "--service-endpoint", "localhost", "--allow-mismatched-signatures", "--configure-bucket", "kuvet"])
        self.addCleanup(lambda: (server.kill(), server.wait()))
        while server.poll() is None:
            with socket.socket() as probe:
                if probe.connect_ex(("127.0.0.1", port)) == 0:
                    break
            time.sleep(0.05)
        reach(self, dict(kuvet_url="http://kuvet.s3.localhost:%d/" % port, aws_id="S3RVER", aws_key="S3RVER"), {})

