"""Runs the benchmark scenarios for every tool against s3rver and prints the
Markdown report. Started by bench/run after installing and building; see
bench/run for the options.

Each tool gets, per group of scenarios, its own s3rver (fresh port, data
folder and buckets). Every timed run is checked afterwards: the bucket and
the folder must hold exactly the expected bytes (tools' own state files left
out), so no tool wins by doing less.
"""

import argparse
import datetime
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import data
import report
import store
import tools

RUN_TIMEOUT = 1800   # seconds; turns a hang into a failed cell
EDITED = 10          # files changed before each run of the change scenario


class Failed(Exception):
    """A run that exited badly or left the wrong bytes."""


def log(text):
    sys.stderr.write("[%s] %s\n" % (time.strftime("%H:%M:%S"), text))
    sys.stderr.flush()


def parse_args(argv):
    p = argparse.ArgumentParser(prog="bench/run")
    p.add_argument("--quick", action="store_true")
    p.add_argument("--runs", type=int)
    p.add_argument("--files", type=int)
    p.add_argument("--many", type=int)
    p.add_argument("--big-mib", type=int)
    p.add_argument("--tools", default=",".join(tools.ALL))
    p.add_argument("--scenarios", default="all")
    p.add_argument("--work")
    p.add_argument("--keep", action="store_true")
    p.add_argument("--output")
    p.add_argument("--repo", required=True)
    p.add_argument("--kuvet", required=True)
    a = p.parse_args(argv)
    quick = a.quick
    a.runs = a.runs or (1 if quick else 3)
    a.files = a.files or (200 if quick else 2000)
    a.many = a.many or (2000 if quick else 20000)
    a.big_mib = a.big_mib or (64 if quick else 1024)
    a.tools = [t for t in a.tools.split(",") if t]
    for t in a.tools:
        if t not in tools.ALL:
            p.error("unknown tool %s (known: %s)" % (t, ", ".join(tools.ALL)))
    known = [s for s, _ in scenario_titles(a)]
    a.scenarios = known if a.scenarios == "all" else a.scenarios.split(",")
    for s in a.scenarios:
        if s not in known:
            p.error("unknown scenario %s (known: %s)" % (s, ", ".join(known)))
    if a.files % 20 or a.files <= 0:
        p.error("--files must be a positive multiple of 20 (20 folders)")
    return a


def size_text(mib):
    return "%d GiB" % (mib // 1024) if mib % 1024 == 0 else "%d MiB" % mib


def scenario_titles(a):
    return [
        ("upload", "upload %s × 4 KiB files in 20 folders into an empty bucket" % format(a.files, ",")),
        ("nochange", "sync the %s files again, no change" % format(a.files, ",")),
        ("download", "download the %s files into an empty folder" % format(a.files, ",")),
        ("nochange-many", "sync %s small files, no change" % format(a.many, ",")),
        ("change-many", "sync after %d of %s files changed" % (EDITED, format(a.many, ","))),
        ("put-big", "upload one %s file" % size_text(a.big_mib)),
        ("get-big", "download one %s file" % size_text(a.big_mib)),
    ]


class Bench:
    def __init__(self, a):
        self.a = a
        self.work = a.work or tempfile.mkdtemp(prefix="kuvet-bench-")
        os.makedirs(self.work, exist_ok=True)
        self.logs = os.path.join(self.work, "logs")
        os.makedirs(self.logs, exist_ok=True)
        self.cells = {}
        self.notes = []
        self.titles = scenario_titles(a)

    # --- running and checking -------------------------------------------

    def run(self, job, name):
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
                                        timeout=RUN_TIMEOUT).returncode
            except subprocess.TimeoutExpired:
                raise Failed("no end after %d s" % RUN_TIMEOUT)
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

    def measure(self, scenario, tool, job, run, check):
        """One timed run of a scenario: runs, checks, records."""
        cell = self.cells.setdefault((scenario, tool.name), report.Cell())
        name = "%s-%s-%d" % (scenario, tool.name, run)
        try:
            wall, rss = self.run(job, name)
            cell.add(wall, rss)
            problem = check()
            if problem:
                raise Failed("check: " + problem)
            log("%-13s %-8s run %d: %s, %s" % (scenario, tool.name, run,
                                              report.seconds(wall), report.mib(rss)))
        except Failed as e:
            cell.failure = cell.failure or str(e)
            log("%-13s %-8s run %d FAILED: %s" % (scenario, tool.name, run, e))
            raise

    def untimed(self, tool, job, name, check):
        """A setup step: runs and checks; returns the wall time."""
        wall, _ = self.run(job, name + "-" + tool.name)
        problem = check()
        if problem:
            raise Failed("check after %s: %s" % (name, problem))
        return wall

    def fail_rest(self, scenarios, tool, reason):
        for s in scenarios:
            if s in self.a.scenarios:
                cell = self.cells.setdefault((s, tool.name), report.Cell())
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

    def copy_tree(self, source, target):
        shutil.copytree(source, target, copy_function=shutil.copy2)
        return target

    def selected(self, *names):
        return any(n in self.a.scenarios for n in names)

    # --- data -------------------------------------------------------------

    def generate(self):
        a = self.a
        start = time.perf_counter()
        self.small_tree = data.uniform_tree(20, a.files // 20, 4096)
        self.small_src = os.path.join(self.work, "src-small")
        self.small_expected = self.small_tree.write(self.small_src)
        self.many_tree = data.small_files_tree(a.many)
        if self.selected("nochange-many", "change-many"):
            self.many_src = os.path.join(self.work, "src-many")
            self.many_expected = self.many_tree.write(self.many_src)
        if self.selected("put-big", "get-big"):
            self.big_folder = os.path.join(self.work, "big")
            os.makedirs(self.big_folder)
            self.big_path = os.path.join(self.big_folder, "big.bin")
            self.big_expected = {"big.bin": data.write_big(self.big_path, a.big_mib << 20)}
        log("data generated in %.1f s under %s" % (time.perf_counter() - start, self.work))

    # --- scenario groups ----------------------------------------------------

    def small_files(self, tool):
        """upload, then sync with no change, then download, for one tool."""
        runs = self.a.runs
        group = ("upload", "nochange", "download")
        uploads = runs if "upload" in self.a.scenarios else 1
        home = os.path.join(self.work, tool.name)
        with store.S3rver(self.a.repo, self.work, ["up-%d" % k for k in range(1, uploads + 1)]) as server:
            tool.attach(server)
            try:
                for k in range(1, uploads + 1):
                    bucket = "up-%d" % k
                    folder = self.copy_tree(self.small_src, os.path.join(home, bucket))
                    tool.prepare_folder(folder, bucket)
                    job = tool.sync_up(folder, bucket)
                    check = self.both_check(server, bucket, folder, self.small_expected, tool)
                    if "upload" in self.a.scenarios:
                        self.measure("upload", tool, job, k, check)
                    else:
                        self.untimed(tool, job, "upload", check)
            except Failed as e:
                self.fail_rest(group, tool, "upload failed: %s" % e)
                return
            if "nochange" in self.a.scenarios:
                try:
                    for k in range(1, runs + 1):
                        self.measure("nochange", tool, tool.sync_up(folder, bucket), k,
                                     self.both_check(server, bucket, folder, self.small_expected, tool))
                except Failed:
                    pass
            if "download" in self.a.scenarios:
                try:
                    for k in range(1, runs + 1):
                        target = os.path.join(home, "down-%d" % k)
                        os.makedirs(target)
                        tool.prepare_folder(target, bucket)
                        self.measure("download", tool, tool.sync_down(bucket, target), k,
                                     lambda: self.folder_check(target, self.small_expected, tool))
                        shutil.rmtree(target)
                except Failed:
                    pass
        shutil.rmtree(home, ignore_errors=True)

    def many_files(self, tool):
        """A large folder uploaded untimed, then synced with no change, then
        synced after a few edits before each run."""
        runs = self.a.runs
        group = ("nochange-many", "change-many")
        home = os.path.join(self.work, tool.name)
        bucket = "many"
        expected = dict(self.many_expected)
        with store.S3rver(self.a.repo, self.work, [bucket]) as server:
            tool.attach(server)
            folder = self.copy_tree(self.many_src, os.path.join(home, bucket))
            tool.prepare_folder(folder, bucket)
            check = self.both_check(server, bucket, folder, expected, tool)
            try:
                wall = self.untimed(tool, tool.sync_up(folder, bucket), "many-setup", check)
            except Failed as e:
                self.fail_rest(group, tool, "setup upload failed: %s" % e)
                return
            self.setup_times.append("%s %s" % (tool.name, report.seconds(wall)))
            log("%-13s %-8s untimed upload of %d files: %s" % ("setup", tool.name,
                                                              len(expected), report.seconds(wall)))
            if "nochange-many" in self.a.scenarios:
                try:
                    for k in range(1, runs + 1):
                        self.measure("nochange-many", tool, tool.sync_up(folder, bucket), k, check)
                except Failed:
                    pass
            if "change-many" in self.a.scenarios:
                try:
                    for k in range(1, runs + 1):
                        self.many_tree.edit(folder, k, EDITED, self.edit_time(tool, folder), expected)
                        self.measure("change-many", tool, tool.sync_up(folder, bucket), k, check)
                except Failed:
                    pass
        shutil.rmtree(home, ignore_errors=True)

    @staticmethod
    def edit_time(tool, folder):
        """Now, in whole seconds; for kuvet also past its last revision, since
        it tells changes apart by whole-second times."""
        now = int(time.time())
        try:
            with open(os.path.join(folder, "_revision")) as f:
                now = max(now, int(float(f.read().strip() or 0)) + 1)
        except (OSError, ValueError):
            pass
        return now

    def big_file(self, tool):
        """One large object up, then down, for one tool."""
        runs = self.a.runs
        bucket, key = "big", "big.bin"
        home = os.path.join(self.work, tool.name)
        target_folder = os.path.join(home, "get")
        os.makedirs(target_folder)
        target = os.path.join(target_folder, key)
        with store.S3rver(self.a.repo, self.work, [bucket]) as server:
            tool.attach(server)
            check_up = lambda: self.bucket_check(server, bucket, self.big_expected, tool)
            puts = runs if "put-big" in self.a.scenarios else 1
            try:
                for k in range(1, puts + 1):
                    server.remove_object(bucket, key)
                    job = tool.put(self.big_path, bucket, key)
                    if "put-big" in self.a.scenarios:
                        self.measure("put-big", tool, job, k, check_up)
                    else:
                        self.untimed(tool, job, "put-big", check_up)
            except Failed as e:
                self.fail_rest(("get-big",), tool, "upload failed: %s" % e)
                return
            if "get-big" in self.a.scenarios:
                try:
                    for k in range(1, runs + 1):
                        if os.path.exists(target):
                            os.unlink(target)
                        self.measure("get-big", tool, tool.get(bucket, key, target), k,
                                     lambda: self.folder_check(target_folder, self.big_expected, tool))
                except Failed:
                    pass
        shutil.rmtree(home, ignore_errors=True)

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
        found = [tool.version() for tool in instances if tool.name != "rclone-1"]
        script = os.path.join(self.a.repo, "node_modules", "s3rver", "package.json")
        try:
            import json
            with open(script) as f:
                s3rver = json.load(f).get("version", "?")
        except (OSError, ValueError):
            s3rver = "?"
        found.append("s3rver %s on Node.js %s" % (s3rver, tools.first_line([store.node(), "--version"])))
        return "; ".join(found)

    def main(self):
        a = self.a
        started = time.perf_counter()
        when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        load = os.getloadavg()
        instances = [tools.make(name, self.work, a.kuvet, a.repo) for name in a.tools]
        self.setup_times = []
        self.generate()
        for tool in instances:
            if tool.folders and self.selected("upload", "nochange", "download"):
                self.small_files(tool)
        for tool in instances:
            if tool.folders and self.selected("nochange-many", "change-many"):
                self.many_files(tool)
        for tool in instances:
            if self.selected("put-big", "get-big"):
                self.big_file(tool)
        total = time.perf_counter() - started
        titles = [(s, t) for s, t in self.titles if s in a.scenarios]
        meta = [
            ("Date", when),
            ("Machine", self.machine()),
            ("Load average at start", "%.2f %.2f %.2f" % load),
            ("Tools", self.versions(instances)),
            ("Runs", "%d timed runs per cell; median wall time; peak RSS is the largest "
             "\"Maximum resident set size\" of /usr/bin/time -v over the runs" % a.runs),
            ("Whole benchmark", "%.1f min (data generation, setups and checks included)"
             % (total / 60.0)),
        ]
        notes = [
            "rclone-1 is rclone with --transfers 1 --checkers 1 (and, for the large file, "
            "--s3-upload-concurrency 1 --multi-thread-streams 0): one connection at a time, "
            "like kuvet.",
            "kuvet ÷ tool below 1 means kuvet took less time. Checks compare every object in the "
            "bucket (kuvet's .manifest left out) and every file in the folder (each tool's own "
            "state files left out) with the generated data by SHA-256.",
        ]
        if self.setup_times:
            notes.append("Untimed upload of the %s-file folder before its scenarios: %s."
                         % (format(a.many, ","), ", ".join(self.setup_times)))
        text = report.render(meta, titles, [t.name for t in instances], self.cells, notes)
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
