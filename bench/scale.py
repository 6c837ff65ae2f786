"""The scale scenario's data: a folder of many tiny files, and the state files
by which the folder and the store agree on it, written directly (uploading a
million objects would take hours):

  - the store's ".manifest": {key: time, folder key + "/": time,
    "_revision": revision}, put with one signed request;
  - the folder's "_revision" and its record ".kuvet-synced" (record_text()
    alone knows that format).

The objects themselves are not in the store: a sync that finds nothing
changed never reads them.
"""

import hashlib
import json
import os
import shutil

TIME = 1765000000              # every file's and folder's time, and the revision
TIME_NS = TIME * 1000000000
FOLDERS = 1000


class Tree:
    """`count` files of a few bytes in FOLDERS folders (d000 ... d999), each
    holding its own key as text."""

    def __init__(self, count):
        self.folders = ["d%03d/" % d for d in range(min(FOLDERS, count))]
        self.files = {}        # key -> (size, MD5 hex), folder by folder
        n = len(self.folders)
        for d, folder in enumerate(self.folders):
            for f in range(count // n + (d < count % n)):
                key = "%sf%04d.txt" % (folder, f)
                self.files[key] = (len(key) + 1, hashlib.md5(body(key)).hexdigest())

    def write(self, root):
        """Writes the files and gives them and their folders the fixed time."""
        for folder in self.folders:
            os.makedirs(os.path.join(root, folder), exist_ok=True)
        for key in self.files:
            fd = os.open(os.path.join(root, key), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            try:
                os.write(fd, body(key))
                os.utime(fd, ns=(TIME_NS, TIME_NS))
            finally:
                os.close(fd)
        for folder in self.folders:
            os.utime(os.path.join(root, folder), ns=(TIME_NS, TIME_NS))

    def kept(self, cache, name):
        """The tree's folder under cache, written unless a whole one is there
        from an earlier run (the files never change; writing a million
        takes minutes); the caller drops its mark if a check fails."""
        root = os.path.join(cache, name)
        if not os.path.exists(root + ".complete"):
            shutil.rmtree(root, ignore_errors=True)
            self.write(root)
            open(root + ".complete", "w").close()
        return root

    def manifest(self):
        """The store's .manifest for the tree, as bytes."""
        entries = {key: TIME for key in list(self.files) + self.folders}
        entries["_revision"] = TIME
        return json.dumps(ordered(entries), separators=(",", ":")).encode()

    def folder_state(self, root):
        """'' when root holds exactly the tree's files with their sizes and
        times (kuvet's own files aside), else the first difference."""
        found = 0
        for folder, _, names in os.walk(root):
            for name in names:
                path = os.path.join(folder, name)
                key = os.path.relpath(path, root).replace(os.sep, "/")
                if key in STATE_FILES:
                    continue
                if key not in self.files:
                    return "extra file " + key
                st = os.stat(path)
                if st.st_size != self.files[key][0] or st.st_mtime_ns != TIME_NS:
                    return "changed: " + key
                found += 1
        return "" if found == len(self.files) else "%d files missing" % (len(self.files) - found)


STATE_FILES = (".kuvet", ".kuvet-synced", "_revision")


def body(key):
    return key.encode() + b"\n"


def ordered(entries):
    """entries with its keys in bytewise order of their UTF-8 text."""
    return {key: entries[key] for key in sorted(entries, key=lambda k: k.encode())}


def record_text(url, manifest_etag, tree):
    """The folder's record .kuvet-synced: for each file its time in the
    store, size, the object's ETag and its local time in nanoseconds; for
    each folder its time."""
    files = {key: [TIME, size, '"%s"' % md5, TIME_NS] for key, (size, md5) in tree.files.items()}
    files.update({folder: [TIME] for folder in tree.folders})
    return json.dumps({"kuvet_url": url, "manifest_etag": manifest_etag, "conditional": "no",
                       "files": ordered(files)}, separators=(",", ":"))


def write_state(root, url, manifest_etag, tree):
    """Writes the folder's _revision and record (its .kuvet is the tool's);
    returns the record's text, to restore it between runs."""
    revision = os.path.join(root, "_revision")
    with open(revision, "w") as f:
        f.write(str(TIME))
    os.utime(revision, ns=(TIME_NS, TIME_NS))
    text = record_text(url, manifest_etag, tree)
    restore_record(root, text)
    return text


def restore_record(root, text):
    with open(os.path.join(root, ".kuvet-synced"), "w") as f:
        f.write(text)


def what_sync_did(log_path, root, record):
    """A few words on what a sync did, from its output and the record it left."""
    with open(log_path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    done = []
    for label, prefix in (("sent", " -> "), ("fetched", " <- "), ("deleted here", " x- "),
                          ("deleted in the store", " -x ")):
        n = sum(1 for line in lines if line.startswith(prefix))
        if n:
            done.append("%s %s" % (count_text(n), label))
    warnings = sum(1 for line in lines if line.startswith("Warning!"))
    if warnings:
        done.append("%s warnings" % count_text(warnings))
    with open(os.path.join(root, ".kuvet-synced")) as f:
        left = f.read()
    if left == record:
        done.append("left the record as it was")
    else:
        files = json.loads(left).get("files", {})
        old = any(not isinstance(value, list) for value in files.values())
        done.append("rewrote the record (%s, %s entries)" % (
            "old format: key and time" if old else "new format", count_text(len(files))))
    return "; ".join(done)


def count_text(n):
    return format(n, ",")
