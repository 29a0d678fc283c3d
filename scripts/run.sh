#!/usr/bin/env bash
# The main job: a two-client sync on this machine. Builds everything, starts the stand-in
# file server (loopback, TLS with a certificate made here), creates an account and a view,
# starts two daemons with their own configurations and folders, connects both to the same
# view and shows, step by step, files travelling between the two folders.
#
#   ./scripts/run.sh [--keep]
#
# With --keep the server and both daemons stay up at the end and the script prints how to
# use them. Everything it creates stays under one temporary directory that it names.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT_DIR=$(pwd)

KEEP=0
[ "${1:-}" = "--keep" ] && KEEP=1

./scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build}
echo "run: building the server, the daemon and aerolithctl in $BUILD_DIR"
cmake -G Ninja -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$BUILD_DIR" aerolith-daemon aerolithctl aerolith-server >/dev/null
BUILD=$(cd "$BUILD_DIR" && pwd)
SERVER_BIN=$BUILD/server/aerolith-server
CTL_BIN=$BUILD/tools/aerolithctl
DAEMON_BIN=$BUILD/client/core/aerolith-daemon

work=$(mktemp -d /tmp/aerolith-demo.XXXXXX)
echo "run: everything of this demo lives in $work"

step() { printf '\n==== %s\n' "$*"; }
say() { printf '  %s\n' "$*"; }

server_pid=""
cleanup() {
  [ "$KEEP" = 1 ] && return
  for d in a b; do
    [ -f "$work/$d/aerolithctl.state" ] && ctl "$d" stop >/dev/null 2>&1 || true
  done
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

# ---- server ----
step "1. The stand-in file server, with TLS"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
  -addext "subjectAltName=IP:127.0.0.1" \
  -keyout "$work/server.key" -out "$work/server.crt" >/dev/null 2>&1
say "made a self-signed certificate: $work/server.crt"
srv() { "$SERVER_BIN" admin --root "$work/server-root" "$@"; }
token=$(srv add-user alice | sed -n 's/.*"token": *"\([^"]*\)".*/\1/p')
view=$(srv add-view docs | sed -n 's/.*"view_id": *\([0-9]*\).*/\1/p')
srv grant "$view" alice rw >/dev/null
say "account 'alice', view 'docs' (id $view), read-write"
"$SERVER_BIN" --root "$work/server-root" --tls "$work/server.crt" "$work/server.key" \
  >"$work/server.port" 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 1 100); do grep -q listening "$work/server.port" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/.*:\([0-9]*\)$/\1/p' "$work/server.port")
say "server listening on 127.0.0.1:$port (log: $work/server.log)"

# ---- daemons ----
ctl() { local d=$1; shift; XDG_CONFIG_HOME="$work/$d/xdg" AEROLITH_DAEMON="$DAEMON_BIN" \
          "$CTL_BIN" --state "$work/$d/aerolithctl.state" "$@"; }

start_daemon() {
  local d=$1 ui_port=$2
  mkdir -p "$work/$d/folder" "$work/$d/session" "$work/$d/xdg"
  printf '[Version]\nmajor = 1\nminor = 0\n' >"$work/$d/system.filter"
  cat >"$work/$d/aerolith.conf" <<CONF
is_foreground = false
pid_file_path = "$work/$d/daemon.pid"
log_file_path = "$work/$d/daemon.log"
log_level_file_path = "$work/$d/log-level"
fstat_db_path = "$work/$d/file-status.sqlite"
filter_db_path = "$work/$d/filter.sqlite"
history_db_path = "$work/$d/history.sqlite"
system_filter_path = "$work/$d/system.filter"
cert_path = "$work/server.crt"
worker_count = 3
pull_interval = 2
ui_port = $ui_port
CONF
  echo "client_debug = 6" >"$work/$d/log-level"
  ctl "$d" start --config "$work/$d/aerolith.conf" >"$work/$d/notifications.log" 2>&1 &
  for _ in $(seq 1 100); do [ -f "$work/$d/aerolithctl.state" ] && break; sleep 0.1; done
  [ -f "$work/$d/aerolithctl.state" ] || { echo "run: daemon $d did not start"; exit 1; }
  ctl "$d" link >/dev/null
  ctl "$d" send "{\"action\":\"link_connection\",\"connection_id\":1,\"server_ip\":\"127.0.0.1\",
    \"server_port\":$port,\"session\":\"$token\",\"username\":\"alice\",
    \"computer_name\":\"computer-$d\",\"use_ssl\":1}" >/dev/null
  ctl "$d" add-session --session-id 1 --connection-id 1 --view-id "$view" \
    --folder "$work/$d/folder" --config-dir "$work/$d/session" >/dev/null
  ctl "$d" resume --session-id 1 >/dev/null
  say "daemon $d: folder $work/$d/folder, control through aerolithctl (ui port $ui_port)"
}

step "2. Two daemons, each with its own folder, both syncing view 'docs' over TLS"
start_daemon a 23410
start_daemon b 23420

idle() { ctl a wait-idle --timeout 120 && ctl b wait-idle --timeout 120 && ctl a wait-idle --timeout 120; }
show() { (cd "$work/$1/folder" && find . -path ./.ZentoraWorkingDirectory -prune -o -type f -print | sort | sed 's/^/    /'); }

# ---- the story ----
step "3. Files created in folder a appear in folder b"
mkdir -p "$work/a/folder/reports/2026"
echo "meeting notes" >"$work/a/folder/notes.txt"
echo "quarterly numbers" >"$work/a/folder/reports/2026/q4.txt"
head -c 16777216 /dev/urandom >"$work/a/folder/video.bin"
say "created notes.txt, reports/2026/q4.txt and a 16 MiB video.bin in a; waiting for both to be idle"
idle
say "folder b now holds:"; show b
cmp -s "$work/a/folder/video.bin" "$work/b/folder/video.bin" && say "video.bin is identical on both sides"

step "4. A small edit of the large file in b travels as a delta and reaches a"
printf 'EDITED IN THE MIDDLE' | dd of="$work/b/folder/video.bin" bs=1 seek=8000000 conv=notrunc status=none
idle
say "the server's log line for that upload:"
grep -i "video.bin" "$work/server.log" | grep -i delta | tail -1 | sed 's/^/    /' || true
cmp -s "$work/a/folder/video.bin" "$work/b/folder/video.bin" && say "a has b's edit: video.bin is identical again"

step "5. Both sides edit notes.txt while b is paused: a conflict copy keeps both versions"
ctl b pause --session-id 1 >/dev/null
echo "notes edited in a" >"$work/a/folder/notes.txt"
ctl a wait-idle --timeout 120
echo "notes edited in b" >"$work/b/folder/notes.txt"
ctl b resume --session-id 1 >/dev/null
idle
say "folder a now holds:"; show a
say "contents of the notes files in a:"
for f in "$work"/a/folder/notes*; do say "  $(basename "$f"): $(cat "$f")"; done

step "6. A removal in a reaches b through b's recycle bin"
rm "$work/a/folder/reports/2026/q4.txt"
idle
[ ! -e "$work/b/folder/reports/2026/q4.txt" ] && say "q4.txt is gone from b"
say "b's recycle bin ($work/b/folder/.ZentoraWorkingDirectory/#ZentRecycle):"
find "$work/b/folder/.ZentoraWorkingDirectory/#ZentRecycle" -type f | sed 's/^/    /'

step "7. Status of both daemons"
for d in a b; do say "daemon $d:"; ctl "$d" status | sed 's/^/    /'; done

if [ "$KEEP" = 1 ]; then
  step "Left running (--keep)"
  say "folders:  $work/a/folder  and  $work/b/folder"
  say "status:   XDG_CONFIG_HOME=$work/a/xdg $CTL_BIN --state $work/a/aerolithctl.state status"
  say "stop:     the same with 'stop' for each daemon, then: kill $server_pid (the server)"
  exit 0
fi
step "Stopping the daemons and the server"
cleanup
trap - EXIT
echo "run: done; the demo's files stay in $work"
