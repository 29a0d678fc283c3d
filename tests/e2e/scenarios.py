"""End-to-end scenarios: each builds a cluster (server + daemons), changes trees on either
side or on the server, waits until every daemon is idle, and checks that every folder
equals the server's view and that no version of any file was lost.

    python3 scenarios.py BUILD_DIR SCENARIO
"""

import os
import shutil
import signal
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from aerolith_e2e import Cluster, E2EError, is_conflict_copy, sha256_file, wait_for  # noqa: E402


def contents_of(tree):
    return {v for v in tree.values() if v is not None}


def digest(data):
    import hashlib
    return hashlib.sha256(data).hexdigest()


def expect(condition, text):
    if not condition:
        raise E2EError(text)


# ---- scenarios ----

def basic_both_ways(c):
    """Create, modify, rename and remove on either side and on the server, nested folders."""
    a, b = c.daemons
    a.write("docs/readme.txt", b"hello from a\n")
    a.write("docs/deep/nested/file.bin", os.urandom(70000))
    b.write("from-b.txt", b"hello from b\n")
    scratch = os.path.join(c.tmp, "server-side.txt")
    with open(scratch, "wb") as f:
        f.write(b"made on the server\n")
    c.server.admin("put", c.view_id, "/server.txt", scratch)
    c.wait_idle()
    tree = c.assert_converged()
    for rel in ("docs/readme.txt", "docs/deep/nested/file.bin", "from-b.txt", "server.txt"):
        expect(rel in tree, "missing after sync: " + rel)

    # Modify on one side, rename on the other, remove on the server.
    b.write("docs/readme.txt", b"changed by b\n")
    os.rename(a.path("from-b.txt"), a.path("renamed-by-a.txt"))
    c.server.admin("rm", c.view_id, "/server.txt")
    c.wait_idle()
    tree = c.assert_converged()
    expect("server.txt" not in tree, "server removal did not reach the daemons")
    expect("renamed-by-a.txt" in tree and "from-b.txt" not in tree, "rename not carried")
    expect(tree["docs/readme.txt"] == digest(b"changed by b\n"), "edit not carried")

    # Remove a folder on one side.
    shutil.rmtree(b.path("docs/deep"))
    c.wait_idle()
    tree = c.assert_converged()
    expect(not any(k.startswith("docs/deep") for k in tree), "folder removal not carried")


def large_file_delta(c):
    """A small edit of a large file travels as a delta and arrives as a patch."""
    a, b = c.daemons
    data = bytearray(os.urandom(8 * 1024 * 1024))
    a.write("big.bin", bytes(data))
    c.wait_idle()
    c.assert_converged()
    for offset in (1000, 3 * 1024 * 1024, 7 * 1024 * 1024):
        data[offset:offset + 16] = b"EDITED-BY-B-0123"
    b.write("big.bin", bytes(data))
    c.wait_idle()
    tree = c.assert_converged()
    expect(tree["big.bin"] == digest(bytes(data)), "edited large file differs")
    with open(c.server.log_path, errors="replace") as f:
        log = f.read()
    expect("delta" in log, "the server log shows no delta upload")


def conflict_both_edited(c):
    """Both sides edit one file while one is paused: one side's version becomes a conflict
    copy and both versions survive."""
    a, b = c.daemons
    a.write("shared.txt", b"original\n")
    c.wait_idle()
    c.assert_converged()
    b.send({"action": "pause", "session_id": 1})
    a.write("shared.txt", b"version of a\n")
    a.wait_idle()
    b.write("shared.txt", b"version of b\n")
    b.send({"action": "resume", "session_id": 1})
    c.wait_idle()
    tree = c.assert_converged()
    found = contents_of(tree)
    expect(digest(b"version of a\n") in found, "a's version lost")
    expect(digest(b"version of b\n") in found, "b's version lost")
    expect(any(is_conflict_copy(k) for k in tree), "no conflict copy")


def edit_against_removal(c):
    """One side removes a file while the other (paused) edits it: the edit survives."""
    a, b = c.daemons
    a.write("f.txt", b"v1\n")
    c.wait_idle()
    b.send({"action": "pause", "session_id": 1})
    os.remove(a.path("f.txt"))
    a.wait_idle()
    b.write("f.txt", b"edited while removed elsewhere\n")
    b.send({"action": "resume", "session_id": 1})
    c.wait_idle()
    tree = c.assert_converged()
    expect(digest(b"edited while removed elsewhere\n") in contents_of(tree), "edit lost")


def folder_removal_keeps_edit_made_while_down(c):
    """A file edited inside a folder while its daemon is down survives the other side's
    removal of that folder."""
    a, b = c.daemons
    a.write("proj/keep.txt", b"v1\n")
    a.write("proj/other.txt", b"other\n")
    c.wait_idle()
    c.assert_converged()
    b.stop()
    with open(b.path("proj/keep.txt"), "wb") as f:
        f.write(b"edited while the daemon was down\n")
    shutil.rmtree(a.path("proj"))
    a.wait_idle()
    b.restart()
    c.wait_idle()
    tree = c.assert_converged()
    expect(digest(b"edited while the daemon was down\n") in contents_of(tree),
           "the edit made while the daemon was down was lost")


def removal_races_addition(c):
    """One side removes a folder while the other (paused) adds a file inside it: the
    addition survives."""
    a, b = c.daemons
    a.write("box/a.txt", b"a\n")
    c.wait_idle()
    b.send({"action": "pause", "session_id": 1})
    shutil.rmtree(a.path("box"))
    a.wait_idle()
    b.write("box/new.txt", b"added inside a removed folder\n")
    b.send({"action": "resume", "session_id": 1})
    c.wait_idle()
    tree = c.assert_converged()
    expect(digest(b"added inside a removed folder\n") in contents_of(tree), "addition lost")


def folder_removal_after_change_below(c):
    """One side removes a folder in which the other side changed something it has not seen
    yet: both sides and the server end alike."""
    a, b = c.daemons
    a.write("box/sub/f.txt", b"f\n")
    a.write("box/keep.txt", b"keep\n")
    c.wait_idle()
    c.assert_converged()
    b.send({"action": "pause", "session_id": 1})
    os.remove(a.path("box/sub/f.txt"))
    a.wait_idle()
    shutil.rmtree(b.path("box"))
    b.send({"action": "resume", "session_id": 1})
    c.wait_idle()
    c.assert_converged()


def removal_over_unchanged_pending_upload(c):
    """A server removal meets a local event that is no change (here one injected by hand;
    in use the echo of a download or a rescan's listing): the removal still applies, for a
    file and for the files below a removed folder."""
    a, b = c.daemons
    a.write("gone.txt", b"gone\n")
    a.write("box/h.txt", b"h\n")
    c.wait_idle()
    c.assert_converged()
    b.send({"action": "pause", "session_id": 1})
    for path in ("/gone.txt", "/box/h.txt"):
        b.send({"action": "add_event", "session_id": 1, "type": "upload", "path": path})
    os.remove(a.path("gone.txt"))
    os.rename(a.path("box"), a.path("moved"))
    a.wait_idle()
    b.send({"action": "resume", "session_id": 1})
    c.wait_idle()
    tree = c.assert_converged()
    expect(sorted(tree) == ["moved", "moved/h.txt"], "removals undone: %s" % sorted(tree))


def filter_hides_then_readmits(c):
    """A black-listed extension stays local; after the filter is loosened and the session
    reloaded, the hidden file arrives."""
    a, b = c.daemons
    conf_dir = os.path.join(b.config_dir, "conf")
    os.makedirs(conf_dir, exist_ok=True)
    black = os.path.join(conf_dir, "blacklist.filter")
    with open(black, "w") as f:
        f.write('[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext_selective_sync = "log"\n')
    b.send({"action": "reload_session", "session_id": 1, "do_reload_filter": 1})
    a.write("notes.log", b"log content\n")
    a.write("notes.txt", b"text content\n")
    c.wait_idle()
    expect(os.path.exists(b.path("notes.txt")), "unfiltered file did not arrive")
    expect(not os.path.exists(b.path("notes.log")), "filtered file arrived")
    with open(black, "w") as f:
        f.write("[Version]\nmajor = 1\nminor = 0\n")
    b.send({"action": "reload_session", "session_id": 1, "do_reload_filter": 1})
    c.wait_idle()
    c.assert_converged()


def remove_and_add_session_back(c):
    """Removing a session and adding it back re-transfers nothing that is unchanged."""
    a, b = c.daemons
    for i in range(20):
        a.write("set/file%02d.txt" % i, ("content %d\n" % i).encode())
    c.wait_idle()
    c.assert_converged()
    mtimes = {p: os.stat(b.path(p)).st_mtime_ns for p in b.snapshot() if b.snapshot()[p]}
    b.send({"action": "remove_session", "session_id": 1})
    b.add_session(c.view_id)
    c.wait_idle()
    c.assert_converged()
    for p, m in mtimes.items():
        expect(os.stat(b.path(p)).st_mtime_ns == m, "unchanged file rewritten: " + p)


def kill_daemon_mid_transfer(c):
    """kill -9 of the receiving daemon in the middle of a download; after a restart both
    sides converge and the file is whole."""
    a, b = c.daemons
    data = os.urandom(48 * 1024 * 1024)
    a.write("huge.bin", data)
    a.wait_idle()
    wait_for(lambda: os.path.exists(b.path("huge.bin")) or _receiving(b), "b to start", 60)
    b.kill9()
    b.restart()
    c.wait_idle()
    tree = c.assert_converged()
    expect(tree["huge.bin"] == digest(data), "file damaged by the kill")


def _receiving(d):
    work = os.path.join(d.folder, ".ZentoraWorkingDirectory")
    try:
        return any(not n.startswith("#") for n in os.listdir(work))
    except OSError:
        return False


def server_restart_mid_transfer(c):
    """The server restarts while a file is being uploaded; the upload completes."""
    a, _ = c.daemons
    data = os.urandom(32 * 1024 * 1024)
    a.write("up.bin", data)
    wait_for(lambda: "upload" in open(c.server.log_path, errors="replace").read(),
             "the upload to begin", 60, 0.02)
    c.server.stop(signal.SIGKILL)
    c.server.start()
    c.wait_idle()
    tree = c.assert_converged()
    expect(tree["up.bin"] == digest(data), "uploaded file damaged")


SCENARIOS = {f.__name__: f for f in (
    basic_both_ways, large_file_delta, conflict_both_edited, edit_against_removal,
    folder_removal_keeps_edit_made_while_down, removal_races_addition,
    folder_removal_after_change_below, removal_over_unchanged_pending_upload,
    filter_hides_then_readmits, remove_and_add_session_back, kill_daemon_mid_transfer,
    server_restart_mid_transfer)}


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in SCENARIOS:
        print("usage: scenarios.py BUILD_DIR {%s}" % "|".join(SCENARIOS), file=sys.stderr)
        return 2
    cluster = Cluster(sys.argv[1])
    failed = True
    try:
        SCENARIOS[sys.argv[2]](cluster)
        failed = False
        print("e2e: %s passed" % sys.argv[2])
    except E2EError as e:
        print("e2e: %s FAILED: %s" % (sys.argv[2], e), file=sys.stderr)
    finally:
        cluster.close(failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
