"""Runs the benchmark scenarios for every tool against s3rver and prints the
Markdown report. Started by bench/run after installing and building; see
bench/run for the options.

Each tool gets, per group of scenarios, its own s3rver (fresh port, data
folder and buckets), behind the latency proxy for the small-file groups.
Every timed run is checked afterwards: the bucket and the folder must hold
exactly the expected bytes (tools' own state files left out), so no tool
wins by doing less.
"""

import argparse
import contextlib
import datetime
import hashlib
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import data
import proxy
import report
import scale
import store
import tools

RUN_TIMEOUT = 1800     # seconds; turns a hang into a failed cell
SCALE_TIMEOUT = 900    # for one sync of the scale scenario
RUNS = 3               # timed runs per cell unless --runs says otherwise, but one
ONCE = ("put6g", "get6g", "scale1m")   # for these and at round trips above 0: a run
                                       # takes minutes, and the delays vary little


class Failed(Exception):
    """A run that exited badly or left the wrong bytes."""


def log(text):
    sys.stderr.write("[%s] %s\n" % (time.strftime("%H:%M:%S"), text))
    sys.stderr.flush()


def count_text(n):
    return format(n, ",")


def size_text(mib):
    return "%d GiB" % (mib // 1024) if mib % 1024 == 0 else "%d MiB" % mib


class FileSet:
    """One small-file scenario set: `files` files of 4 KiB in `folders` folders."""

    def __init__(self, name, files, folders):
        self.name, self.files, self.folders = name, files, folders
        self.tree = data.uniform_tree(folders, files // folders, 4096)
        self.up, self.same, self.down = "up" + name, "same" + name, "down" + name

    def titles(self):
        what = "%s × 4 KiB in %d folders" % (count_text(self.files), self.folders)
        return [(self.up, "upload %s into an empty bucket" % what),
                (self.down, "download %s into an empty folder" % what),
                (self.same, "sync %s again, nothing changed" % what)]


class BigFile:
    """One large file put and got whole: (scenario ids, size, made sparse)."""

    def __init__(self, name, mib, sparse):
        self.name, self.mib, self.sparse = name, mib, sparse
        self.put, self.get = "put" + name, "get" + name
        self.key = "big%s.bin" % name

    def titles(self):
        what = "one %s%s file" % ("sparse " if self.sparse else "", size_text(self.mib))
        return [(self.put, "upload %s" % what),
                (self.get, "download %s into an empty folder" % what)]


def plan(quick):
    """The sizes: (file sets, big files, scale entry counts)."""
    if quick:
        sets = [FileSet("500", 100, 10), FileSet("2k", 200, 20)]
        big = [BigFile("1g", 64, False), BigFile("6g", 256, True)]
        return sets, big, [("scale100k", 10000), ("scale1m", 50000)]
    sets = [FileSet("500", 500, 10), FileSet("2k", 2000, 20)]
    big = [BigFile("1g", 1024, False), BigFile("6g", 6144, True)]
    return sets, big, [("scale100k", 100000), ("scale1m", 1000000)]


def parse_args(argv):
    p = argparse.ArgumentParser(prog="bench/run")
    p.add_argument("--quick", action="store_true")
    p.add_argument("--runs", type=int)
    p.add_argument("--rtts", default="0,20,60")
    p.add_argument("--tools", default=",".join(tools.ALL))
    p.add_argument("--scenarios", default="all")
    p.add_argument("--work")
    p.add_argument("--keep", action="store_true")
    p.add_argument("--output")
    p.add_argument("--repo", required=True)
    p.add_argument("--kuvet", required=True)
    a = p.parse_args(argv)
    if a.quick and not a.runs:
        a.runs = 1
    a.sets, a.big, a.scale = plan(a.quick)
    a.rtts = [None if r == "direct" else float(r) for r in a.rtts.split(",") if r]
    a.tools = [t for t in a.tools.split(",") if t]
    for t in a.tools:
        if t not in tools.ALL:
            p.error("unknown tool %s (known: %s)" % (t, ", ".join(tools.ALL)))
    known = [s for fs in a.sets for s, _ in fs.titles()]
    known += [s for b in a.big for s, _ in b.titles()] + [s for s, _ in a.scale]
    a.scenarios = known if a.scenarios == "all" else a.scenarios.split(",")
    for s in a.scenarios:
        if s not in known:
            p.error("unknown scenario %s (known: %s)" % (s, ", ".join(known)))
    return a


def rtt_name(rtt):
    return "direct" if rtt is None else "%g ms" % rtt


class Bench:
    def __init__(self, a):
        self.a = a
        self.work = a.work or tempfile.mkdtemp(prefix="kuvet-bench-")
        os.makedirs(self.work, exist_ok=True)
        self.logs = os.path.join(self.work, "logs")
        os.makedirs(self.logs, exist_ok=True)
        self.cells = {}     # (table, scenario, tool) -> report.Cell
        self.notes = []

    # --- running and checking -------------------------------------------

    def run(self, job, name, timeout=RUN_TIMEOUT):
        """Runs a job under /usr/bin/time -v; (wall seconds, peak RSS kB).
        Raises Failed on a bad exit."""
        os.sync()   # earlier writes must not be flushed inside the timed window
        timing = os.path.join(self.logs, name + ".time")
        output = os.path.join(self.logs, name + ".log")
        with open(output, "wb") as out:
            start = time.perf_counter()
            try:
                status = subprocess.run(["/usr/bin/time", "-v", "-o", timing] + job.argv,
                                        cwd=job.cwd, env=job.env, stdin=subprocess.DEVNULL,
                                        stdout=out, stderr=subprocess.STDOUT,
                                        timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                raise Failed("no end after %d s" % timeout)
            wall = time.perf_counter() - start
        rss = 0
        with open(timing) as f:
            for line in f:
                if "Maximum resident set size" in line:
                    rss = int(line.split(":")[-1])
        if status != 0:
            with open(output, "rb") as f:
                tail = f.read()[-600:].decode("utf-8", "replace").strip().splitlines()
            raise Failed("exit status %d (%s)" % (status, " / ".join(tail[-3:])))
        return wall, rss

    def measure(self, table, scenario, tool, job, run, check, timeout=RUN_TIMEOUT):
        """One timed run of a scenario: runs, checks, records."""
        cell = self.cells.setdefault((table, scenario, tool.name), report.Cell())
        name = "%s-%s-%s-%d" % (table.replace(" ", ""), scenario, tool.name, run)
        try:
            wall, rss = self.run(job, name, timeout)
            cell.add(wall, rss)
            problem = check()
            if problem:
                raise Failed("check: " + problem)
            log("%-7s %-10s %-9s run %d: %s, %s" % (table, scenario, tool.name, run,
                                                   report.seconds(wall), report.mib(rss)))
        except Failed as e:
            cell.failure = cell.failure or str(e)
            log("%-7s %-10s %-9s run %d FAILED: %s" % (table, scenario, tool.name, run, e))
            raise
        return os.path.join(self.logs, name + ".log")

    def setup(self, jobs, name):
        """Untimed setup jobs (a two-way peer's first run); Failed on a bad exit."""
        for k, job in enumerate(jobs):
            self.run(job, "%s-setup-%d" % (name, k))

    def fail_rest(self, table, scenarios, tool, reason):
        for s in scenarios:
            if s in self.a.scenarios:
                cell = self.cells.setdefault((table, s, tool.name), report.Cell())
                cell.failure = cell.failure or reason

    @staticmethod
    def bucket_check(server, bucket, expected, tool):
        found = {k: data.file_digest(p) for k, p in server.objects(bucket).items()}
        problem = data.compare(found, expected, tool.bucket_state)
        return "bucket: " + problem if problem else ""

    @staticmethod
    def folder_check(folder, expected, tool):
        problem = data.compare(data.folder_state(folder, tool.folder_state), expected)
        return "folder: " + problem if problem else ""

    def both_check(self, server, bucket, folder, expected, tool):
        return lambda: (self.bucket_check(server, bucket, expected, tool)
                        or self.folder_check(folder, expected, tool))

    def selected(self, *names):
        return any(n in self.a.scenarios for n in names)

    def runs(self, scenario, rtt=None):
        if self.a.runs:
            return self.a.runs
        return 1 if scenario in ONCE or (rtt or 0) > 0 else RUNS

    @staticmethod
    @contextlib.contextmanager
    def address(server, rtt):
        """The port the tools use: the proxy's at rtt, or s3rver's own (direct)."""
        if rtt is None:
            yield server.port
        else:
            with proxy.Relay(server.port, rtt) as relay:
                yield relay.port

    # --- data -------------------------------------------------------------

    def generate(self):
        start = time.perf_counter()
        for fs in self.a.sets:
            if self.selected(fs.up, fs.same, fs.down):
                fs.src = os.path.join(self.work, "src-" + fs.name)
                fs.expected = fs.tree.write(fs.src)
        for big in self.a.big:
            if self.selected(big.put, big.get):
                big.folder = os.path.join(self.work, "src-" + big.name)
                os.makedirs(big.folder)
                big.path = os.path.join(big.folder, big.key)
                write = data.write_sparse if big.sparse else data.write_big
                big.expected = {big.key: write(big.path, big.mib << 20)}
        log("data generated in %.1f s under %s" % (time.perf_counter() - start, self.work))

    # --- scenario groups ----------------------------------------------------

    def small_files(self, tool, rtt, fs):
        """Upload, nothing changed, download of one file set at one round
        trip, for one tool. Every folder is bound to its bucket while both
        are empty; the upload copies the files in afterwards."""
        table = rtt_name(rtt)
        a = self.a
        runs = self.runs(fs.up, rtt)
        uploads = runs if fs.up in a.scenarios else 1
        downloads = runs if fs.down in a.scenarios else 0
        buckets = ["up-%d" % k for k in range(1, uploads + 1)]
        home = os.path.join(self.work, tool.name)
        with store.S3rver(a.repo, self.work, buckets) as server, self.address(server, rtt) as port:
            tool.attach(port)
            try:
                ups = []
                for bucket in buckets:
                    ups.append(os.path.join(home, bucket))
                    os.makedirs(ups[-1])
                    self.setup(tool.prepare_folder(ups[-1], bucket), "%s-%s" % (tool.name, bucket))
                downs = []
                for k in range(1, downloads + 1):
                    downs.append(os.path.join(home, "down-%d" % k))
                    os.makedirs(downs[-1])
                    self.setup(tool.prepare_folder(downs[-1], buckets[-1]), "%s-down-%d" % (tool.name, k))
                for k, (bucket, folder) in enumerate(zip(buckets, ups), 1):
                    shutil.copytree(fs.src, folder, copy_function=shutil.copy2, dirs_exist_ok=True)
                    job = tool.sync_up(folder, bucket)
                    check = self.both_check(server, bucket, folder, fs.expected, tool)
                    if fs.up in a.scenarios:
                        self.measure(table, fs.up, tool, job, k, check)
                    else:
                        self.run(job, "%s-%s-upload" % (tool.name, bucket))
                        problem = check()
                        if problem:
                            raise Failed("check: " + problem)
            except Failed as e:
                self.fail_rest(table, (fs.up, fs.same, fs.down), tool, "setup or upload failed: %s" % e)
                shutil.rmtree(home, ignore_errors=True)
                return
            bucket, folder = buckets[-1], ups[-1]
            if fs.same in a.scenarios:
                with contextlib.suppress(Failed):
                    for k in range(1, runs + 1):
                        self.measure(table, fs.same, tool, tool.sync_up(folder, bucket), k,
                                     self.both_check(server, bucket, folder, fs.expected, tool))
            with contextlib.suppress(Failed):
                for k, target in enumerate(downs, 1):
                    self.measure(table, fs.down, tool, tool.sync_down(bucket, target), k,
                                 lambda: self.folder_check(target, fs.expected, tool))
                    shutil.rmtree(target)
        shutil.rmtree(home, ignore_errors=True)

    def big_file(self, tool, big):
        """One large object up, then down, for one tool, straight to s3rver."""
        table = "big"
        home = os.path.join(self.work, tool.name)
        target_folder = os.path.join(home, "get")
        os.makedirs(target_folder)
        target = os.path.join(target_folder, big.key)
        with store.S3rver(self.a.repo, self.work, ["big"]) as server:
            tool.attach(server.port)
            check_up = lambda: self.bucket_check(server, "big", big.expected, tool)
            puts = self.runs(big.put) if big.put in self.a.scenarios else 1
            try:
                for k in range(1, puts + 1):
                    server.remove_object("big", big.key)
                    job = tool.put(big.path, "big", big.key)
                    if big.put in self.a.scenarios:
                        self.measure(table, big.put, tool, job, k, check_up)
                    else:
                        self.run(job, "%s-%s-upload" % (tool.name, big.name))
                        problem = check_up()
                        if problem:
                            raise Failed("check: " + problem)
            except Failed as e:
                self.fail_rest(table, (big.get,), tool, "upload failed: %s" % e)
                shutil.rmtree(home, ignore_errors=True)
                return
            if big.get in self.a.scenarios:
                with contextlib.suppress(Failed):
                    for k in range(1, self.runs(big.get) + 1):
                        if os.path.exists(target):
                            os.unlink(target)
                        self.measure(table, big.get, tool, tool.get("big", big.key, target), k,
                                     lambda: self.folder_check(target_folder, big.expected, tool))
        shutil.rmtree(home, ignore_errors=True)

    def scale_sync(self, tool, scenario, count):
        """kuvet's sync of a folder and a store that agree on `count` entries,
        their state files written directly; the record is put back before
        each run (a sync may rewrite it). The folder is kept for later runs
        in build-release/bench-scale/."""
        start = time.perf_counter()
        tree = scale.Tree(count)
        cache = os.path.join(self.a.repo, "build-release", "bench-scale")
        name = "files-%d" % count
        fresh = not os.path.exists(os.path.join(cache, name + ".complete"))
        folder = tree.kept(cache, name)
        manifest = tree.manifest()
        self.notes.append("%s: %s files in %d folders, a %.1f MB manifest; %s in %.0f s."
                          % (scenario, count_text(count), len(tree.folders), len(manifest) / 1e6,
                             "generated" if fresh else "files kept from an earlier run, the rest made",
                             time.perf_counter() - start))
        log(self.notes[-1])
        with store.S3rver(self.a.repo, self.work, ["scale"]) as server:
            tool.attach(server.port)
            etag = '"%s"' % hashlib.md5(manifest).hexdigest()
            status, _, _ = server.request("PUT", "scale", ".manifest", manifest)
            got, sent_etag, body = server.request("GET", "scale", ".manifest")
            if status != 200 or got != 200 or body != manifest or sent_etag != etag:
                self.fail_rest("scale", (scenario,), tool, "the store did not keep .manifest "
                               "(PUT %d, GET %d, ETag %s)" % (status, got, sent_etag))
                return
            tool.prepare_folder(folder, "scale")
            record = scale.write_state(folder, tool.url("scale"), etag, tree)
            manifest_path = server.objects("scale")[".manifest"]

            def check():
                objects = server.objects("scale")
                if list(objects) != [".manifest"] or data.file_digest(manifest_path) != data.digest(manifest):
                    return "the store changed"
                return tree.folder_state(folder)

            try:
                for k in range(1, self.runs(scenario) + 1):
                    scale.restore_record(folder, record)
                    output = self.measure("scale", scenario, tool, tool.sync_up(folder, "scale"), k,
                                          check, SCALE_TIMEOUT)
                    cell = self.cells[("scale", scenario, tool.name)]
                    cell.note = cell.note or scale.what_sync_did(output, folder, record)
            except Failed:
                os.unlink(os.path.join(cache, name + ".complete"))   # written anew next time

    # --- the whole run ------------------------------------------------------

    def machine(self):
        model, cores, memory = "?", 0, "?"
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("processor"):
                    cores += 1
                elif line.startswith("model name") and model == "?":
                    model = line.split(":", 1)[1].strip()
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    memory = "%.1f GiB" % (int(line.split()[1]) / 1024.0 / 1024.0)
        return "%s, %d cores, %s memory, Linux %s" % (model, cores, memory, platform.release())

    def versions(self, instances):
        found, seen = [], set()
        for tool in instances:
            text = tool.version()
            if text not in seen:
                found.append(text)
                seen.add(text)
        try:
            with open(os.path.join(self.a.repo, "node_modules", "s3rver", "package.json")) as f:
                s3rver = json.load(f).get("version", "?")
        except (OSError, ValueError):
            s3rver = "?"
        found.append("s3rver %s on Node.js %s" % (s3rver, tools.first_line([store.node(), "--version"])))
        return "; ".join(found)

    def tables(self, instances):
        """The report's tables: one per round trip, the large files, the scale."""
        a, names = self.a, [t.name for t in instances]
        result = []
        rows = [r for fs in a.sets for r in fs.titles() if r[0] in a.scenarios]
        for rtt in a.rtts:
            title = ("Small files, straight to the store (no proxy)" if rtt is None else
                     "Small files at a round trip of %g ms" % rtt)
            result.append(report.Table(rtt_name(rtt), title, rows,
                                       [t.name for t in instances if t.folders]))
        rows = [r for b in a.big for r in b.titles() if r[0] in a.scenarios]
        result.append(report.Table("big", "Large files, straight to the store", rows,
                                   [t.name for t in instances if t.files], reference="curl"))
        rows = [(s, "sync %s entries, nothing changed" % count_text(n))
                for s, n in a.scale if s in a.scenarios]
        result.append(report.Table("scale", "Scale: no-change sync, kuvet only", rows,
                                   [n for n in names if n == "kuvet"], notes=True))
        return [t for t in result if t.rows and t.tools]

    def main(self):
        a = self.a
        started = time.perf_counter()
        when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        load = os.getloadavg()
        instances = [tools.make(name, self.work, a.kuvet, a.repo) for name in a.tools]
        self.generate()
        for rtt in a.rtts:
            for fs in a.sets:
                if self.selected(fs.up, fs.same, fs.down):
                    for tool in instances:
                        if tool.folders:
                            self.small_files(tool, rtt, fs)
        for big in a.big:
            for tool in instances:
                if self.selected(big.put, big.get) and (tool.huge if big.sparse else tool.files):
                    self.big_file(tool, big)
            if self.selected(big.put, big.get):
                shutil.rmtree(big.folder, ignore_errors=True)
        for scenario, count in a.scale:
            for tool in instances:
                if scenario in a.scenarios and tool.name == "kuvet":
                    self.scale_sync(tool, scenario, count)
        total = time.perf_counter() - started
        meta = [
            ("Date", when),
            ("Machine", self.machine()),
            ("Load average at start", "%.2f %.2f %.2f" % load),
            ("Tools", self.versions(instances)),
            ("Runs", "%s; median wall time; peak RSS is the largest \"Maximum resident "
             "set size\" of /usr/bin/time -v over the runs"
             % ("%d timed runs per cell" % a.runs if a.runs else
                "%d timed runs per cell, one at round trips above 0 and for %s"
                % (RUNS, ", ".join(ONCE)))),
            ("Whole benchmark", "%.1f min (data generation, setups and checks included)%s"
             % (total / 60.0, "; --quick: every size cut down" if a.quick else "")),
        ]
        notes = [
            "The small-file tables run through bench/proxy.py, which delays each direction by "
            "half the round trip and a new connection's first bytes by one round trip more "
            "(the TCP handshake); at 0 ms it only relays.",
            "rclone-16 and rclone-4: rclone sync with --transfers 16 and 4 (4 is rclone's "
            "default); for one large file rclone-4 is rclone copyto with its defaults. aws: "
            "aws s3 sync and cp with their defaults (10 requests at a time). bisync: rclone "
            "bisync with rclone's defaults; before its timed runs, each folder and bucket get "
            "bisync's check file RCLONE_TEST and one --resync run while otherwise empty.",
        ] + self.notes
        text = report.render(meta, self.tables(instances), self.cells, notes)
        print(text, end="")
        if a.output:
            with open(a.output, "w") as f:
                f.write(text)
        failed = any(c.failure for c in self.cells.values())
        if not a.keep and not failed:
            shutil.rmtree(self.work, ignore_errors=True)
        else:
            log("work folder kept: %s (logs in %s)" % (self.work, self.logs))
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(Bench(parse_args(sys.argv[1:])).main())
