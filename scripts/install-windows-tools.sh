#!/usr/bin/env bash
# Installs what the Windows stage (./run-tests.sh windows) needs.
set -euo pipefail
# The Windows DLLs: MinGW-w64, Wine (64- and 32-bit), pefile, LLVM's
# dlltool, clang and lld-link for the MSVC-style host, and qemu-user, which
# runs 32-bit Wine on a kernel without 32-bit support.
dpkg --print-foreign-architectures | grep -qx i386 || {
  dpkg --add-architecture i386
  apt-get update -q
}
win_need=()
for pkg in g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386 \
  python3-pefile llvm clang lld qemu-user; do
  dpkg -s "$pkg" >/dev/null 2>&1 || win_need+=("$pkg")
done
if ((${#win_need[@]})); then
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${win_need[@]}"
fi
for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix \
  i686-w64-mingw32-windres x86_64-w64-mingw32-windres llvm-dlltool clang \
  lld-link ld.lld qemu-i386 /usr/lib/wine/wine64 /usr/lib/wine/wine; do
  command -v "$tool" >/dev/null || { echo "CI: $tool is missing" >&2; exit 1; }
done
/usr/bin/python3 -c 'import pefile' || { echo "CI: python3-pefile is missing" >&2; exit 1; }

