#!/usr/bin/env bash
# Builds the library and runs every test suite:
#   1. the native build's suites (scripted port, simulated device, ptys),
#   2. the same suites built with AddressSanitizer and UBSan,
#   3. the export fuzzer for a bounded time from its corpus,
#   4. the Windows DLLs and suites under Wine: not yet in the default run;
#      ./run-tests.sh windows, after scripts/install-windows-tools.sh.
# Usage: ./run-tests.sh            (everything)
#        ./run-tests.sh native     (one stage: native, sanitize, fuzz, windows)
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
stages=("$@")
((${#stages[@]})) || stages=(native sanitize fuzz)

stage() { echo; echo "=== $* ==="; }

# The suites on the virtual clock run side by side; those that touch real
# time (ptys, the command-line program) run one at a time, so that a busy
# core does not stretch a 12 ms reply window.
realtime='^(Pty|Cli)\.|^Sim\.Pty'
run_ctest() {
  local skip=${2:-^$}
  ctest --test-dir "$1" --output-on-failure -j "$jobs" -E "$realtime|$skip"
  ctest --test-dir "$1" --output-on-failure -j 1 -R "$realtime" -E "$skip"
}

native() {
  stage "native build and tests"
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j "$jobs"
  run_ctest build
}

sanitize() {
  stage "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  # The install check builds plain hosts against the library; a sanitized
  # library cannot load into them, and packaging is checked natively.
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_C_FLAGS=$flags" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" \
    "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest build-asan 'InstallServes'
}

fuzz() {
  stage "export fuzzer, ${PELCOR_FUZZ_SECONDS:-60} s"
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=all"
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DPELCOR_FUZZ=ON -DPELCOR_BUILD_TESTS=OFF \
    "-DCMAKE_CXX_FLAGS=$flags" >/dev/null
  cmake --build build-fuzz -j "$jobs" --target pelcor_export_fuzzer
  # New inputs go to a scratch folder; the committed corpus stays as it is.
  local scratch
  scratch=$(mktemp -d)
  ./build-fuzz/tests/fuzz/pelcor_export_fuzzer -max_total_time="${PELCOR_FUZZ_SECONDS:-60}" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$scratch" tests/fuzz/corpus
  rm -rf "$scratch"
}

windows() {
  stage "Windows DLLs under Wine"
  ./scripts/test-windows.sh
}

for s in "${stages[@]}"; do
  "$s"
done
echo
echo "all test stages passed: ${stages[*]}"
