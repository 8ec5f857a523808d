#!/usr/bin/env bash
# The private Wine prefix of a Windows build tree: build/<tree>/wineprefix. Never ~/.wine.
# The tree is win64 (the default) or win32; the win32 prefix is made where 32-bit programs
# run (cmake/i386-run.sh), so it has both halves and runs 64-bit and 32-bit programs side by side.
#   wine.sh [TREE] ensure-prefix   create it once
#   wine.sh [TREE] start           keep one server (and Wine's services) alive for a test run
#   wine.sh [TREE] stop            stop this prefix's server only
#   wine.sh [TREE] run PROGRAM...  run a Windows program in the prefix
#   wine.sh [TREE] available       succeeds when Wine can run the tree's programs here
# QV_WINEPREFIX names another prefix for the tree's programs (a test that needs a fresh one);
# with WINEARCH=win32 a win32 tree's new prefix is one of 32-bit Windows, without a 64-bit half.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
tree=win64
case "${1:-}" in win64|win32) tree=$1; shift ;; esac
export WINEPREFIX="${QV_WINEPREFIX:-$top/build/$tree/wineprefix}"
export WINESERVER=/usr/lib/wine/wineserver
wine=("$top/cmake/wine-run.sh" "$WINEPREFIX")
[ "$tree" = win32 ] && wine=("$top/cmake/i386-run.sh" "${wine[@]}")

case "${1:-}" in
  available)
    # The 32-bit loader comes with Wine's 32-bit half, which set-up may not have been able to install.
    [ "$tree" = win64 ] || [ -x /usr/lib/wine/wine ]
    ;;
  ensure-prefix)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "== creating the Wine prefix $WINEPREFIX"
      mkdir -p "$WINEPREFIX"
      "${wine[@]}" wineboot -i >/dev/null 2>&1
      "$WINESERVER" -w
    fi
    # Windows without a display: Wine's null driver where no X display is reachable (Tavrel's
    # hidden window, which end requests reach, needs one). In the first session after the change,
    # programs often find no driver at all (measured: 3 times in 4); one throwaway session with a
    # window (rundll32 makes a hidden one) takes that, so the tested programs get theirs.
    if ! grep -qs '^"Graphics"="x11,null"' "$WINEPREFIX/user.reg"; then
      "${wine[@]}" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11,null /f >/dev/null 2>&1
      "$WINESERVER" -w
      "${wine[@]}" rundll32.exe kernel32.dll,GetTickCount >/dev/null 2>&1 </dev/null || true
      "$WINESERVER" -k >/dev/null 2>&1 || true
    fi
    # The settings folder of the prefix's user, where the trace log and port files live.
    mkdir -p "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Quorvane"
    ;;
  start)
    # Started outside CTest with its output discarded: Wine's background services would
    # otherwise inherit CTest's pipes and keep it waiting after the last test.
    "$WINESERVER" -p >/dev/null 2>&1 </dev/null || true  # already running is fine
    "${wine[@]}" wineboot >/dev/null 2>&1 </dev/null
    ;;
  stop)
    "$WINESERVER" -k >/dev/null 2>&1 || true
    ;;
  run)
    shift
    exec "${wine[@]}" "$@"
    ;;
  *)
    echo "usage: $0 [win64|win32] available|ensure-prefix|start|stop|run PROGRAM..." >&2
    exit 2
    ;;
esac
