#!/usr/bin/env bash
# Makes sure the Debian packages the build and the tests need are installed.
# As root it installs what is missing; otherwise it prints the one apt-get line needed
# and fails.
set -euo pipefail

PACKAGES=(g++ cmake ninja-build pkg-config libicu-dev libssl-dev openssl libsqlite3-dev sqlite3
          libgtest-dev libgmock-dev libbenchmark-dev rdiff nlohmann-json3-dev
          python3 systemd inotify-tools squid rsync)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "deps: all build and test packages are installed"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "deps: missing packages: ${missing[*]}"
  echo "deps: run as root:  apt-get update && apt-get install -y ${missing[*]}"
  exit 1
fi

echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
