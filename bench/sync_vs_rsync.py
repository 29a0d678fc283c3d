#!/usr/bin/env python3
"""Two daemons and the stand-in server on this machine against `rsync -a` into an
`rsync --daemon` on loopback, measured in the same run:

  1. FILES small files of 4 KiB, created in the first folder: time until every file is in
     the second folder, and until `aerolithctl wait-idle` succeeds there; against one
     `rsync -a` of the same tree (goal: within 3x);
  2. one large file (LARGE_MIB MiB, 1 GiB by default), the same (goal: within 2x);
  3. a one-file change: time until the other side has it (goal: within 6 s), several rounds;
  4. a session of SESSION_FILES files synced on both sides: peak RSS of each daemon
     (goal: under 100 MB) and its CPU over IDLE_SECONDS of idleness (goal: under 1% of a
     core).

The daemons keep their default settings (pull interval 5 s, 3 workers, warnings-only log)
unless --pull-interval, --workers or --debug-log say otherwise (--debug-log with --keep
leaves the daemons' debug logs for a look at each event). For each transfer phase the
script prints where the server's time went (its requests by action, from its log), and a
second reference, `rsync -a --fsync`, which flushes every file as the daemons do. The
machine's fsync latency is printed at the start, since every synced file costs several.

    python3 bench/sync_vs_rsync.py [--build build]                   # the full run
    python3 bench/sync_vs_rsync.py --files 500 --large-mib 64 \\
        --session-files 2000 --idle-seconds 5 --latency-rounds 2     # a short run
"""

import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from aerolith_e2e import Build, Daemon, E2EError, Server, free_port, sha256_file, wait_for  # noqa: E402,E501

SMALL_SIZE = 4096
PAGE = os.sysconf("SC_PAGE_SIZE")
TICKS = os.sysconf("SC_CLK_TCK")


def load():
    return "load %.1f" % os.getloadavg()[0]


class BenchDaemon(Daemon):
    """A daemon with the default pull interval and a quiet log unless asked otherwise."""

    def __init__(self, build, home, name, workers, pull_interval, debug_log):
        self.pull_interval = pull_interval
        self.debug_log = debug_log
        super().__init__(build, home, name, worker_count=workers)

    def _write_config(self):
        super()._write_config()
        with open(self.conf) as f:
            lines = [l for l in f if not l.startswith("pull_interval")]
        if self.pull_interval:
            lines.append("pull_interval = %d\n" % self.pull_interval)
        with open(self.conf, "w") as f:
            f.writelines(lines)
        with open(os.path.join(self.home, "log-level"), "w") as f:
            if self.debug_log:
                f.write("".join("%s = 7\n" % c for c in (
                    "client_debug", "worker_debug", "syncer_debug", "event_manager_debug",
                    "detector_debug", "event_generator_debug", "connection_debug")))

    def proc_status(self, key):
        """A value in kB from /proc/PID/status (VmHWM, VmRSS)."""
        with open("/proc/%d/status" % self.daemon_pid()) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return 0

    def cpu_seconds(self):
        return process_cpu_seconds(self.daemon_pid())


class RsyncDaemon:
    """`rsync --daemon` on a loopback port with one writable module."""

    def __init__(self, tmp):
        self.dir = os.path.join(tmp, "rsyncd")
        self.module = os.path.join(self.dir, "module")
        os.makedirs(self.module)
        self.port = free_port()
        conf = os.path.join(self.dir, "rsyncd.conf")
        with open(conf, "w") as f:
            f.write("pid file = %s/rsyncd.pid\nuse chroot = no\n"
                    "[bench]\npath = %s\nread only = no\nuid = %d\ngid = %d\n"
                    % (self.dir, self.module, os.getuid(), os.getgid()))
        self.proc = subprocess.Popen(
            ["rsync", "--daemon", "--no-detach", "--address=127.0.0.1",
             "--port=%d" % self.port, "--config=" + conf,
             "--log-file=" + os.path.join(self.dir, "rsyncd.log")])

        def listening():
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return True
            except OSError:
                return False
        wait_for(listening, "rsync --daemon to listen", 30)

    def copy(self, source, name, *options):
        """Seconds of one `rsync -a [OPTIONS] SOURCE rsync://.../bench/NAME`."""
        t0 = time.monotonic()
        subprocess.run(["rsync", "-a"] + list(options) +
                       [source, "rsync://127.0.0.1:%d/bench/%s" % (self.port, name)],
                       check=True)
        return time.monotonic() - t0

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)


def process_cpu_seconds(pid):
    """User and system CPU seconds of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def fsync_latency(directory, rounds=20):
    """Median milliseconds of writing 4 KiB and fsync-ing it, on the file system in use."""
    path = os.path.join(directory, "fsync-probe")
    times = []
    with open(path, "wb") as f:
        for _ in range(rounds):
            f.write(os.urandom(SMALL_SIZE))
            t0 = time.monotonic()
            f.flush()
            os.fsync(f.fileno())
            times.append(time.monotonic() - t0)
    os.remove(path)
    return 1000 * statistics.median(times)


def small_layout(prefix, count):
    return ["%s/d%03d/f%06d.bin" % (prefix, i // 100, i) for i in range(count)]


def write_files(root, rels, size, seed):
    for i, rel in enumerate(rels):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(seed + i.to_bytes(8, "little") + os.urandom(size - len(seed) - 8))


def all_present(root, rels, size):
    for rel in rels:
        try:
            if os.stat(os.path.join(root, rel)).st_size != size:
                return False
        except OSError:
            return False
    return True


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = Build(args.build)
        self.tmp = tempfile.mkdtemp(prefix="aerolith-bench.", dir=args.tmpdir)
        self.results = []
        self.server = Server(self.build, os.path.join(self.tmp, "server-root"))
        token = self.server.admin("add-user", "alice")["token"]
        self.view_id = self.server.admin("add-view", "docs")["view_id"]
        self.server.admin("grant", self.view_id, "alice", "rw")
        self.server.start()
        self.a, self.b = [BenchDaemon(self.build, self.tmp, name, args.workers,
                                      args.pull_interval, args.debug_log)
                          for name in ("a", "b")]
        for d in (self.a, self.b):
            d.start()
            d.connect(self.server, token)
            d.add_session(self.view_id)
        # Two rounds: the first scan of each folder follows the first pulls.
        for d in (self.a, self.b, self.a, self.b):
            d.wait_idle(timeout=args.deadline)
        self.rsync = RsyncDaemon(self.tmp)

    def close(self):
        for d in (self.a, self.b):
            d.stop()
        self.server.stop()
        self.rsync.stop()
        if self.args.keep:
            print("bench: kept %s" % self.tmp)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)

    def report(self, what, ours, reference=None, ref_name="", goal=None, unit="s"):
        """One figure; with a reference, the ratio ours / reference against the goal."""
        if reference is None:
            line = "%-44s %10.2f %-3s %s" % (what, ours, unit, ref_name)
            met = None if goal is None else ours < goal
            if goal is not None:
                line += " goal < %g %s: %s" % (goal, unit, "met" if met else "MISSED")
        else:
            ratio = ours / reference
            met = goal is None or ratio <= goal
            line = "%-44s %10.2f %-3s %-14s %8.2f %s  ratio %5.2f" % (
                what, ours, unit, ref_name, reference, unit, ratio)
            if goal is not None:
                line += "  goal <= %gx: %s" % (goal, "met" if met else "MISSED")
        line += "  (%s)" % load()
        self.results.append(line)
        print(line, flush=True)

    def timed_sync(self, create, rels, size, what):
        """Runs create() in the first folder; seconds until the second holds every file,
        and until wait-idle succeeds there."""
        mark = self.server_mark()
        cpu = self.cpu_marks()
        t0 = time.monotonic()
        create()
        created = time.monotonic() - t0
        wait_for(lambda: all_present(self.b.folder, rels, size), what + " in the second folder",
                 deadline=self.args.deadline, interval=0.05)
        present = time.monotonic() - t0
        self.b.wait_idle(timeout=self.args.deadline)
        idle = time.monotonic() - t0
        print("  where the server's time went during %s:" % what)
        self.server_summary(mark)
        self.cpu_summary(cpu, len(rels))
        return created, present, idle

    # ---- the phases ----

    def small_files(self):
        n = self.args.files
        rels = small_layout("small", n)
        source = os.path.join(self.tmp, "rsync-source")
        write_files(source, rels, SMALL_SIZE, b"rsync")
        reference = self.rsync.copy(source + "/small", "")
        flushed = self.rsync.copy(source + "/small", "flushed", "--fsync")
        created, present, idle = self.timed_sync(
            lambda: write_files(self.a.folder, rels, SMALL_SIZE, b"sync"), rels, SMALL_SIZE,
            "%d small files" % n)
        self.verify(rels)
        print("  creating the %d files in the first folder took %.2f s" % (n, created))
        self.report("%d x 4 KiB: all in the second folder" % n, present, reference,
                    "rsync -a", 3)
        self.report("%d x 4 KiB: wait-idle on the second" % n, idle, reference, "rsync -a", 3)
        self.report("%d x 4 KiB: wait-idle on the second" % n, idle, flushed,
                    "rsync --fsync")

    def large_file(self):
        mib = self.args.large_mib
        size = mib << 20
        source = os.path.join(self.tmp, "rsync-large", "large.bin")
        os.makedirs(os.path.dirname(source))
        with open(source, "wb") as f:
            for _ in range(mib):
                f.write(os.urandom(1 << 20))
        reference = self.rsync.copy(source, "large.bin")
        flushed = self.rsync.copy(source, "large-flushed.bin", "--fsync")
        created, present, idle = self.timed_sync(
            lambda: shutil.copyfile(source, self.a.path("large.bin")), ["large.bin"], size,
            "the %d MiB file" % mib)
        if sha256_file(self.b.path("large.bin")) != sha256_file(source):
            raise E2EError("the large file differs on the second side")
        print("  copying the file into the first folder took %.2f s" % created)
        self.report("%d MiB file: in the second folder" % mib, present, reference,
                    "rsync -a", 2)
        self.report("%d MiB file: wait-idle on the second" % mib, idle, reference,
                    "rsync -a", 2)
        self.report("%d MiB file: wait-idle on the second" % mib, idle, flushed,
                    "rsync --fsync")

    def latency(self):
        rel = "latency.txt"
        self.a.write(rel, b"round 0\n")
        wait_for(lambda: self.read(self.b, rel) == b"round 0\n", "the latency file",
                 deadline=self.args.deadline)
        self.b.wait_idle(timeout=self.args.deadline)
        seconds = []
        for r in range(1, self.args.latency_rounds + 1):
            text = ("round %d\n" % r).encode()
            t0 = time.monotonic()
            self.a.write(rel, text)
            wait_for(lambda: self.read(self.b, rel) == text, "round %d of the change" % r,
                     deadline=self.args.deadline, interval=0.02)
            seconds.append(time.monotonic() - t0)
            print("  round %d: %.2f s" % (r, seconds[-1]), flush=True)
        self.report("one-file change, median of %d" % len(seconds),
                    statistics.median(seconds), goal=6)
        self.report("one-file change, slowest", max(seconds), goal=6)

    def session(self):
        n = self.args.session_files
        # The files the earlier phases left (none when they did not run).
        have = sum(len(files) for _, _, files in os.walk(self.a.folder))
        extra = small_layout("session", max(0, n - have))
        t0 = time.monotonic()
        write_files(self.a.folder, extra, SMALL_SIZE, b"more")
        wait_for(lambda: all_present(self.b.folder, extra, SMALL_SIZE),
                 "the session's files in the second folder", deadline=self.args.deadline,
                 interval=0.5)
        for d in (self.a, self.b, self.a, self.b):
            d.wait_idle(timeout=self.args.deadline)
        total = sum(len(files) for _, _, files in os.walk(self.b.folder))
        print("  session of %d files (%d new) synced in %.1f s" % (total, len(extra),
                                                                  time.monotonic() - t0))
        idle_cpu = {d.name: d.cpu_seconds() for d in (self.a, self.b)}
        t1 = time.monotonic()
        time.sleep(self.args.idle_seconds)  # the measurement itself: CPU over idle time
        spent = time.monotonic() - t1
        for d in (self.a, self.b):
            self.report("daemon %s: peak RSS, %d-file session" % (d.name, total),
                        d.proc_status("VmHWM") / 1024.0, goal=100, unit="MiB",
                        ref_name="(now %.1f MiB)" % (d.proc_status("VmRSS") / 1024.0))
            cpu = 100.0 * (d.cpu_seconds() - idle_cpu[d.name]) / spent
            self.report("daemon %s: idle CPU over %.0f s" % (d.name, spent), cpu, goal=1,
                        unit="%")

    # ---- helpers ----

    @staticmethod
    def read(daemon, rel):
        try:
            with open(daemon.path(rel), "rb") as f:
                return f.read()
        except OSError:
            return None

    def verify(self, rels):
        for rel in rels:
            if self.read(self.a, rel) != self.read(self.b, rel):
                raise E2EError("%s differs between the two folders" % rel)

    def server_mark(self):
        return os.path.getsize(self.server.log_path)

    def server_summary(self, mark):
        """Requests the server logged since `mark`: count, mean and total time by action."""
        stats = {}
        with open(self.server.log_path, errors="replace") as f:
            f.seek(mark)
            for line in f:
                m = self.REQUEST.search(line)
                if m:
                    n, total = stats.get(m.group(1), (0, 0.0))
                    stats[m.group(1)] = (n + 1, total + float(m.group(2)))
        for action, (n, total) in sorted(stats.items(), key=lambda kv: -kv[1][1]):
            print("    server %-18s %7d requests, %8.1f ms each, %8.1f s in all" % (
                action, n, total / n, total / 1000), flush=True)

    def cpu_marks(self):
        return {"daemon a": self.a.cpu_seconds(), "daemon b": self.b.cpu_seconds(),
                "server": process_cpu_seconds(self.server.proc.pid)}

    def cpu_summary(self, marks, files):
        """CPU each process spent since `marks`, in all and per file: on a shared machine
        the processes wait for the processor as much as for the disk."""
        now = self.cpu_marks()
        for name in sorted(marks):
            spent = now[name] - marks[name]
            print("    %-9s CPU %7.1f s in all, %6.2f ms per file" % (
                name, spent, 1000 * spent / max(1, files)), flush=True)

    REQUEST = re.compile(r"action=(\S+) .* ms=([0-9.]+)")


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    p.add_argument("--files", type=int, default=10000, help="small files (4 KiB each)")
    p.add_argument("--large-mib", type=int, default=1024, help="size of the large file")
    p.add_argument("--latency-rounds", type=int, default=5)
    p.add_argument("--session-files", type=int, default=100000,
                   help="files of the synced session whose RSS and idle CPU are measured")
    p.add_argument("--idle-seconds", type=float, default=30)
    p.add_argument("--workers", type=int, default=3, help="worker_count of each daemon")
    p.add_argument("--pull-interval", type=int, default=0,
                   help="pull_interval of each daemon (0: the daemon's default)")
    p.add_argument("--debug-log", action="store_true",
                   help="daemons log at debug level (see --keep)")
    p.add_argument("--deadline", type=float, default=1800, help="longest wait of any step")
    p.add_argument("--phases", default="small,large,latency,session")
    p.add_argument("--tmpdir", default=None)
    p.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = p.parse_args()
    if shutil.which("rsync") is None:
        sys.exit("sync_vs_rsync: rsync is not installed (scripts/deps.sh)")

    print("sync_vs_rsync: %s, %d workers per daemon, pull interval %s" % (
        load(), args.workers, args.pull_interval or "default"), flush=True)
    bench = Bench(args)
    print("sync_vs_rsync: fsync of 4 KiB takes %.1f ms here (median of 20)" %
          fsync_latency(bench.tmp), flush=True)
    failed = False
    try:
        phases = args.phases.split(",")
        if "small" in phases and args.files > 0:
            bench.small_files()
        if "large" in phases and args.large_mib > 0:
            bench.large_file()
        if "latency" in phases and args.latency_rounds > 0:
            bench.latency()
        if "session" in phases and args.session_files > 0:
            bench.session()
    except (E2EError, subprocess.CalledProcessError) as e:
        failed = True
        print("sync_vs_rsync: %s" % e, file=sys.stderr)
        args.keep = True
    finally:
        bench.close()
    print("\nsummary:")
    for line in bench.results:
        print("  " + line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
