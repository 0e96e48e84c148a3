#!/usr/bin/env bash
# Builds Pelcor.DLL for 32- and 64-bit Windows (MinGW-w64) and runs every
# Windows test under Wine: the static check of each DLL, exports by name and
# ordinal, the __stdcall stack check, the MSVC-style host, the scripted-port
# suites, and the simulated device end to end on COM2. Then lays out
# dist/x86 and dist/x64. A missing tool fails the run.
#
# Usage: scripts/test-windows.sh
# Trees: build-win32, build-win64 (with the Wine prefix and, in native/, the
# Linux build of the simulated device).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
started=$(date +%s)

fail() {
  echo "test-windows: $*" >&2
  exit 1
}

for tool in cmake ninja flock clang lld-link llvm-dlltool /usr/bin/python3 \
  x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres x86_64-w64-mingw32-dlltool \
  i686-w64-mingw32-g++-posix i686-w64-mingw32-windres i686-w64-mingw32-dlltool \
  /usr/lib/wine/wine64 /usr/lib/wine/wineserver64; do
  command -v "$tool" >/dev/null || fail "$tool is missing"
done
/usr/bin/python3 -c 'import pefile' 2>/dev/null || fail "python3-pefile is missing"
[[ -d /usr/lib/i386-linux-gnu/wine/i386-windows ]] || fail "wine32:i386 is missing"
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  # This kernel starts no 32-bit programs: 32-bit Wine runs under qemu-i386.
  for tool in qemu-i386 ld.lld; do
    command -v "$tool" >/dev/null || fail "$tool is missing (32-bit Wine needs it here)"
  done
  echo "test-windows: no 32-bit support in this kernel; 32-bit programs run under qemu-i386"
fi

prefix=$root/build-win64/wineprefix
native=$root/build-win64/native
device=$native/tests/pelcor_win_e2e_device

echo "== the simulated device, for Linux"
cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELCOR_BUILD_BENCH=OFF >/dev/null
cmake --build "$native" -j "$jobs" --target pelcor_win_e2e_device

for preset in win32 win64; do
  echo "== Pelcor.DLL: $preset"
  cmake --preset "$preset" -DPELCOR_WINEPREFIX="$prefix" \
    -DPELCOR_E2E_DEVICE="$device" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

echo "== the Wine prefix"
"$root/scripts/windows-prefix.sh" "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all
# One server and one set of Wine's services for the whole run, instead of
# one per program; both are ended on the way out.
trap '/usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true' EXIT
/usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1

for preset in win32 win64; do
  echo "== tests under Wine: $preset"
  ctest --test-dir "build-$preset" --output-on-failure -j "$jobs"
done

echo "== dist"
rm -rf dist/x86 dist/x64
for preset in win32 win64; do
  cmake --install "build-$preset" --prefix "$root/dist" >/dev/null
done
for arch in x86 x64; do
  for f in Pelcor.DLL Pelcor.lib libpelcor.dll.a Pelcor.def pelcor.h; do
    [[ -f dist/$arch/$f ]] || fail "dist/$arch/$f is missing"
  done
done
echo "dist/x86 and dist/x64: $(ls dist/x86 | tr '\n' ' ')"

echo "test-windows: passed in $(($(date +%s) - started)) s"
