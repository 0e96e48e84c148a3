#!/usr/bin/env bash
# Creates the Wine prefix that the Windows tests run in, once: a win64
# prefix, which runs 32-bit programs too. Usage: windows-prefix.sh PREFIX
set -euo pipefail
prefix=$1
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[[ -f $prefix/.pelcor-ready ]] && exit 0

export WINEPREFIX=$prefix WINEDEBUG=-all
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
for tool in "$wine64" /usr/lib/wine/wineserver; do
  [[ -x $tool ]] || { echo "windows-prefix: $tool is missing (wine64)" >&2; exit 1; }
done
"$wine64" wineboot -i >"$prefix.boot.log" 2>&1 || {
  cat "$prefix.boot.log" >&2
  echo "windows-prefix: wineboot -i failed" >&2
  exit 1
}
/usr/lib/wine/wineserver -w

# Where the kernel cannot start the 32-bit loader, wineboot could not set up
# the 32-bit half either; 32-bit programs then run under qemu-i386 (see
# windows-run.sh) and find Wine's own 32-bit DLLs through these links.
if ! "$wine32" --version >/dev/null 2>&1; then
  [[ -d /usr/lib/i386-linux-gnu/wine/i386-windows ]] || {
    echo "windows-prefix: wine32 (i386) is missing" >&2
    exit 1
  }
  syswow64=$prefix/drive_c/windows/syswow64
  mkdir -p "$syswow64"
  for f in /usr/lib/i386-linux-gnu/wine/i386-windows/*; do
    [[ -e $syswow64/${f##*/} ]] || ln -s "$f" "$syswow64/"
  done
fi
touch "$prefix/.pelcor-ready"
