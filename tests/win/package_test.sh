#!/usr/bin/env bash
# The life cycle of the Windows Installer packages in a fresh Wine prefix of their own, as a user
# or an administrator goes through it: bad input refused; an older build installed, then upgraded;
# the installation checked by shellhost doctor in both registry views and used through the class
# ids against the stand-in application; a repair; the removal, compared with the registry as it
# was before. The x86 package is built and its tables checked, and installed where 32-bit Wine
# runs. Needs the win64 and win32 trees' deliverables (compreh.dll, Tavrel.exe) built.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$top"

work=build/win64/package-test
bin=build/win64/bin
new=1.0.0
old=0.9.0
failures=0

# The prefix that the next commands run in: TREE (win64 or win32) and its folder.
use_prefix() {
  tree=$1
  export QV_WINEPREFIX="$top/$work/$2"
  drive_c="$QV_WINEPREFIX/drive_c"
}
win() { scripts/wine.sh "$tree" run "$@"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
windows_path() { printf 'Z:%s' "$(printf '%s' "$top/$1" | tr / '\\')"; }
# Output through a file: Tavrel, started by the extension, would hold a pipe open.
run_to() { local file=$1; shift; win "$@" >"$work/$file" 2>/dev/null; }
# Values of the user and of other products under the keys the package writes, in each view
# given: they must stay. (Windows Installer deletes a key that its removal leaves empty, such as
# the empty ContextMenuHandlers key of a fresh prefix; on Windows other handlers live there.)
seed_foreign_values() {
  for view in "$@"; do
    win reg add 'HKLM\Software\Quorvane' /v other-product /d keep /f "/reg:$view" >/dev/null
    win reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\ShellIconOverlayIdentifiers\ Other' \
      /ve /d '{00000000-0000-0000-0000-000000000001}' /f "/reg:$view" >/dev/null
    win reg add 'HKCR\*\shellex\ContextMenuHandlers\Other' /ve /d '{00000000-0000-0000-0000-000000000002}' /f \
      "/reg:$view" >/dev/null
  done
}
# msiexec's exit code as Linux sees it: Windows' code modulo 256 (1603, a fatal error, is 67).
msiexec() { local rc=0; win msiexec "$@" /qn >/dev/null 2>&1 || rc=$?; echo "$rc"; }
query() { win reg query "$@" 2>/dev/null | tr -d '\r'; }
# The registry of the machine as .reg text: everything under HKLM\Software, the classes included,
# less Windows Installer's own bookkeeping of installed products.
export_registry() {
  win regedit /E 'C:\registry.reg' 'HKEY_LOCAL_MACHINE\Software'
  iconv -f UTF-16LE -t UTF-8 "$drive_c/registry.reg" | tr -d '\r' |
    awk '/^\[/ { skip = ($0 ~ /\\Microsoft\\Windows\\CurrentVersion\\(Installer|Uninstall)(\\|\])/ ||
                        $0 ~ /\\Classes\\Installer(\\|\])/) } !skip' >"$work/$1"
  rm -f "$drive_c/registry.reg"
}
same_registry() {
  export_registry "$2"
  diff -u "$work/$1" "$work/$2" >"$work/registry.diff" ||
    fail "$3: the registry differs from $1:"$'\n'"$(head -n 40 "$work/registry.diff")"
}
# No FAIL or WARN among the doctor's checks of the registry views (the application's servers and
# Tavrel are not the package's business), and the installation folder of each view.
check_doctor() {
  local label=$1 host=$2 folder=$3; shift 3
  run_to doctor.out "$host" doctor || true
  tr -d '\r' <"$work/doctor.out" >"$work/doctor.txt"
  local bad
  bad=$(grep -E '^(FAIL|WARN) +(64|32)-bit ' "$work/doctor.txt" || true)
  [ -z "$bad" ] || fail "$label: the doctor found faults in the installation:"$'\n'"$bad"
  for view in "$@"; do
    grep -qxF "OK   $view-bit configuration: installation folder $folder" "$work/doctor.txt" ||
      fail "$label: no $view-bit installation folder $folder"
  done
}

# Where 32-bit programs run natively: not under qemu, which crashes 32-bit Wine processes that
# run threads beside their main one.
host32=build/win32/bin/shellhost.exe
native32=0
if scripts/wine.sh win32 available && ! cmake/i386-run.sh --emulated && [ -f "$host32" ]; then native32=1; fi

rm -rf "$work"
mkdir -p "$work"
trap 'QV_WINEPREFIX="$top/$work/wineprefix" scripts/wine.sh win64 stop
      QV_WINEPREFIX="$top/$work/wineprefix32" scripts/wine.sh win32 stop' EXIT

echo "== building the packages $new and $old"
scripts/package.sh --no-build --version "$new" --out "$work" >/dev/null
scripts/package.sh --no-build --version "$old" --out "$work" >/dev/null
msi=$(windows_path "$work/quorvane-explorer-$new-x64.msi")
old_msi=$(windows_path "$work/quorvane-explorer-$old-x64.msi")

echo "== the x86 package's tables"
x86="$work/quorvane-explorer-$new-x86.msi"
components=$(msiinfo export "$x86" Component | tail -n +4)
[ -n "$components" ] || fail "x86: no components"
awk -F'\t' '$4 >= 256 { print }' <<<"$components" | grep -q . && fail "x86: a component is marked 64-bit"
[ "$(msiinfo export "$x86" File | tail -n +4 | cut -f3 | sort | tr '\n' ' ')" = \
  "Conflict.ico Error.ico Excluded.ico Locked.ico Shared.ico Synced.ico Syncing.ico Tavrel.exe compreh.dll " ] ||
  fail "x86: files are not compreh.dll, Tavrel.exe and the seven icons"
msiinfo export "$x86" Directory | grep '^PARENTDIR	ProgramFilesFolder	' >/dev/null || fail "x86: not under ProgramFilesFolder"
mkdir -p "$work/x86-files"
msiextract -C "$work/x86-files" "$x86" >/dev/null
dll=$(find "$work/x86-files" -name compreh.dll)
[ "$(od -An -tx2 -j$(($(od -An -tu4 -j60 -N4 "$dll" | tr -d ' ') + 4)) -N2 "$dll" | tr -d ' ')" = 014c ] ||
  fail "x86: compreh.dll is not a 32-bit DLL"
[ "$(msiinfo export "$x86" Registry | grep -c 'InprocServer32	ThreadingModel	Apartment')" = 9 ] ||
  fail "x86: not nine classes with ThreadingModel Apartment"
grep -q "Version=\"$old.0\"" "$work/sparse/AppxManifest.xml" || fail "the sparse manifest does not carry the version"

echo "== a fresh prefix"
use_prefix win64 wineprefix
scripts/wine.sh win64 ensure-prefix
scripts/wine.sh win64 start
mkdir -p "$drive_c/Apps"   # an existing folder that receives Quorvane
seed_foreign_values 64 32
export_registry before.reg

echo "== bad input is refused before anything is installed"
for bad in RETRY_TIMEOUT=abc STATE_SHARE_TIMEOUT=5000 STATE_CONNECTIONS=0 SHELL_INTEGRATION_FULL=yes; do
  rc=$(msiexec /i "$msi" "$bad")
  [ "$rc" = 67 ] || fail "$bad: msiexec exit code $rc, not 1603 (67 here)"
done
same_registry before.reg refused.reg "refused installations"

echo "== installing $old, then upgrading to $new"
rc=$(msiexec /i "$old_msi" 'PARENTDIR=C:\Apps' DEBUG_LOGGING=true)
[ "$rc" = 0 ] || fail "installing $old: exit code $rc"
query 'HKLM\Software\Quorvane' /ve | grep "REG_SZ *$old\$" >/dev/null || fail "$old: the version is not configured"
stub=$(windows_path "$bin/appstub.exe")
rc=$(msiexec /i "$msi" SHELL_INTEGRATION_FULL=true RETRY_TIMEOUT=700 STATE_SHARE_TIMEOUT=300 STATE_CONNECTIONS=2 "EXECUTABLE=$stub")
[ "$rc" = 0 ] || fail "upgrading to $new: exit code $rc"
for view in 64 32; do
  out=$(query 'HKLM\Software\Quorvane' /s "/reg:$view")
  expected="HKEY_LOCAL_MACHINE\\Software\\Quorvane
    (Default)    REG_SZ    $new
    other-product    REG_SZ    keep

HKEY_LOCAL_MACHINE\\Software\\Quorvane\\$new
    (Default)    REG_SZ    C:\\Apps\\Quorvane
    executable    REG_SZ    $stub
    retry-timeout    REG_SZ    700
    shell-integration-full    REG_SZ    true
    state-connections    REG_SZ    2
    state-share-timeout    REG_SZ    300"
  [ "$(sed '/^$/d' <<<"$out")" = "$(sed '/^$/d' <<<"$expected")" ] ||
    fail "$view-bit configuration after the upgrade:"$'\n'"$out"
done
installed=$(query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | grep -c 'DisplayName *REG_SZ *Quorvane Explorer integration' || true)
[ "$installed" = 1 ] || fail "$installed installations after the upgrade, not one"

echo "== the installation: doctor, overlays and menu through the class ids"
check_doctor installed "$bin/shellhost.exe" 'C:\Apps\Quorvane' 64 32
sample="$drive_c/Sample"
mkdir -p "$sample/Report"
echo x >"$sample/Report/plan.txt"
echo x >"$sample/notes.txt"
printf 'C:\\Sample\\Report\tSyncing\n*\\notes.txt\tConflict\n' >"$sample/rules.txt"
printf 'quick-commands\t1\nshare\tShare link\ttrue\n' >"$sample/commands.txt"
win "$bin/appstub.exe" --rules 'C:\Sample\rules.txt' --commands 'C:\Sample\commands.txt' \
  --ready-file 'C:\Sample\ready.txt' --lifetime-ms 60000 >/dev/null 2>&1 &
for _ in $(seq 100); do [ -s "$sample/ready.txt" ] && break; sleep 0.1; done
[ -s "$sample/ready.txt" ] || fail "appstub did not start"
run_to overlays.out "$bin/shellhost.exe" overlays 'C:\Sample' || fail "shellhost overlays failed"
grep -q 'C:\\Sample\\Report	Syncing	C:\\Apps\\Quorvane\\lib\\overlays\\Syncing.ico' "$work/overlays.out" &&
  grep -q 'C:\\Sample\\notes.txt	Conflict	C:\\Apps\\Quorvane\\lib\\overlays\\Conflict.ico' "$work/overlays.out" ||
  fail "overlays:"$'\n'"$(cat "$work/overlays.out")"
run_to menu.out "$bin/shellhost.exe" menu 'C:\Sample\notes.txt' || fail "shellhost menu failed"
grep -q 'Share link' "$work/menu.out" || fail "menu:"$'\n'"$(cat "$work/menu.out")"
# A 32-bit program's file dialog loads bin\x86\compreh.dll through the 32-bit view's classes.
if [ "$native32" = 1 ]; then
  run_to overlays32.out "$host32" overlays 'C:\Sample\notes.txt' || fail "32-bit shellhost overlays failed"
  grep -q 'C:\\Sample\\notes.txt	Conflict	' "$work/overlays32.out" ||
    fail "32-bit overlays:"$'\n'"$(cat "$work/overlays32.out")"
fi
scripts/wine.sh win64 stop   # appstub and Tavrel end with the prefix's server
scripts/wine.sh win64 start

echo "== repair restores a deleted DLL and deleted keys"
rm "$drive_c/Apps/Quorvane/bin/compreh.dll"
win reg delete 'HKCR\CLSID\{5B7E2A43-9C13-4D8F-B6A2-71E4C09D35F8}' /f /reg:64 >/dev/null
win reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\ShellIconOverlayIdentifiers\   QuorvaneSynced' \
  /f /reg:32 >/dev/null
# Wine's msiexec does not repair with /fa; this is what /fa asks for.
rc=$(msiexec /i "$msi" REINSTALL=ALL REINSTALLMODE=a)
[ "$rc" = 0 ] || fail "repair: exit code $rc"
[ -f "$drive_c/Apps/Quorvane/bin/compreh.dll" ] || fail "repair: compreh.dll not restored"
check_doctor repaired "$bin/shellhost.exe" 'C:\Apps\Quorvane' 64 32

echo "== removal leaves the registry as it was, and no file"
rc=$(msiexec /x "$msi")
[ "$rc" = 0 ] || fail "removal: exit code $rc"
same_registry before.reg after.reg removal
left=$(cd "$drive_c/Apps" && find . -mindepth 1)
[ -z "$left" ] || fail "removal left files behind:"$'\n'"$left"

echo "== the x86 package on 32-bit Windows"
if [ "$native32" = 1 ]; then
  use_prefix win32 wineprefix32
  WINEARCH=win32 scripts/wine.sh win32 ensure-prefix
  scripts/wine.sh win32 start
  seed_foreign_values 32
  export_registry before32.reg
  # Any program stands in for the application here: the doctor only looks for the file.
  rc=$(msiexec /i "$(windows_path "$x86")" RETRY_TIMEOUT=700 "EXECUTABLE=$(windows_path "$host32")")
  [ "$rc" = 0 ] || fail "x86: installing: exit code $rc"
  check_doctor "x86 installed" "$host32" 'C:\Program Files\Quorvane' 32
  rc=$(msiexec /x "$(windows_path "$x86")")
  [ "$rc" = 0 ] || fail "x86: removal: exit code $rc"
  same_registry before32.reg after32.reg "x86 removal"
  [ ! -e "$drive_c/Program Files/Quorvane" ] || fail "x86: removal left C:\Program Files\Quorvane"
else
  echo "skipped: 32-bit Wine does not run natively here, or $host32 is not built"
fi

if [ "$failures" -gt 0 ]; then
  echo "package_test: $failures failures"
  exit 1
fi
echo "package_test: all checks passed"
