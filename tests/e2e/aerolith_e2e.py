"""End-to-end harness: one aerolith-server and N daemons in a temporary directory, driven
through aerolithctl exactly as the desktop user interface would drive them.

Every wait is for a condition (a file, a port, an idle daemon) with a deadline; nothing
sleeps for a fixed time to let something happen.
"""

import hashlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

DEFAULT_DEADLINE = float(os.environ.get("AEROLITH_E2E_DEADLINE", "120"))


class E2EError(Exception):
    pass


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_port_pair():
    """A port p with p+1.. also likely free: the daemon binds the first free port above
    its ui_port for control connections."""
    for _ in range(50):
        p = free_port()
        if p < 65000:
            try:
                with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                    s.bind(("127.0.0.1", p + 1))
                return p
            except OSError:
                continue
    raise E2EError("no free port pair")


def wait_for(predicate, what, deadline=DEFAULT_DEADLINE, interval=0.1):
    end = time.monotonic() + deadline
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise E2EError("timed out waiting for " + what)
        time.sleep(interval)


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def tree_snapshot(root, skip=(".ZentoraWorkingDirectory",)):
    """{relative path: None for a directory, sha256 for a file} below root."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in skip)
        rel_dir = os.path.relpath(dirpath, root)
        for d in dirnames:
            out[os.path.normpath(os.path.join(rel_dir, d))] = None
        for f in sorted(filenames):
            out[os.path.normpath(os.path.join(rel_dir, f))] = sha256_file(
                os.path.join(dirpath, f))
    return out


def is_conflict_copy(rel_path):
    return "conflict" in os.path.basename(rel_path).lower()


class Build:
    def __init__(self, build_dir):
        self.dir = os.path.abspath(build_dir)
        self.server = os.path.join(self.dir, "server", "aerolith-server")
        self.daemon = os.path.join(self.dir, "client", "core", "aerolith-daemon")
        self.ctl = os.path.join(self.dir, "tools", "aerolithctl")
        for path in (self.server, self.daemon, self.ctl):
            if not os.access(path, os.X_OK):
                raise E2EError("missing executable " + path)


class Server:
    def __init__(self, build, root, tls=None):
        self.build = build
        self.root = root
        self.tls = tls
        self.proc = None
        self.port = None
        self.log_path = os.path.join(os.path.dirname(root), "server.log")

    def admin(self, *args):
        cmd = [self.build.server, "admin", "--root", self.root] + [str(a) for a in args]
        res = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
        if res.returncode != 0:
            raise E2EError("admin %s failed: %s" % (args, res.stderr.strip()))
        return json.loads(res.stdout) if res.stdout.strip() else {}

    def start(self, port=0):
        cmd = [self.build.server, "--root", self.root, "--port", str(port or self.port or 0)]
        if self.tls:
            cmd += ["--tls", self.tls[0], self.tls[1]]
        log = open(self.log_path, "a")
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=log, text=True)
        line = self.proc.stdout.readline()
        if "listening on" not in line:
            raise E2EError("server did not start: %r" % line)
        self.port = int(line.strip().rsplit(":", 1)[1])
        return self.port

    def stop(self, sig=signal.SIGTERM):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def ls(self, view_id):
        """{relative path: None | (hash, size)} of the live entries of a view."""
        out = {}
        for e in self.admin("ls", view_id).get("entries", []):
            rel = e["path"].lstrip("/")
            if not rel:
                continue
            out[rel] = None if e.get("is_dir") else (e.get("hash"), e.get("size"))
        return out

    def content(self, view_id, path, scratch):
        self.admin("get", view_id, "/" + path.lstrip("/"), scratch)
        return sha256_file(scratch)


class Daemon:
    """One daemon started through 'aerolithctl start', with its own configuration."""

    def __init__(self, build, home, name, worker_count=3):
        self.build = build
        self.name = name
        self.home = os.path.join(home, name)
        self.folder = os.path.join(self.home, "folder")
        self.config_dir = os.path.join(self.home, "session-config")
        os.makedirs(self.folder, exist_ok=True)
        os.makedirs(self.config_dir, exist_ok=True)
        self.state = os.path.join(self.home, "aerolithctl.state")
        self.conf = os.path.join(self.home, "aerolith.conf")
        self.worker_count = worker_count
        self.starter = None
        self._write_config()

    def _write_config(self):
        h = self.home
        system_filter = os.path.join(h, "system.filter")
        with open(system_filter, "w") as f:
            f.write("[Version]\nmajor = 1\nminor = 0\n")
        # AEROLITH_E2E_LOG_LEVEL=7 adds the debug lines, the event tree's and the event
        # manager's among them, when a run has to be followed event by event.
        level = os.environ.get("AEROLITH_E2E_LOG_LEVEL")
        components = ["client_debug", "worker_debug", "syncer_debug"]
        if level:
            components += ["event_list_debug", "event_manager_debug"]
        with open(os.path.join(h, "log-level"), "w") as f:
            f.writelines("%s = %s\n" % (c, level or "6") for c in components)
        ui_port = free_port_pair()
        with open(self.conf, "w") as f:
            f.write("is_foreground = false\n"
                    'pid_file_path = "%s/daemon.pid"\n'
                    'log_file_path = "%s/daemon.log"\n'
                    'log_level_file_path = "%s/log-level"\n'
                    'fstat_db_path = "%s/file-status.sqlite"\n'
                    'filter_db_path = "%s/filter.sqlite"\n'
                    'history_db_path = "%s/history.sqlite"\n'
                    'system_filter_path = "%s"\n'
                    "worker_count = %d\npull_interval = 1\n"
                    "ui_port = %d\n" % (h, h, h, h, h, h, system_filter, self.worker_count,
                                       ui_port))

    def ctl(self, *args, check=True, timeout=120):
        cmd = [self.build.ctl, "--state", self.state] + [str(a) for a in args]
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.home, "xdg"))
        res = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
        if check and res.returncode != 0:
            raise E2EError("%s: aerolithctl %s failed (%d): %s %s" % (
                self.name, " ".join(map(str, args)), res.returncode, res.stdout.strip(),
                res.stderr.strip()))
        return res

    def send(self, message):
        res = self.ctl("send", json.dumps(message))
        reply = json.loads(res.stdout.strip().splitlines()[-1])
        if "error" in reply:
            raise E2EError("%s: %s answered %s" % (self.name, message.get("action"), reply))
        return reply

    def start(self):
        if os.path.exists(self.state):
            os.remove(self.state)
        # The Trash (where a non-recursive session moves sub-folders) stays in the run's
        # directory as well.
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.home, "xdg"),
                   XDG_DATA_HOME=os.path.join(self.home, "xdg-data"),
                   AEROLITH_DAEMON=self.build.daemon)
        out = open(os.path.join(self.home, "notifications.log"), "a")
        self.starter = subprocess.Popen(
            [self.build.ctl, "--state", self.state, "start", "--config", self.conf],
            stdout=out, stderr=subprocess.STDOUT, env=env)
        wait_for(lambda: os.path.exists(self.state), self.name + " to announce itself", 30)

    def restart(self):
        """Starts the daemon again; aerolithctl sends it the remembered connection and
        session, so nothing is added by hand."""
        self.start()

        def session_back():
            res = self.ctl("status", "--json", check=False)
            try:
                reply = json.loads(res.stdout.strip().splitlines()[-1])
            except (ValueError, IndexError):
                return False
            sessions = reply.get("session_list") or []
            return any(s.get("status") != "pause" for s in sessions)

        wait_for(session_back, self.name + " to get its remembered session back", 60)

    def daemon_pid(self):
        try:
            with open(os.path.join(self.home, "daemon.pid")) as f:
                return int(f.read().strip())
        except (OSError, ValueError):
            return None

    def kill9(self):
        pid = self.daemon_pid()
        if pid:
            os.kill(pid, signal.SIGKILL)
        if self.starter:
            self.starter.wait(timeout=30)
            self.starter = None

    def stop(self):
        if self.starter is None:
            return
        self.ctl("stop", check=False, timeout=60)
        try:
            self.starter.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.starter.kill()
            self.starter.wait()
        self.starter = None

    def connect(self, server, token, user="alice", conn_id=1):
        self.send({"action": "link"})
        self.send({"action": "link_connection", "connection_id": conn_id,
                   "server_ip": "127.0.0.1", "server_port": server.port, "session": token,
                   "username": user, "computer_name": self.name, "use_ssl": 0})

    def add_session(self, view_id, sess_id=1, conn_id=1):
        res = self.ctl("add-session", "--session-id", sess_id, "--connection-id", conn_id,
                       "--view-id", view_id, "--folder", self.folder, "--config-dir",
                       self.config_dir)
        if '"error"' in res.stdout:
            raise E2EError("%s: add-session failed: %s" % (self.name, res.stdout))
        self.ctl("resume", "--session-id", sess_id)

    def wait_idle(self, timeout=DEFAULT_DEADLINE):
        res = self.ctl("wait-idle", "--timeout", int(timeout), check=False,
                       timeout=timeout + 30)
        if res.returncode != 0:
            raise E2EError("%s did not become idle: %s %s" % (self.name, res.stdout,
                                                                res.stderr))

    def path(self, rel):
        return os.path.join(self.folder, rel)

    def write(self, rel, data):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)

    def snapshot(self):
        return tree_snapshot(self.folder)


class Cluster:
    """A server with one user and one view, and daemons syncing that view."""

    def __init__(self, build_dir, daemons=2, keep=False):
        self.build = Build(build_dir)
        self.tmp = tempfile.mkdtemp(prefix="aerolith-e2e.")
        self.keep = keep or os.environ.get("AEROLITH_E2E_KEEP") == "1"
        self.server = Server(self.build, os.path.join(self.tmp, "server-root"))
        self.token = self.server.admin("add-user", "alice")["token"]
        self.view_id = self.server.admin("add-view", "docs")["view_id"]
        self.server.admin("grant", self.view_id, "alice", "rw")
        self.server.start()
        self.daemons = [Daemon(self.build, self.tmp, "d%d" % (i + 1)) for i in range(daemons)]
        try:
            for d in self.daemons:
                d.start()
                d.connect(self.server, self.token)
                d.add_session(self.view_id)
        except E2EError:
            # Nobody else holds the cluster yet: stop what did start, keep the directory.
            self.close(failed=True)
            raise

    def wait_idle(self):
        # Two rounds: a change that one daemon uploads late reaches the others in the second.
        for _ in range(2):
            for d in self.daemons:
                d.wait_idle()

    def assert_converged(self):
        """Every daemon's folder equals the server's view (conflict copies included)."""
        scratch = os.path.join(self.tmp, "scratch")
        server_view = self.server.ls(self.view_id)
        server_tree = {}
        for rel, meta in server_view.items():
            server_tree[rel] = None if meta is None else self.server.content(
                self.view_id, rel, scratch)
        for d in self.daemons:
            local = d.snapshot()
            if local != server_tree:
                only_local = sorted(set(local) - set(server_tree))
                only_server = sorted(set(server_tree) - set(local))
                differ = sorted(k for k in set(local) & set(server_tree)
                                if local[k] != server_tree[k])
                raise E2EError("%s differs from the server: only local %s, only server %s, "
                               "content differs %s" % (d.name, only_local, only_server, differ))
        return server_tree

    def close(self, failed=False):
        for d in self.daemons:
            try:
                d.stop()
            except Exception:  # noqa: BLE001 - cleanup goes on for the others
                pass
        self.server.stop()
        if failed or self.keep:
            print("e2e: kept %s for inspection" % self.tmp, file=sys.stderr)
            for d in self.daemons:
                log = os.path.join(d.home, "daemon.log")
                if os.path.exists(log):
                    with open(log, errors="replace") as f:
                        lines = f.readlines()[-40:]
                    print("---- %s (last lines)\n%s" % (log, "".join(lines)), file=sys.stderr)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)
