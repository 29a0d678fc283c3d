#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test through CTest.
#
# Environment:
#   BUILD_DIR          build tree (default: build)
#   AEROLITH_WERROR    ON to treat warnings as errors (default: OFF)
#   AEROLITH_SANITIZE  e.g. address,undefined or thread (default: none)
#   CTEST_ARGS         extra arguments for ctest (e.g. -R ustring)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
WERROR=${AEROLITH_WERROR:-OFF}
SANITIZE=${AEROLITH_SANITIZE:-}

./scripts/deps.sh

echo "test: configuring $BUILD_DIR (warnings as errors: $WERROR, sanitizers: ${SANITIZE:-none})"
cmake -G Ninja -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DAEROLITH_WERROR="$WERROR" -DAEROLITH_SANITIZE="$SANITIZE" >/dev/null
# Editors find the compile commands at the top of the tree.
ln -sf "$BUILD_DIR/compile_commands.json" compile_commands.json

echo "test: building"
ninja -C "$BUILD_DIR"

echo "test: running the tests"
# shellcheck disable=SC2086
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 ${CTEST_ARGS:-}
