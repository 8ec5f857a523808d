#!/bin/sh
# Runs one Windows program under Wine in the build tree's private prefix.
# Usage: wine-run.sh PREFIX PROGRAM [ARG...]
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec /usr/lib/wine/wine64 "$@"
