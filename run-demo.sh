#!/usr/bin/env bash
# Sets up, builds and runs the demo: the library driving a simulated counter
# device on a pseudo-terminal, every operation in turn, in about ten seconds.
# On a fresh Debian 12 machine it installs what the build needs (as root, or
# with sudo); then it builds the library and the pelcor command into build/
# and runs `build/pelcor demo`.
# Usage: ./run-demo.sh            (PELCOR_BUILD_DIR picks another folder)
set -euo pipefail
cd "$(dirname "$0")"
build=${PELCOR_BUILD_DIR:-build}

# libgtest-dev too: build/ is configured as ./run-tests.sh configures it, so
# that the two share it.
need=()
for pkg in cmake ninja-build g++ libcli11-dev libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  echo "=== installing ${need[*]} ==="
  sudo=()
  ((EUID == 0)) || sudo=(sudo)
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${need[@]}"
fi

echo "=== building the library and the pelcor command in $build/ ==="
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target pelcor_cli

echo "=== $build/pelcor demo ==="
exec "$build/pelcor" demo
