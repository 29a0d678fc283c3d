"""Randomised end-to-end check: two daemons sync one server view while a seeded random
sequence of file operations runs on both folders, with pauses and kill -9 of a daemon at
random moments followed by a restart (and, with --server-restarts, kill -9 of the server
followed by a restart on the same port; with --faults, one-shot faults armed in the server at
random moments: connections closed or cut in the middle of a request or an answer, answers
delayed or stalled, a corrupted download, refused connections).

    python3 chaos.py BUILD_DIR [--seed N] [--steps N] [--server-restarts] [--faults]
                     [--keep] [--verbose]

The same seed gives the same sequence of operations (what the daemons do in between
depends on timing, so a failure is reproduced by running its seed again, often a few
times). Every operation is written to ops.log in the run's directory.

Terms
-----
A *version* is the content of a file right after the test wrote it. Every write puts
unique bytes into the file (a counter and the seed are in it), so a version is known by its
SHA-256.

A version is *superseded* when a side's folder held it, at the moment the test on that
side overwrote, appended to or truncated that file, removed it (directly or by removing a
folder above it), or renamed another file or folder over it. Superseding is the only way a
version may legitimately disappear: either its writer replaced or removed it itself, or
the other side replaced or removed it after the version had arrived there, that is after
that side saw it synced. A rename moves a version; it does not supersede it.

Invariants checked after both daemons are idle
----------------------------------------------
1. Same trees: both folders hold the same directories and files with the same contents,
   conflict copies included (whatever their names), and they equal the server's live view.
2. No lost version: every version the test wrote that was never superseded exists
   somewhere: as a file in either folder (under any name), in either daemon's recycle bin,
   in the Trash, or as a file version in the server's journal. In particular a version a
   side wrote and the other side changed or removed before seeing it survives as a
   conflict copy or as the surviving file.
3. Confinement: nothing outside the session folders changes except the daemons' own state
   in their home directories (databases, logs); a canary tree beside the folders, with the
   same names as the folders use, stays byte-identical.
4. No crash: a daemon the test did not kill is running at every check, and the daemons'
   logs and standard error show no abort, sanitizer report or uncaught exception.
"""

import argparse
import hashlib
import os
import random
import shutil
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from aerolith_e2e import Cluster, E2EError, sha256_file, tree_snapshot  # noqa: E402

WORKING_DIR = ".ZentoraWorkingDirectory"
DIRS = ["", "a", "a/b", "c", "c/d"]
# "c" and "x" are folder names as well: a file on one side and a folder on the other
# under one name is a clash users can make.
FILES = ["f1.txt", "f2.txt", "g.bin", "h.txt", "c", "x"]
CRASH_MARKS = ("terminate called", "AddressSanitizer", "runtime error:", "Segmentation fault",
               "Assertion", "core dumped", "ThreadSanitizer", "LeakSanitizer")


def digest(data):
    return hashlib.sha256(data).hexdigest()


class Side:
    """One daemon as the test sees it: whether it runs, whether its session is paused."""

    def __init__(self, daemon):
        self.d = daemon
        self.running = True
        self.paused = False


class Chaos:
    def __init__(self, cluster, seed, steps, verbose=False, server_restarts=False,
                 faults=False):
        self.c = cluster
        self.server_restarts = server_restarts
        self.faults = faults
        self.rng = random.Random(seed)
        self.seed = seed
        self.steps = steps
        self.verbose = verbose
        self.sides = [Side(d) for d in cluster.daemons]
        self.counter = 0
        self.written = {}       # version hash -> (side name, path, step, size)
        self.superseded = set()
        self.step = 0
        self.log = open(os.path.join(cluster.tmp, "ops.log"), "w")
        self.canary = os.path.join(cluster.tmp, "canary")
        self._make_canary()
        self.outside_before = self._outside_listing()

    # ---- bookkeeping ----

    def note(self, text):
        line = "step %d: %s" % (self.step, text)
        self.log.write(line + "\n")
        self.log.flush()
        if self.verbose:
            print(line, flush=True)

    def content(self, side, rel):
        """Fresh bytes: unique per write, a size from empty to a few hundred KiB."""
        self.counter += 1
        head = ("seed %d write %d by %s to %s\n" % (self.seed, self.counter, side.d.name,
                                                    rel)).encode()
        roll = self.rng.random()
        size = 0 if roll < 0.05 else (self.rng.randint(1, 4096) if roll < 0.85
                                      else self.rng.randint(50000, 400000))
        body = self.rng.randbytes(size) if size else b""
        return head + body

    def record(self, side, rel):
        """Records what the file now holds as a version the test wrote."""
        try:
            h = sha256_file(side.d.path(rel))
            size = os.path.getsize(side.d.path(rel))
        except OSError:
            return
        self.written[h] = (side.d.name, rel, self.step, size)

    def supersede_file(self, side, rel):
        try:
            self.superseded.add(sha256_file(side.d.path(rel)))
        except OSError:
            pass

    def supersede_tree(self, side, rel):
        p = side.d.path(rel)
        if os.path.isfile(p):
            self.supersede_file(side, rel)
            return
        for dirpath, _, filenames in os.walk(p):
            for f in filenames:
                try:
                    self.superseded.add(sha256_file(os.path.join(dirpath, f)))
                except OSError:
                    pass

    # ---- choosing targets ----

    def existing(self, side, want_dir):
        """Entries of the side's folder (working directory left out)."""
        out = []
        root = side.d.folder
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames[:] = sorted(d for d in dirnames if d != WORKING_DIR)
            rel_dir = os.path.relpath(dirpath, root)
            names = dirnames if want_dir else sorted(filenames)
            out += [os.path.normpath(os.path.join(rel_dir, n)) for n in names]
        return out

    def pick_file(self, side, must_exist):
        files = self.existing(side, False)
        if files and (must_exist or self.rng.random() < 0.5):
            return self.rng.choice(files)
        if must_exist:
            return None
        return os.path.join(self.rng.choice(DIRS), self.rng.choice(FILES)).lstrip("/")

    def pick_dir(self, side, must_exist):
        dirs = self.existing(side, True)
        if dirs and (must_exist or self.rng.random() < 0.5):
            return self.rng.choice(dirs)
        if must_exist:
            return None
        return self.rng.choice(DIRS[1:])

    # ---- operations on one side's folder ----

    def op_write(self, side):
        rel = self.pick_file(side, False)
        p = side.d.path(rel)
        if os.path.isdir(p):
            return
        data = self.content(side, rel)
        self.supersede_file(side, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        self.written[digest(data)] = (side.d.name, rel, self.step, len(data))
        self.note("%s write %s (%d bytes)" % (side.d.name, rel, len(data)))

    def op_append(self, side):
        rel = self.pick_file(side, True)
        if rel is None:
            return
        self.supersede_file(side, rel)
        with open(side.d.path(rel), "ab") as f:
            f.write(self.content(side, rel)[:self.rng.randint(1, 2000)])
        self.record(side, rel)
        self.note("%s append %s" % (side.d.name, rel))

    def op_truncate(self, side):
        rel = self.pick_file(side, True)
        if rel is None:
            return
        p = side.d.path(rel)
        self.supersede_file(side, rel)
        size = os.path.getsize(p)
        os.truncate(p, self.rng.randint(0, size))
        self.record(side, rel)
        self.note("%s truncate %s" % (side.d.name, rel))

    def op_remove(self, side):
        rel = self.pick_file(side, True)
        if rel is None:
            return
        self.supersede_file(side, rel)
        os.remove(side.d.path(rel))
        self.note("%s remove %s" % (side.d.name, rel))

    def op_rename(self, side):
        """A file or a folder moves within its directory or to another one; an existing
        file of the target name is replaced."""
        is_dir = self.rng.random() < 0.25
        src = self.pick_dir(side, True) if is_dir else self.pick_file(side, True)
        if src is None:
            return
        name = (self.rng.choice(["x", "y", "c", "a"]) if is_dir
                else self.rng.choice(FILES + [os.path.basename(src) + ".moved"]))
        dst_dir = self.rng.choice([os.path.dirname(src)] + DIRS)
        dst = os.path.join(dst_dir, name).lstrip("/")
        if dst == src or (dst + "/").startswith(src + "/"):
            return
        sp, dp = side.d.path(src), side.d.path(dst)
        if os.path.isdir(dp):
            if not is_dir or os.listdir(dp):
                return
        elif os.path.exists(dp) and is_dir:
            return
        self.supersede_tree(side, dst)
        os.makedirs(os.path.dirname(dp), exist_ok=True)
        os.rename(sp, dp)
        self.note("%s rename %s -> %s" % (side.d.name, src, dst))

    def op_mkdir(self, side):
        rel = self.pick_dir(side, False)
        os.makedirs(side.d.path(rel), exist_ok=True)
        self.note("%s mkdir %s" % (side.d.name, rel))

    def op_rmtree(self, side):
        rel = self.pick_dir(side, True)
        if rel is None:
            return
        self.supersede_tree(side, rel)
        shutil.rmtree(side.d.path(rel))
        self.note("%s rmdir -r %s" % (side.d.name, rel))

    FILE_OPS = [("op_write", 30), ("op_append", 8), ("op_truncate", 5), ("op_remove", 8),
                ("op_rename", 10), ("op_mkdir", 4), ("op_rmtree", 3)]

    # ---- daemon control ----

    def pause_or_resume(self, side):
        if not side.running:
            return
        side.paused = not side.paused
        side.d.send({"action": "pause" if side.paused else "resume", "session_id": 1})
        self.note("%s %s" % (side.d.name, "pause" if side.paused else "resume"))

    def kill(self, side):
        if not side.running:
            return
        if side.paused:
            self.pause_or_resume(side)
        self.check_alive()
        side.d.kill9()
        side.running = False
        self.note("%s kill -9" % side.d.name)

    def restart(self, side):
        side.d.restart()
        side.running = True
        side.paused = False
        self.note("%s restart" % side.d.name)

    def settle(self):
        for s in self.sides:
            if s.paused:
                self.pause_or_resume(s)
            if not s.running:
                self.restart(s)
        self.check_alive()
        self.c.wait_idle()
        self.note("both idle")

    def check_alive(self):
        for s in self.sides:
            if not s.running:
                continue
            pid = s.d.daemon_pid()
            alive = pid is not None
            if alive:
                try:
                    os.kill(pid, 0)
                except OSError:
                    alive = False
            if not alive:
                raise E2EError("%s is no longer running (step %d)" % (s.d.name, self.step))

    # ---- the run ----

    def run(self):
        for self.step in range(1, self.steps + 1):
            roll = self.rng.random()
            side = self.rng.choice(self.sides)
            try:
                if roll < 0.04:
                    self.pause_or_resume(side)
                elif roll < 0.065:
                    self.kill(side)
                elif roll < 0.11 and not side.running:
                    self.restart(side)
                elif roll < 0.15:
                    self.settle()
                elif roll < 0.17 and self.server_restarts:
                    self.c.server.stop(signal.SIGKILL)
                    self.c.server.start()
                    self.note("server kill -9 and restart")
                elif roll < 0.22 and self.faults:
                    self.arm_fault()
                elif roll < 0.25:
                    pause = self.rng.uniform(0.0, 1.5)
                    self.note("sleep %.2f" % pause)
                    time.sleep(pause)
                else:
                    ops, weights = zip(*self.FILE_OPS)
                    op = self.rng.choices(ops, weights)[0]
                    try:
                        getattr(self, op)(side)
                    except OSError as e:
                        # The daemon changed the folder under the operation (a download,
                        # a conflict copy): the operation simply did not happen.
                        self.note("%s %s skipped: %s" % (side.d.name, op, e))
            except E2EError:
                raise
        self.step += 1
        if self.faults:
            self.c.server.admin("fault", "clear")
        self.settle()
        self.settle_until_stable()

    # Faults a real network or server produces, whose outcome the daemon must absorb: each
    # fires once, on the next matching request. (Error answers are left out: a server that
    # falsely says "changed on the server side" is obeyed by design.)
    FAULTS = [
        ("close", [], []),
        ("close", [], ["--action", "pull_event"]),
        ("drop_send", ["BYTES"], ["--action", "resume_download"]),
        ("drop_recv", ["BYTES"], ["--command", "27"]),
        ("drop_recv", ["BYTES"], ["--command", "23"]),
        ("delay", ["2"], []),
        ("stall", ["2"], []),
        ("alive0", [], []),
        ("corrupt", [], ["--action", "resume_download"]),
        ("reject", [], ["--action", "accept"]),
    ]

    def arm_fault(self):
        kind, args, filters = self.rng.choice(self.FAULTS)
        args = [str(self.rng.randint(1, 300000)) if a == "BYTES" else a for a in args]
        self.c.server.admin("fault", "add", kind, *args, *filters, "--count", "1")
        self.note("server fault %s" % " ".join([kind] + args + filters))

    def settle_until_stable(self):
        """Idle on both, then again until two rounds in a row leave the folders alike."""
        last = None
        for _ in range(5):
            snaps = [tree_snapshot(s.d.folder) for s in self.sides]
            if last is not None and snaps == last and snaps[0] == snaps[1]:
                return
            last = snaps
            self.c.wait_idle()

    # ---- the checks ----

    def check(self):
        self.check_alive()
        tree = self.c.assert_converged()
        self.check_versions(tree)
        self.check_confinement()
        self.check_logs()
        return tree

    def check_versions(self, tree):
        present = {v for v in tree.values() if v is not None}
        for s in self.sides:
            present |= {v for v in tree_snapshot(s.d.folder).values() if v is not None}
            present |= self._hashes_below(os.path.join(s.d.folder, WORKING_DIR))
            present |= self._hashes_below(os.path.join(s.d.home, "xdg-data"))
        missing = {h: w for h, w in self.written.items()
                   if h not in self.superseded and h not in present}
        if missing:
            missing = {h: w for h, w in missing.items() if not self._in_journal(h, w[3])}
        if missing:
            lines = ["%s wrote %s at step %d (%d bytes, %s)" % (w[0], w[1], w[2], w[3], h[:12])
                     for h, w in sorted(missing.items(), key=lambda kv: kv[1][2])]
            raise E2EError("lost versions:\n  " + "\n  ".join(lines))
        self.note("%d versions written, %d superseded, none lost" % (
            len(self.written), len(self.superseded & set(self.written))))

    def _in_journal(self, h, size):
        if not hasattr(self, "_journal"):
            self._journal = self.c.server.admin("journal", self.c.view_id).get("entries", [])
            self._journal_hashes = {}
        scratch = os.path.join(self.c.tmp, "journal-scratch")
        for e in self._journal:
            if e.get("is_dir") or e.get("is_removed") or e.get("size") != size:
                continue
            sid = e["sync_id"]
            if sid not in self._journal_hashes:
                try:
                    self.c.server.admin("get", self.c.view_id, e["path"], scratch,
                                        "--sync-id", sid)
                    self._journal_hashes[sid] = sha256_file(scratch)
                except E2EError:
                    self._journal_hashes[sid] = None
            if self._journal_hashes[sid] == h:
                return True
        return False

    @staticmethod
    def _hashes_below(root):
        out = set()
        for dirpath, _, filenames in os.walk(root):
            for f in filenames:
                try:
                    out.add(sha256_file(os.path.join(dirpath, f)))
                except OSError:
                    pass
        return out

    def _make_canary(self):
        for d in self.c.daemons:
            for rel in ("canary-sibling/f1.txt", "canary-sibling/a/g.bin"):
                p = os.path.join(d.home, rel)
                os.makedirs(os.path.dirname(p), exist_ok=True)
                with open(p, "wb") as f:
                    f.write(b"outside the folder\n")
        os.makedirs(os.path.join(self.canary, "a"), exist_ok=True)
        for rel in FILES:
            with open(os.path.join(self.canary, rel), "wb") as f:
                f.write(b"canary\n")

    def _outside_listing(self):
        """Files and directories of the run's directory outside the folders and the server
        root, with the contents of the canaries; daemon state (databases, logs,
        notifications, the remembered control state) left out."""
        state_suffixes = (".sqlite", "-journal", "-wal", "-shm", ".log", ".pid", ".state")
        skip = {"server-root", "journal-scratch", "scratch", "ops.log"}
        for d in self.c.daemons:
            name = os.path.basename(d.home)
            skip |= {os.path.join(name, n) for n in ("folder", "session-config", "xdg",
                                                       "xdg-data")}
        out = {}
        for dirpath, dirnames, filenames in os.walk(self.c.tmp):
            rel_dir = os.path.relpath(dirpath, self.c.tmp)
            rel = lambda n: os.path.normpath(os.path.join(rel_dir, n))  # noqa: E731
            dirnames[:] = [n for n in dirnames if rel(n) not in skip]
            for n in dirnames:
                out[rel(n)] = None
            for n in filenames:
                if n.endswith(state_suffixes) or rel(n) in skip:
                    continue
                out[rel(n)] = sha256_file(os.path.join(dirpath, n)) if "canary" in rel(n) \
                    else None
        return out

    def check_confinement(self):
        after = self._outside_listing()
        if after != self.outside_before:
            added = sorted(set(after) - set(self.outside_before))
            gone = sorted(set(self.outside_before) - set(after))
            changed = sorted(k for k in set(after) & set(self.outside_before)
                             if after[k] != self.outside_before[k])
            raise E2EError("paths outside the folders changed: added %s, gone %s, changed %s"
                           % (added, gone, changed))

    def check_logs(self):
        for d in self.c.daemons:
            for name in ("daemon.log", "notifications.log"):
                p = os.path.join(d.home, name)
                if not os.path.exists(p):
                    continue
                with open(p, errors="replace") as f:
                    for line in f:
                        if any(m in line for m in CRASH_MARKS):
                            raise E2EError("%s/%s: %s" % (d.name, name, line.strip()))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build_dir")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--steps", type=int, default=60)
    ap.add_argument("--server-restarts", action="store_true",
                    help="kill and restart the server at random moments as well")
    ap.add_argument("--faults", action="store_true",
                    help="arm one-shot server faults at random moments")
    ap.add_argument("--keep", action="store_true", help="keep the run's directory")
    ap.add_argument("--verbose", action="store_true", help="print each operation")
    args = ap.parse_args()

    cluster = None
    failed = True
    try:
        cluster = Cluster(args.build_dir, keep=args.keep)
        chaos = Chaos(cluster, args.seed, args.steps, args.verbose, args.server_restarts,
                      args.faults)
        chaos.run()
        chaos.check()
        failed = False
        print("chaos: seed %d, %d steps passed (%d versions written)" % (
            args.seed, args.steps, len(chaos.written)))
    except E2EError as e:
        print("chaos: seed %d FAILED: %s" % (args.seed, e), file=sys.stderr)
    finally:
        if cluster is not None:
            if failed:
                print("chaos: operations in %s/ops.log" % cluster.tmp, file=sys.stderr)
            cluster.close(failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
