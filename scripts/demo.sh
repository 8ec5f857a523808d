#!/usr/bin/env bash
# The main job: installs what is missing, builds compreh.dll and Tavrel.exe for 64-bit and
# 32-bit Windows and the Windows Installer packages, installs the x64 package silently with
# msiexec, and shows the whole system working under Wine, as a user would see it:
# overlays, the context menu with its icons, the same commands as Windows 11's first menu shows
# them (Explorer commands) with the sparse package that names them, a chosen command reaching
# the application, a change reaching the shell through Tavrel, a 64-bit and a 32-bit host side
# by side, and the reduced menu starting the application; pictures of the overlays and of the
# menu; and the installation check before and after the application stops. It removes the
# package at the end and stops everything it started.
# Output: build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
top_dir=$PWD

scripts/setup.sh
echo "== building"
for preset in win64 win32; do
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
done
msi=$(scripts/package.sh --no-build | grep -- '-x64\.msi$')

bin=build/win64/bin
bin32=build/win32/bin
out=build/demo
# The win32 tree's prefix runs 64-bit and 32-bit programs side by side.
prefix=build/win32/wineprefix
demo_c=$prefix/drive_c/QuorvaneDemo   # C:\QuorvaneDemo seen from Linux
log="$prefix/drive_c/users/$(id -un)/AppData/Roaming/Quorvane/explorer-integration.log"
rm -rf "$out" "$demo_c" "$log"   # a fresh trace log, so that the installation check sees this run's
mkdir -p "$out"

windows_path() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
win() { scripts/wine.sh win32 run "$@"; }
# Silently, as an administrator installs software; Windows' exit code.
msiexec() {
  local action=$1 rc=0
  shift
  win msiexec "$action" "$(windows_path "$top_dir/$msi")" "$@" /qn >/dev/null 2>&1 || rc=$?
  return $rc
}
# Output goes through a file, not a pipe: Tavrel, started by the extension inside shellhost,
# inherits its standard output under Wine and would hold a pipe open for as long as it runs.
host() {
  win "$bin/shellhost.exe" "$@" > "$out/shellhost.out"
  cat "$out/shellhost.out"
}
# Both hosts at the same time, each line marked with the word size it came from.
hosts() {
  win "$bin/shellhost.exe" "$@" > "$out/shellhost64.out" &
  win "$bin32/shellhost.exe" "$@" > "$out/shellhost32.out"
  wait $!
  sed 's/^/64-bit host: /' "$out/shellhost64.out"
  sed 's/^/32-bit host: /' "$out/shellhost32.out"
}
# Tavrel processes of this prefix (other prefixes on the machine may run their own).
tavrels() {
  for pid in $(pgrep -f 'Tavrel\.exe' || true); do
    { tr '\0' '\n' < "/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$top_dir/$prefix" && echo "$pid"
  done
}
say() { printf '\n== %s\n' "$*" | tee -a "$out/demo.txt"; }
show() { tee -a "$out/demo.txt"; }

# A display server of our own for the menu picture, never the user's screen. Wine's desktop
# process picks its display when the prefix's server starts, so this comes first.
xvfb_pid=""
start_display() {
  unset DISPLAY
  command -v Xvfb >/dev/null && command -v xwd >/dev/null && command -v xwdtopnm >/dev/null || return 0
  # -wr: a white screen, on which a menu that has not painted yet shows as a black box
  Xvfb -displayfd 3 -screen 0 1024x768x24 -wr -nolisten tcp 3>"$out/display" 2>"$out/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$out/display" ] && break; sleep 0.1; done
  [ -s "$out/display" ] && export DISPLAY=":$(head -n1 "$out/display")"
  return 0
}
start_display

# Everything Wine runs belongs to this prefix's server: stopping it ends appstub and Tavrel too.
scripts/wine.sh win32 start
stub_pid=""
cleanup() {
  msiexec /x || true
  [ -n "$stub_pid" ] && kill "$stub_pid" 2>/dev/null || true
  scripts/wine.sh win32 stop
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

# The mean brightness (0 to 1) of a rectangle "left,top,right,bottom" of the screen capture.
brightness() {
  local left top right bottom
  IFS=, read -r left top right bottom <<<"$1"
  xwdtopnm <"$out/screen.xwd" 2>/dev/null |
    pamcut -left "$left" -top "$top" -width $((right - left)) -height $((bottom - top)) | pamsumm -mean -brief -normalize
}

# The screen as the user would see it once every menu window has painted: until then a window
# shows as a black box, so the capture is repeated until each menu is bright and two captures
# in a row agree.
capture_menus() {
  local rects=$1 area=$2 previous="" current bright
  for _ in $(seq 100); do
    xwd -root -silent >"$out/screen.xwd"
    bright=1
    for rect in $rects $area; do
      awk -v b="$(brightness "$rect")" 'BEGIN { exit !(b > 0.5) }' || bright=0
    done
    current=$(md5sum <"$out/screen.xwd")
    [ "$bright" = 1 ] && [ "$current" = "$previous" ] && return 0
    previous=$current
    sleep 0.1
  done
  return 1
}

# The context menu as Windows draws it, "History" open, photographed from the display.
menu_picture() {
  local stop="$out/menu.stop" shown="$out/menu-window.out" rects left=9999 top=9999 right=0 bottom=0 l t r b
  rm -f "$stop" "$shown"
  win "$bin/shellhost.exe" menu --show "$(windows_path "$top_dir/$stop")" --open History "$@" >"$shown" 2>/dev/null &
  local pid=$!
  for _ in $(seq 300); do grep -q '^menu shown:' "$shown" 2>/dev/null && break; sleep 0.1; done
  rects=$(sed -n 's/^menu shown: //p' "$shown")
  for rect in $rects; do
    IFS=, read -r l t r b <<<"$rect"
    left=$((l < left ? l : left)); top=$((t < top ? t : top))
    right=$((r > right ? r : right)); bottom=$((b > bottom ? b : bottom))
  done
  local area="$((left > 16 ? left - 16 : 0)),$((top > 16 ? top - 16 : 0)),$((right + 16)),$((bottom + 16))"
  if [ -n "$rects" ] && capture_menus "$rects" "$area"; then
    IFS=, read -r l t r b <<<"$area"
    xwdtopnm <"$out/screen.xwd" 2>/dev/null | pamcut -left "$l" -top "$t" -width $((r - l)) -height $((b - t)) |
      pnmtopng >"$out/menu.png" 2>/dev/null
    echo "menu picture: $out/menu.png" | show
  else
    echo "the menu did not show on the display; no menu picture" | show
  fi
  touch "$stop"
  wait "$pid" || true
  rm -f "$stop" "$out/screen.xwd"
}

say "Installing the x64 package silently: msiexec /i $(basename "$msi") /qn PARENTDIR=C:\\QuorvaneDemo ..."
msiexec /x || true   # what an interrupted earlier run left installed
mkdir -p "$demo_c/Projects/Report" "$demo_c/App"
for f in "Projects/Report/summary.docx" "Projects/Report/figures.xlsx" "Projects/budget.xlsx" \
         "Projects/notes.txt" "Projects/draft (old).docx" "Projects/temp.tmp"; do
  echo "sample" > "$demo_c/$f"
done
# The application program for the reduced menu: a stand-in that writes down how it was started.
cp "$bin/recorder.exe" "$demo_c/App/quorvane.exe"
msiexec /i 'PARENTDIR=C:\QuorvaneDemo' SHELL_INTEGRATION_FULL=true NOTIFY_LOGGING=true \
  'EXECUTABLE=C:\QuorvaneDemo\App\quorvane.exe' || { echo "installing the package failed" >&2; exit 1; }
# The application's own menu icons, which its installer puts beside the integration.
host sample-icons 'C:\QuorvaneDemo\Quorvane\lib\icons' open share share-g history versions restore lock
cat > "$demo_c/rules.txt" <<'RULES'
# path prefix or pattern<TAB>state
C:\QuorvaneDemo\Projects\Report	Syncing
*\budget.xlsx	Synced
*\notes.txt	Conflict
*.tmp	Excluded
*(old)*	Error
RULES
printf '%s\n' 'quick-commands	2' 'open	Open in Quorvane	true' 'share	Share link	false' \
  'group	3	history	History' 'versions	Show versions	true' 'group	1	restore	Restore' \
  'restore	Restore last version	true' 'lock	Lock file	true' > "$demo_c/commands.txt"
(cd "$demo_c/Quorvane" && find bin lib/overlays -type f | sort | sed 's/^/installed: C:\\QuorvaneDemo\\Quorvane\\/; s|/|\\|g') | show

say "Starting the stand-in application (appstub)"
win "$bin/appstub.exe" --rules 'C:\QuorvaneDemo\rules.txt' --commands 'C:\QuorvaneDemo\commands.txt' \
  --journal 'C:\QuorvaneDemo\journal.txt' --ready-file 'C:\QuorvaneDemo\ready.txt' \
  --lifetime-ms 300000 >"$out/appstub.log" 2>&1 &
stub_pid=$!
for _ in $(seq 100); do [ -s "$demo_c/ready.txt" ] && break; sleep 0.1; done
[ -s "$demo_c/ready.txt" ] || { echo "appstub did not start" >&2; exit 1; }
tr -d '\r' < "$demo_c/ready.txt" | show
command_port=$(sed -n 's/.*command=\([0-9]*\).*/\1/p' "$demo_c/ready.txt")

say "Overlays of C:\\QuorvaneDemo\\Projects (item, state, overlay icon), as Explorer asks for them"
host overlays --picture "$(windows_path "$top_dir/$out/overlays.png")" 'C:\QuorvaneDemo\Projects' | show
echo "overlay picture: $out/overlays.png" | show

say "Context menu of two selected files (identifiers, offsets, greyed entries, bitmaps, verbs)"
host menu 'C:\QuorvaneDemo\Projects\budget.xlsx' 'C:\QuorvaneDemo\Projects\notes.txt' | show
if [ -n "${DISPLAY:-}" ]; then
  menu_picture 'C:\QuorvaneDemo\Projects\budget.xlsx' 'C:\QuorvaneDemo\Projects\notes.txt'
else
  echo "no display server (Xvfb, xwd and netpbm are needed): skipped the menu picture" | show
fi

say "The same commands in Windows 11's first context menu: the Explorer command's tree (shellhost commands)"
host commands 'C:\QuorvaneDemo\Projects\budget.xlsx' 'C:\QuorvaneDemo\Projects\notes.txt' | show
sparse=build/package/sparse   # written by package.sh beside the packages
echo "sparse package content that names it for Windows 11: $sparse ($(grep -o '<Identity [^>]*' "$sparse/AppxManifest.xml" | sed -e 's/<Identity //' -e 's/ *\/$//'))" | show

say "Choosing \"Show versions\": the command and the selection arrive at the application"
host menu --invoke 'Show versions' 'C:\QuorvaneDemo\Projects\budget.xlsx' 'C:\QuorvaneDemo\Projects\notes.txt' \
  | grep InvokeCommand | show
for _ in $(seq 50); do grep -q '^versions' "$demo_c/journal.txt" 2>/dev/null && break; sleep 0.1; done
echo "application journal: $(grep '^versions' "$demo_c/journal.txt" | tail -n1)" | show

say "A change pushed by the application reaches the shell through Tavrel"
grep '^notify-started' "$demo_c/journal.txt" | tail -n1 | sed 's/^/application journal: /' | show
exec 3<>"/dev/tcp/127.0.0.1/$command_port"
printf 'appstub-push\nC:\\\\QuorvaneDemo\\\\Projects\\\\budget.xlsx\n*\n\n' >&3
timeout 5 head -n 1 <&3 >/dev/null || true
exec 3<&-
for _ in $(seq 50); do [ "$(grep -c 'sent notification to the shell' "$log" 2>/dev/null)" -ge 2 ] && break; sleep 0.1; done
grep -E 'Notifier::(run Waiting|_tWinMain)' "$log" | tail -n 5 | tr -d '\r' | sed 's/^/trace log: /' | show

say "Side by side: a 64-bit host (Explorer) and a 32-bit host (a 32-bit program's file dialog)"
for pid in $(tavrels); do kill "$pid"; done   # so that this step shows who starts Tavrel
for _ in $(seq 50); do [ -z "$(tavrels)" ] && break; sleep 0.1; done
win "$bin32/shellhost.exe" overlays 'C:\QuorvaneDemo\Projects\notes.txt' > "$out/shellhost32.out"
sed 's/^/32-bit host: /' "$out/shellhost32.out" | show
echo "Tavrel processes of this user after the 32-bit host alone: $(tavrels | wc -l)" | show
hosts overlays 'C:\QuorvaneDemo\Projects' | show
hosts menu 'C:\QuorvaneDemo\Projects\budget.xlsx' | show
echo "Tavrel processes of this user after both hosts at once: $(tavrels | wc -l)" | show
exec 3<>"/dev/tcp/127.0.0.1/$command_port"
printf 'appstub-push\nC:\\\\QuorvaneDemo\\\\Projects\\\\notes.txt\n\n' >&3
timeout 5 head -n 1 <&3 >/dev/null || true
exec 3<&-
for _ in $(seq 50); do grep -q 'received line: C:\\QuorvaneDemo\\Projects\\notes.txt' "$log" 2>/dev/null && break; sleep 0.1; done
grep 'received line: C:\\QuorvaneDemo\\Projects\\notes.txt' "$log" | tail -n 1 | tr -d '\r' | sed 's/^/trace log: /' | show

say "Checking the installation: shellhost doctor"
host doctor | show || echo "(shellhost doctor exit code: 1)" | show

say "Reduced menu: one item offers \"Launch Quorvane\", which starts the application program"
msiexec /i SHELL_INTEGRATION_FULL=false REINSTALL=ALL REINSTALLMODE=amus ||
  { echo "reconfiguring through the package failed" >&2; exit 1; }
echo "reconfigured: msiexec /i $(basename "$msi") /qn SHELL_INTEGRATION_FULL=false REINSTALL=ALL REINSTALLMODE=amus" | show
export QV_RECORDER_OUTPUT='C:\QuorvaneDemo\launched.txt'
host menu --invoke 'Launch Quorvane' 'C:\QuorvaneDemo\Projects\notes.txt' | show
for _ in $(seq 50); do [ -s "$demo_c/launched.txt" ] && break; sleep 0.1; done
iconv -f UTF-16LE -t UTF-8 "$demo_c/launched.txt" 2>/dev/null | tr -d '\r\357\273\277' | grep -E '^(commandline|arg|folder)=' \
  | sed 's/^/started program: /' | show || true

say "The application stops; the installation check says so"
exec 3<>"/dev/tcp/127.0.0.1/$command_port"
printf 'appstub-quit\n\n' >&3
timeout 5 head -n 1 <&3 >/dev/null || true
exec 3<&-
for _ in $(seq 100); do kill -0 "$stub_pid" 2>/dev/null || break; sleep 0.1; done
stub_pid=""
host doctor | show || echo "(shellhost doctor exit code: 1)" | show

say "Removing the package while Tavrel runs: msiexec /x $(basename "$msi") /qn /norestart"
# The package asks Tavrel to end before it deletes its file: no restart needed (exit code 0).
echo "Tavrel processes of this user before: $(tavrels | wc -l)" | show
msiexec /x /norestart || { echo "removing the package failed (exit code $?)" >&2; exit 1; }
echo "Tavrel processes of this user after: $(tavrels | wc -l)" | show
left=$(cd "$demo_c/Quorvane" 2>/dev/null && find bin lib/overlays 2>/dev/null || true)
echo "left of the package: ${left:-nothing}" | show
host doctor >/dev/null || true
grep -E '^(FAIL|WARN) 64-bit|^verdict' "$out/shellhost.out" | show

say "Done"
echo "trace log: $log" | show
echo "demo output: $out/demo.txt" | show
