"""Deterministic benchmark data and the content checks.

Every file's bytes come from a random generator seeded with the fixed seed,
the file's path and a version number, so every run of the benchmark, on any
machine, makes the same bytes. A tree is described by a list of (path, size);
its expected state is {path: sha256 hex}.
"""

import hashlib
import os
import random

SEED = "kuvet-bench-1"
BASE_MTIME = 1700000000      # generated files get fixed, old modification times
CHUNK = 16 << 20


def _generator(path, version):
    return random.Random(("%s|%s|%d" % (SEED, path, version)).encode())


def content(path, size, version=0):
    return _generator(path, version).randbytes(size)


def digest(data):
    return hashlib.sha256(data).hexdigest()


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return h.hexdigest()
            h.update(block)


class Tree:
    """A folder of files described by (path, size) pairs."""

    def __init__(self, files):
        self.files = list(files)
        self.size_of = dict(self.files)

    def write(self, root):
        """Writes the tree under root; returns its expected state."""
        expected = {}
        made = set()
        for index, (path, size) in enumerate(self.files):
            folder = os.path.dirname(path)
            if folder not in made:
                os.makedirs(os.path.join(root, folder), exist_ok=True)
                made.add(folder)
            data = content(path, size)
            target = os.path.join(root, path)
            with open(target, "wb") as f:
                f.write(data)
            os.utime(target, (BASE_MTIME + index, BASE_MTIME + index))
            expected[path] = digest(data)
        return expected

    def changes(self, run, count):
        """The paths that timed run `run` (1-based) edits, the same for every tool."""
        picker = random.Random(("%s|change|%d" % (SEED, run)).encode())
        return sorted(path for path, _ in picker.sample(self.files, count))

    def edit(self, root, run, count, mtime, expected):
        """Gives `count` files new contents (same size) and the time mtime;
        updates expected to match. Returns the edited paths."""
        edited = self.changes(run, count)
        for path in edited:
            data = content(path, self.size_of[path], version=run)
            target = os.path.join(root, path)
            with open(target, "wb") as f:
                f.write(data)
            os.utime(target, (mtime, mtime))
            expected[path] = digest(data)
        return edited


def uniform_tree(folders, per_folder, size):
    """per_folder files of `size` bytes in each of `folders` folders."""
    return Tree(("d%02d/f%04d.bin" % (d, f), size)
                for d in range(folders) for f in range(per_folder))


def small_files_tree(count):
    """`count` small files (256 B to 4 KiB, sizes fixed by the path) in two
    levels of folders of at most 100 files each."""
    files = []
    for i in range(count):
        path = "t%02d/s%02d/f%03d.txt" % (i // 1000, (i // 100) % 10, i % 100)
        size = 256 + int(hashlib.sha256(path.encode()).hexdigest()[:8], 16) % 3841
        files.append((path, size))
    return Tree(files)


def write_big(path, size):
    """Writes one large file (its key is its base name); returns its digest."""
    name = os.path.basename(path)
    generator = _generator(name, 0)
    h = hashlib.sha256()
    with open(path, "wb") as f:
        left = size
        while left > 0:
            block = generator.randbytes(min(CHUNK, left))
            h.update(block)
            f.write(block)
            left -= len(block)
    return h.hexdigest()


def folder_state(root, skip):
    """{relative path: sha256} of every file under root, names in skip left
    out (a tool's own state files)."""
    state = {}
    for folder, _, names in os.walk(root):
        for name in names:
            if name in skip:
                continue
            path = os.path.join(folder, name)
            state[os.path.relpath(path, root).replace(os.sep, "/")] = file_digest(path)
    return state


def compare(found, expected, skip=()):
    """'' when found equals expected (keys in skip ignored), else a short
    description of the first differences."""
    found = {k: v for k, v in found.items() if k not in skip}
    missing = sorted(set(expected) - set(found))
    extra = sorted(set(found) - set(expected))
    wrong = sorted(k for k in set(found) & set(expected) if found[k] != expected[k])
    problems = []
    for label, keys in (("missing", missing), ("extra", extra), ("different", wrong)):
        if keys:
            problems.append("%d %s (%s)" % (len(keys), label, ", ".join(keys[:3])))
    return "; ".join(problems)
