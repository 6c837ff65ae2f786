"""Folders synced with the real binary against one strict store per class.

Files are written with explicit times where a test needs old ones; every
version a test writes is remembered, so that `assertNothingLost` can check
the rule every sync keeps: each version that a folder held when a sync ran
survives, as the file or as a .CONFLICT copy, in some folder or in the store,
unless the test itself replaced or removed it where it found it.
"""

import json
import os
import shutil
import time

import harness
import strict_store

OLD = 1000000000  # a time long before any run
LONG = "n" * 248 + ".txt"  # ".CONFLICT" after it is longer than a file name may be
ABSENT = object()  # a key no folder holds


def run_script(case, script, folders=None):
    """Runs steps like "A put f=1 old; B put g=2 -30; B rm f; A mkdir d;
    B sync" in the folders named (by default the test's folders A and B).
    A put's time is long ago ("old"), or seconds from now ("-30", "+30")."""
    now = int(time.time())
    for n, step in enumerate(s.strip() for s in script.split(";")):
        who, op, *args = step.split(" ")
        folder = (folders or {}).get(who) or case.path(who)
        if op == "put":
            name, _, data = args[0].partition("=")
            name = name.replace("LONG", LONG)
            when = args[1] if args[1:] else None
            mtime = None if when is None else OLD + n if when == "old" else now + int(when)
            case.put(folder, name, "%s %s:%s" % (who, name, data), mtime)
        elif op == "rm":
            case.remove(folder, args[0])
        elif op == "mkdir":
            os.makedirs(os.path.join(folder, args[0]))
        elif op == "sync":
            case.sync(folder)


class SyncCase(strict_store.PerClass, harness.KuvetTestCase):

    def setUp(self):
        super().setUp()
        self.written = set()     # every version written into a folder
        self.superseded = set()  # versions the test replaced or removed itself

    def folder(self, name, **extra):
        self.write_config(self.store.config(), name, **extra)
        return self.path(name)

    def put(self, folder, name, data, mtime=None):
        """Writes a file; mtime (seconds) for one restored with an old time."""
        full = os.path.join(folder, name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if os.path.isfile(full):
            self.superseded.add(self.read(full))
        data = data.encode() if isinstance(data, str) else data
        with open(full, "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(full, (mtime, mtime))
        self.written.add(data)

    def remove(self, folder, name):
        full = os.path.join(folder, name)
        tree = os.path.isdir(full) and not os.path.islink(full)
        files = [os.path.join(r, f) for r, _, fs in os.walk(full) for f in fs] if tree else [full]
        self.superseded |= {self.read(f) for f in files if os.path.isfile(f)}
        shutil.rmtree(full) if tree else os.remove(full)

    def sync(self, folder, *args, status=0):
        result = self.kuvet("sync", *args, cwd=folder)
        if status is not None:
            self.assertEqual(result.status, status, result)
        return result

    def settle(self, *folders):
        """Syncs in turn until a round changes nothing (a few rounds: a run
        left unfinished may leave the next one something to repair); then each
        folder's run prints nothing, ends with status 0, and all agree with
        the store."""
        for _ in range(4):
            quiet = True
            for folder in folders:
                result = self.sync(folder, status=None)
                quiet = quiet and result.status == 0 and \
                    all(x.startswith("Warning! Skipped: ") for x in result.lines)
            if quiet:
                break
        for folder in folders:
            lines = [x for x in self.sync(folder).lines if not x.startswith("Warning! Skipped: ")]
            self.assertEqual(lines, [], folder)
        self.assertAgree(*folders)

    # What the folders and the store hold.

    def tree(self, folder, copies=False):
        """Synced entries: relative path -> content, None for a folder; hidden
        names and "_revision" left out, conflict copies only when asked."""
        found = {}
        for root, dirs, files in os.walk(folder):
            dirs[:] = [d for d in dirs if not d.startswith(".")]
            for name in dirs + files:
                rel = os.path.relpath(os.path.join(root, name), folder)
                if name.startswith(".") or rel == "_revision":
                    continue
                if (".CONFLICT" in rel) != copies:
                    continue
                found[rel] = None if name in dirs else self.read(os.path.join(folder, rel))
        return found

    def manifest(self):
        raw = self.store.get(".manifest")
        return None if raw is None else json.loads(raw.decode("utf-8", "surrogateescape"))

    def objects(self):
        return {k: self.store.get(k) for k in self.store.keys() if k != ".manifest"}

    def assertAgree(self, *folders):
        """Every folder holds what the store's .manifest lists, with the
        objects' bytes."""
        listed = {k.rstrip("/") for k in self.manifest() if k != "_revision"}
        objects = self.objects()
        for folder in folders:
            tree = self.tree(folder)
            self.assertEqual(set(tree), listed, folder)
            for key, content in tree.items():
                if content is not None:
                    self.assertEqual(objects.get(key), content, key)

    def assertNothingLost(self, *folders):
        kept = set(self.objects().values())
        for folder in folders:
            kept |= {v for v in self.tree(folder).values() if v is not None}
            kept |= set(self.tree(folder, copies=True).values())
        self.assertEqual(self.written - self.superseded - kept, set())

    # Putting a prepared state back, so that it is made with syncs only once.

    def save(self, *names):
        with self.store.lock:
            objects = dict(self.store.buckets["kuvet"])
        saved = self.path("saved")
        shutil.rmtree(saved, ignore_errors=True)
        for name in names:
            shutil.copytree(self.path(name), os.path.join(saved, name), symlinks=True)
        return names, objects

    def restore(self, saved):
        names, objects = saved
        self.store.clear()
        with self.store.lock:
            self.store.buckets["kuvet"].update(objects)
        for name in names:
            shutil.rmtree(self.path(name))
            shutil.copytree(os.path.join(self.path("saved"), name), self.path(name), symlinks=True)
