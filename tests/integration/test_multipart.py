"""Large files go up in parts, on several connections at once: whole, signed
either way, and never leaving parts behind in the store when something fails
or the run is killed."""

import json
import os
import signal
import subprocess
import threading

import harness
import strict_store
from sync_case import SyncCase

MIB = 1 << 20
SIZE = 17 * MIB + 5  # three parts of 8 MiB, the last one short


class Multipart(SyncCase):

    def setUp(self):
        super().setUp()
        self.a = self.folder("A", multipart_threshold=MIB)
        self.data = os.urandom(SIZE)
        self.put(self.a, "big.bin", self.data)

    def kinds(self):
        """The multipart requests the store received, in order."""
        out = []
        for r in self.store.log():
            if r.param("uploads") is not None:
                out.append("begin")
            elif r.param("partNumber") is not None:
                out.append("part")
            elif r.param("uploadId") is not None:
                out.append("complete" if r.method == "POST" else "abort")
        return out

    def test_a_large_file_goes_up_in_parts_signed_either_way(self):
        for sigv4 in (False, True):
            with self.subTest(sigv4=sigv4):
                self.store.clear()
                self.folder("A", multipart_threshold=MIB, **({"region": "us-east-1"} if sigv4 else {}))
                result = self.kuvet("put", "big.bin", cwd=self.a)
                self.assertEqual(result.status, 0, result)
                self.assertEqual(self.store.get("big.bin"), self.data)
                self.assertEqual(sorted(self.kinds()), ["begin", "complete", "part", "part", "part"])
                self.assertEqual(self.store.refused(), [])
        self.assertEqual(self.sync(self.a).lines[-1][:14], "New revision: ")
        self.store.delete("big.bin")  # a sync in another folder gets the object back whole
        self.store.put("big.bin", self.data)
        b = self.folder("B")
        self.sync(b)
        self.assertEqual(self.read_file(os.path.join(b, "big.bin")), self.data)

    def test_a_failed_part_aborts_the_upload(self):
        # 503 to a part, a part whose checksum the store reports otherwise, and
        # the store refusing to complete: nothing is left, status 1.
        faults = {
            "503 to the second part": lambda: self.store.fail("big.bin", 503, method="PUT", skip=1),
            "another checksum": lambda: self.store.answer(
                "big.bin", lambda s, r: strict_store.Reply(200, b"", [("ETag", '"0"')]), method="PUT", times=1),
            "the end refused": lambda: self.store.fail("big.bin", 500, method="POST", skip=1),
        }
        for name, fault in faults.items():
            for command in (("put", "big.bin"), ("sync",)):
                with self.subTest(fault=name, command=command[0]):
                    self.store.clear()
                    fault()
                    result = self.kuvet(*command, cwd=self.a)
                    self.assertEqual(result.status, 1, result)
                    self.assertIn("big.bin", result.out)
                    self.assertEqual((self.store.keys(), self.store.uploads), ([], {}))
                    self.assertIn("abort", self.kinds())

    def test_an_upload_left_by_a_killed_run_is_aborted_by_the_next(self):
        for command in (("put", "big.bin"), ("sync",)):
            with self.subTest(command=command[0]):
                self.store.clear()
                proc = None

                def kill(store, request):
                    os.kill(proc.pid, signal.SIGKILL)

                self.store.before("big.bin", kill, method="PUT", skip=1)
                proc = subprocess.Popen([harness.binary()] + list(command), cwd=self.a,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                proc.communicate(timeout=harness.RUN_TIMEOUT)
                self.assertEqual(proc.returncode, -signal.SIGKILL)
                self.assertEqual(len(self.store.uploads), 1)
                with open(os.path.join(self.a, ".kuvet-uploads")) as f:
                    self.assertEqual(list(json.load(f).values()), ["big.bin"])
                self.store.clear_faults()
                self.assertEqual(self.kuvet(*command, cwd=self.a).status, 0)
                self.assertEqual(self.store.uploads, {})
                self.assertFalse(os.path.exists(os.path.join(self.a, ".kuvet-uploads")))
                self.assertEqual(self.store.get("big.bin"), self.data)


class ParallelSync(SyncCase):

    def test_one_failing_key_among_many_workers(self):
        a, b = self.folder("A", transfers=8), self.folder("B", transfers=8)
        for n in range(40):
            self.put(a, "d%d/f%02d" % (n % 4, n), "file %d" % n)
        self.store.fail("d1/f13", 500, method="PUT")
        result = self.sync(a, status=1)
        self.assertEqual(len([x for x in result.lines if x.startswith(" -> ")]), 39 + 4)
        self.assertNotIn("d1/f13", self.manifest())
        self.store.clear_faults()
        self.settle(a, b)
        self.assertNothingLost(a, b)


if __name__ == "__main__":
    import unittest
    unittest.main()
