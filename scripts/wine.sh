#!/usr/bin/env bash
# The private Wine prefix of the 64-bit build tree: build/win64/wineprefix. Never ~/.wine.
#   wine.sh ensure-prefix   create it once
#   wine.sh start           keep one server (and Wine's services) alive for a test run
#   wine.sh stop            stop this prefix's server only
#   wine.sh run PROGRAM...  run a Windows program in the prefix
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="$top/build/win64/wineprefix"
export WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
wine=/usr/lib/wine/wine64

case "${1:-}" in
  ensure-prefix)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "== creating the Wine prefix $WINEPREFIX"
      mkdir -p "$WINEPREFIX"
      "$wine" wineboot -i >/dev/null 2>&1
      "$WINESERVER" -w
    fi
    # The settings folder of the prefix's user, where the trace log and port files live.
    mkdir -p "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Quorvane"
    ;;
  start)
    # Started outside CTest with its output discarded: Wine's background services would
    # otherwise inherit CTest's pipes and keep it waiting after the last test.
    "$WINESERVER" -p >/dev/null 2>&1 </dev/null || true  # already running is fine
    "$wine" wineboot >/dev/null 2>&1 </dev/null
    ;;
  stop)
    "$WINESERVER" -k >/dev/null 2>&1 || true
    ;;
  run)
    shift
    exec "$wine" "$@"
    ;;
  *)
    echo "usage: $0 ensure-prefix|start|stop|run PROGRAM..." >&2
    exit 2
    ;;
esac
