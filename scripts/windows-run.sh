#!/usr/bin/env bash
# Runs a Windows program under Wine, as the tests' emulator:
#   windows-run.sh --prefix PREFIX --arch x86|x64 PROGRAM [ARGS...]
# The prefix is made on first use. 64-bit programs run on wine64. 32-bit ones
# run on wine32 where the kernel can start it, and otherwise on wine32 under
# qemu-i386 user emulation, with a small mapping shim (windows-qemu-mmap.c).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix= arch=
while [[ $# -gt 0 ]]; do
  case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    *) break ;;
  esac
done
[[ -n $prefix && -n $arch && $# -ge 1 ]] || {
  echo "usage: windows-run.sh --prefix PREFIX --arch x86|x64 PROGRAM [ARGS...]" >&2
  exit 2
}
"$here/windows-prefix.sh" "$prefix"
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}

case $arch in
  x64) exec /usr/lib/wine/wine64 "$@" ;;
  x86)
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
      exec /usr/lib/wine/wine "$@"
    fi
    command -v qemu-i386 >/dev/null || {
      echo "windows-run: this kernel runs no 32-bit programs and qemu-i386 (qemu-user) is missing" >&2
      exit 1
    }
    shim=$prefix/qemu-mmap.so
    exec 9>"$shim.lock"
    flock 9
    if [[ ! -f $shim || $here/windows-qemu-mmap.c -nt $shim ]]; then
      clang --target=i386-linux-gnu -O2 -fPIC -shared -nostdlib -fuse-ld=lld \
        -Wall -Wextra -Werror -o "$shim.tmp" "$here/windows-qemu-mmap.c"
      mv "$shim.tmp" "$shim"
    fi
    exec 9>&-
    exec qemu-i386 -E WINELOADERNOEXEC=1 -E LD_PRELOAD="$shim" \
      /usr/lib/wine/wine "$@"
    ;;
  *) echo "windows-run: unknown arch $arch" >&2; exit 2 ;;
esac
