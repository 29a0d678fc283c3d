#!/usr/bin/env bash
# The main job: builds the daemon and starts it in the foreground with a sample
# configuration kept under a temporary directory.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build}
echo "run: building the daemon in $BUILD_DIR"
cmake -G Ninja -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$BUILD_DIR" aerolith-daemon

work=$(mktemp -d /tmp/aerolith-run.XXXXXX)
cat >"$work/aerolith.conf" <<CONF
# Sample configuration: everything the daemon writes stays under $work
is_foreground = true
pid_file_path = "$work/aerolith-daemon.pid"
log_file_path = "$work/aerolith-daemon.log"
log_level_file_path = "$work/aerolith-daemon.debug"
fstat_db_path = "$work/file-status.sqlite"
filter_db_path = "$work/filter.sqlite"
history_db_path = "$work/history.sqlite"
system_filter_path = "$work/filter"
worker_count = 3
ui_port = 23400
CONF
cat >"$work/aerolith-daemon.debug" <<CONF
client_debug = 6
CONF
echo "run: configuration in $work/aerolith.conf:"
sed 's/^/    /' "$work/aerolith.conf"
echo "run: starting $BUILD_DIR/client/core/aerolith-daemon"
"$BUILD_DIR/client/core/aerolith-daemon" "$work/aerolith.conf"
status=$?
echo "run: the daemon ended with status $status"
