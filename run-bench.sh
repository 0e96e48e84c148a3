#!/usr/bin/env bash
# Builds and runs the benchmark: every export of libpelcor.so against the
# simulated device on a pseudo-terminal, beside a pyserial peer and the
# 64-bit Pelcor.DLL under Wine doing the same exchanges on the same terminal.
# Prints one table and writes build-bench/bench.json.
#
# Usage: ./run-bench.sh [--samples N] [--rounds N] [--warmup N]
#   (defaults 40, 4, 3: about a minute and a half).
# The pyserial peer needs Debian's python3-serial (installed here when
# missing and this runs as root); the Wine peer needs wine64 and the MinGW-w64
# compilers, and is skipped, with the reason in the table, without them.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
build=$root/build-bench
jobs=$(nproc)
((jobs > 2)) && jobs=2
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

echo "=== building the benchmark in build-bench ==="
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELCOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target pelcor_bench >/dev/null

args=(--json "$build/bench.json")

# --- pyserial ----------------------------------------------------------------
python=/usr/bin/python3
if [[ -x $python ]] && ! "$python" -c 'import serial' 2>/dev/null &&
  [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
  echo "=== installing python3-serial ==="
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q python3-serial >/dev/null ||
    { apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -q python3-serial >/dev/null; } || true
fi
if [[ -x $python ]] && "$python" -c 'import serial' 2>/dev/null; then
  args+=(--python "$python" --peer-script "$root/bench/pyserial_peer.py")
fi

# --- Wine ----------------------------------------------------------------------
# Only the 64-bit DLL: the 32-bit one would need wine32, which some kernels
# cannot start (and an emulated run would time the emulator).
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
prefix=$build/wine-prefix
com_link=$build/com1-link
wine_skip=
if [[ ! -x $wine64 || ! -x $wineserver ]]; then
  wine_skip="skipped: no Wine"
elif ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  wine_skip="skipped: no MinGW"
else
  echo "=== building Pelcor.DLL and the Windows peer in build-bench/win64 ==="
  if ! { cmake -S . -B "$build/win64" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELCOR_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/x86_64-w64-mingw32.cmake" &&
    cmake --build "$build/win64" -j "$jobs" --target pelcor_wine_peer; } \
    >"$build/win64.log" 2>&1; then
    wine_skip="skipped: DLL build failed"
    echo "(see build-bench/win64.log)"
  fi
fi
if [[ -z $wine_skip ]]; then
  export WINEPREFIX=$prefix WINEDEBUG=-all
  # COM1 of this prefix is a link that the benchmark points at its terminal.
  if [[ ! -f $prefix/.pelcor-bench ]]; then
    echo "=== making the Wine prefix (once) ==="
    "$wine64" wineboot -i </dev/null >"$build/wineboot.log" 2>&1
    "$wine64" reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ \
      /d "$com_link" /f </dev/null >>"$build/wineboot.log" 2>&1
    "$wineserver" -k || true
    touch "$prefix/.pelcor-bench"
  fi
  # One wineserver, with its services, for the whole run, started here with
  # no terminal attached (they outlive the peers and would hold its output),
  # and stopped at the end.
  "$wineserver" -p </dev/null >/dev/null 2>&1
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
  "$wine64" cmd /c exit </dev/null >/dev/null 2>&1 || true
  server_pid=
  for p in /proc/[0-9]*; do
    [[ $(readlink "$p/exe" 2>/dev/null) == "$wineserver" ]] || continue
    { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$prefix" &&
      server_pid=${p#/proc/}
  done
  args+=(--wine "$wine64" --wine-peer "$build/win64/bin/pelcor_wine_peer.exe"
    --wine-dll "$build/win64/bin/Pelcor.DLL" --wine-com-link "$com_link")
  [[ -n $server_pid ]] && args+=(--wine-server-pid "$server_pid")
else
  args+=(--wine-skip "$wine_skip")
fi

echo "=== running ==="
"$build/bench/pelcor_bench" "${args[@]}" "$@"
