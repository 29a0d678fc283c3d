#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a user service needs: the three
# programs, the systemd user unit (verified by systemd-analyze, pointed at the scratch
# prefix) and the sample configuration.
set -euo pipefail
build=$1
prefix=$(mktemp -d /tmp/aerolith-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/aerolith-daemon bin/aerolithctl bin/aerolith-server lib/systemd/user/aerolith.service \
         share/doc/aerolith-daemon/aerolith.conf.example; do
  [ -e "$prefix/$f" ] || { echo "install: missing $f"; exit 1; }
done
unit=$prefix/lib/systemd/user/aerolith.service
installed_bindir=$(sed -n 's#^ExecStart=\(.*\)/aerolithctl .*#\1#p' "$unit")
mkdir -p "$prefix/verify"
sed "s#$installed_bindir#$prefix/bin#g" "$unit" >"$prefix/verify/aerolith.service"
grep -q "^ExecStart=$prefix/bin/aerolithctl .* start --config" "$prefix/verify/aerolith.service"
grep -q "^Restart=on-failure" "$unit"
grep -q "^KillSignal=SIGTERM" "$unit"
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify --man=no "$prefix/verify/aerolith.service" 2>&1 || true)
  if echo "$out" | grep -i "aerolith.service" | grep -vi "Failed to create" | grep -qi "error\|unknown\|invalid\|not executable"; then
    echo "install: systemd-analyze found problems:"; echo "$out"; exit 1
  fi
  echo "install: systemd-analyze verify passed"
fi
# The installed aerolithctl runs and knows its verbs.
usage=$("$prefix/bin/aerolithctl" 2>&1 || true)
echo "$usage" | grep -q "wait-idle"
echo "install: ok"
