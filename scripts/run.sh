#!/usr/bin/env bash
# The main job: builds the daemon and aerolithctl, starts the daemon in the foreground
# through aerolithctl (which stands in for the desktop user interface) with a sample
# configuration kept under a temporary directory, links it, shows its status and stops it.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build}
echo "run: building the daemon and aerolithctl in $BUILD_DIR"
cmake -G Ninja -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$BUILD_DIR" aerolith-daemon aerolithctl

work=$(mktemp -d /tmp/aerolith-run.XXXXXX)
UI_PORT=${UI_PORT:-23400}
cat >"$work/aerolith.conf" <<CONF
# Sample configuration: everything the daemon writes stays under $work
is_foreground = true
pid_file_path = "$work/aerolith-daemon.pid"
log_file_path = "$work/aerolith-daemon.log"
log_level_file_path = "$work/aerolith-daemon.debug"
fstat_db_path = "$work/file-status.sqlite"
filter_db_path = "$work/filter.sqlite"
history_db_path = "$work/history.sqlite"
system_filter_path = "$work/system.filter"
worker_count = 3
ui_port = $UI_PORT
CONF
cat >"$work/aerolith-daemon.debug" <<CONF
client_debug = 6
CONF
cat >"$work/system.filter" <<CONF
[Version]
major = 1
minor = 0
[File]
black_ext = "tmp"
CONF
echo "run: configuration in $work/aerolith.conf:"
sed 's/^/    /' "$work/aerolith.conf"

ctl() { "$BUILD_DIR/tools/aerolithctl" --state "$work/aerolithctl.state" "$@"; }

echo "run: starting the daemon through aerolithctl (user-interface port $UI_PORT)"
ctl start --config "$work/aerolith.conf" &
starter=$!
for _ in $(seq 1 100); do
  [ -f "$work/aerolithctl.state" ] && break
  sleep 0.1
done
if [ ! -f "$work/aerolithctl.state" ]; then
  echo "run: the daemon did not announce its control port"
  kill "$starter" 2>/dev/null || true
  wait "$starter" || true
  exit 1
fi
echo "run: the daemon announced itself:"
sed 's/^/    /' "$work/aerolithctl.state"

echo "run: aerolithctl link"
ctl link
echo "run: aerolithctl status"
ctl status
echo "run: aerolithctl stop"
ctl stop

status=0
wait "$starter" || status=$?
echo "run: the daemon ended with status $status"
exit "$status"
