#!/usr/bin/env bash
# Builds the library and runs every test suite. Usage: ./run-tests.sh
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
