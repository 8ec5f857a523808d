#!/bin/sh
# Runs one Windows program under Wine in the build tree's private prefix.
# Usage: wine-run.sh PREFIX PROGRAM [ARG...]
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Each program goes to the loader of its own word size: one handed over by the other loader
# that dies from a signal (as under qemu) would report exit code 0, a crash as a pass.
loader=/usr/lib/wine/wine64
# A prefix made for 32-bit Windows (WINEARCH=win32) has no 64-bit half: everything goes to the
# 32-bit loader, programs of Wine's own such as msiexec too.
if [ "${WINEARCH:-}" = win32 ] || grep -qs '^#arch=win32' "$prefix/system.reg"; then
  loader=/usr/lib/wine/wine
elif [ -f "$1" ]; then
  header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  [ "$(od -An -tx2 -j$((header + 4)) -N2 "$1" | tr -d ' ')" = 014c ] && loader=/usr/lib/wine/wine
fi
exec "$loader" "$@"
