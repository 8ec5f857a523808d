#!/usr/bin/env bash
# The life cycle of the Windows Installer packages in a fresh Wine prefix of their own, as a user
# or an administrator goes through it: bad input refused; an older build installed, then upgraded
# while Tavrel runs; the installation checked by shellhost doctor in both registry views and used
# through the class ids against the stand-in application; a repair; the same version again; the
# removal while Tavrel runs, compared with the registry as it was before; the x86 package refused
# on 64-bit Windows, and installed beside the x64 one as an embedding installer might. The
# packages are signed with a throwaway certificate. The x86 package is installed where 32-bit
# Wine runs. Needs the win64 and win32 trees' deliverables (compreh.dll, Tavrel.exe) built.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$top"

work=build/win64/package-test
bin=build/win64/bin
new=$(tr -d '\r\n' <VERSION)
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
    win reg add 'HKCR\CLSID\{00000000-0000-0000-0000-000000000003}' /ve /d Other /f "/reg:$view" >/dev/null
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

# The shell's view of a process started in the background: gone once it has ended (a zombie
# waiting to be reaped counts as gone).
gone() {
  local state
  for _ in $(seq 50); do
    state=$(ps -o stat= -p "$1" 2>/dev/null || true)
    [ -z "$state" ] || [[ $state == Z* ]] && return 0
    sleep 0.1
  done
  return 1
}
# Tavrel started from the installed folder, as the extension starts it: its process id.
start_installed_tavrel() {
  local port_files="$drive_c/users/$(id -un)/AppData/Roaming/Quorvane/"*.statusupdates-1.port
  rm -f $port_files
  win "$drive_c/Apps/Quorvane/bin/Tavrel.exe" >/dev/null 2>&1 &
  tavrel=$!
  for _ in $(seq 100); do ls $port_files >/dev/null 2>&1 && return 0; sleep 0.1; done
  fail "Tavrel did not start from the installed folder"
}
# A package changing files while Tavrel runs from them: no restart, nothing queued for one, and
# Tavrel ended first.
check_no_restart() {
  local label=$1 rc=$2
  [ "$rc" = 0 ] || fail "$label with Tavrel running: exit code $rc, not 0 (3010, restart required, reads 194)"
  query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations | grep -q Pending &&
    fail "$label: files queued for replacement at the next restart"
  gone "$tavrel" || fail "$label: the old Tavrel still runs"
}
# Signatures as Windows checks them, with the throwaway certificate as the trusted root.
verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >/dev/null 2>&1; }
one_entry() {
  local installed
  installed=$(query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
    grep -c 'DisplayName *REG_SZ *Quorvane Explorer integration' || true)
  [ "$installed" = 1 ] || fail "$1: $installed entries in the list of installed programs, not one"
}
file_versions() { msiinfo export "$1" File | tail -n +4 | awk -F'\t' '{ sub(/.*\|/, "", $3); print $3 "=" $5 }' | sort | tr '\n' ' '; }
component_guids() { msiinfo export "$1" Component | tail -n +4 | cut -f2 | sort; }

# Where 32-bit programs run natively: not under qemu, which crashes 32-bit Wine processes that
# run threads beside their main one.
host32=build/win32/bin/shellhost.exe
native32=0
if scripts/wine.sh win32 available && ! cmake/i386-run.sh --emulated && [ -f "$host32" ]; then native32=1; fi

rm -rf "$work"
mkdir -p "$work"
trap 'QV_WINEPREFIX="$top/$work/wineprefix" scripts/wine.sh win64 stop
      QV_WINEPREFIX="$top/$work/wineprefix32" scripts/wine.sh win32 stop' EXIT

echo "== building the packages $new (signed with a throwaway certificate) and $old (an older build)"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Quorvane Test" -addext extendedKeyUsage=codeSigning >/dev/null 2>&1
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.pfx" -passout pass:throwaway
QV_SIGN_PASSWORD=throwaway scripts/package.sh --no-build --out "$work/new" --sign "$work/cert.pfx" >/dev/null
# The older build: these binaries with 0.9.0.0 in their version resource, so that the upgrade
# replaces them by version as it replaces a real older build's.
for tree in win64 win32; do
  mkdir -p "$work/old/$tree/bin"
  for name in compreh.dll Tavrel.exe; do
    perl -0777 -pe 's/\xBD\x04\xEF\xFE(.{4}).{16}/"\xBD\x04\xEF\xFE$1" . pack("V4", 9, 0, 9, 0)/se' \
      "build/$tree/bin/$name" >"$work/old/$tree/bin/$name"
  done
done
scripts/package.sh --no-build --trees "$work/old" --out "$work/old/package" >/dev/null 2>"$work/unsigned.txt"
grep -q 'unsigned' "$work/unsigned.txt" || fail "an unsigned build does not say so"
msi_file="$work/new/quorvane-explorer-$new-x64.msi"
msi=$(windows_path "$msi_file")
old_msi=$(windows_path "$work/old/package/quorvane-explorer-$old-x64.msi")
x86="$work/new/quorvane-explorer-$new-x86.msi"

echo "== versions, component GUIDs, symbols and signatures in the packages"
[ "$(file_versions "$msi_file")" = "Conflict.ico= Error.ico= Excluded.ico= Locked.ico= Shared.ico= Synced.ico= Syncing.ico= Tavrel.exe=$new.0 compreh.dll=$new.0 compreh.dll=$new.0 " ] ||
  fail "x64: the File table's versions: $(file_versions "$msi_file")"
[ "$(file_versions "$work/old/package/quorvane-explorer-$old-x64.msi" | grep -o 'Tavrel.exe=[^ ]*')" = "Tavrel.exe=$old.0" ] ||
  fail "$old: Tavrel.exe's version in the File table is not $old.0"
[ -z "$(component_guids "$msi_file" | uniq -d)" ] || fail "x64: components share a GUID"
[ -z "$(comm -12 <(component_guids "$msi_file") <(component_guids "$x86"))" ] ||
  fail "the x64 and x86 packages share component GUIDs"
# Stable across versions, except where the registry key names the version: 11 values and the key.
changed=$(comm -13 <(component_guids "$work/old/package/quorvane-explorer-$old-x64.msi") <(component_guids "$msi_file") | wc -l)
[ "$changed" = 26 ] || fail "$changed component GUIDs changed from $old to $new, not the 2 x 13 version-keyed ones"
for file in "$work"/new/bin/win*/*; do
  objdump=x86_64-w64-mingw32-objdump
  sections=$($objdump -h "$file" | awk '{ print $2 }')
  grep -q '^\.debug_' <<<"$sections" && fail "$file carries debug information"
  grep -qx '\.gnu_debuglink' <<<"$sections" || fail "$file does not name its symbols file"
  $objdump -h "$work/new/symbols/$(basename "$(dirname "$file")")/$(basename "$file").debug" | grep -q ' \.debug_info ' ||
    fail "no debug information kept for $file"
done
verifies "$msi_file" || fail "the signed x64 package does not verify"
cp "$msi_file" "$work/tampered.msi"
printf 'x' | dd of="$work/tampered.msi" bs=1 seek=$(($(stat -c %s "$msi_file") / 2)) conv=notrunc status=none
verifies "$work/tampered.msi" && fail "the x64 package verifies after one byte changed"
rm -f "$work/tampered.msi"

echo "== the x86 package's tables"
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
grep -q "Version=\"$new.0\"" "$work/new/sparse/AppxManifest.xml" || fail "the sparse manifest does not carry the version"

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

echo "== installing $old, then upgrading to $new while Tavrel runs"
rc=$(msiexec /i "$old_msi" 'PARENTDIR=C:\Apps' DEBUG_LOGGING=true)
[ "$rc" = 0 ] || fail "installing $old: exit code $rc"
query 'HKLM\Software\Quorvane' /ve | grep "REG_SZ *$old\$" >/dev/null || fail "$old: the version is not configured"
start_installed_tavrel
stub=$(windows_path "$bin/appstub.exe")
rc=$(msiexec /i "$msi" SHELL_INTEGRATION_FULL=true RETRY_TIMEOUT=700 STATE_SHARE_TIMEOUT=300 STATE_CONNECTIONS=2 "EXECUTABLE=$stub")
check_no_restart "upgrading to $new" "$rc"
cmp -s "$drive_c/Apps/Quorvane/bin/Tavrel.exe" "$work/new/bin/win64/Tavrel.exe" || fail "the upgrade left the old Tavrel.exe"
# As an embedding installer may, this package removes the old product only after InstallFinalize:
# the old version's key must go all the same (the configuration below has only the new one).
msiinfo export "$msi_file" InstallExecuteSequence | tr -d '\r' |
  awk -F'\t' '{ s[$1] = $3 } END { exit !(s["RemoveExistingProducts"] > s["InstallFinalize"]) }' ||
  fail "the old product is removed before InstallFinalize: the late removal is not tested"
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
one_entry "after the upgrade"
# The list of installed programs shows the product's icon (ProductIcon, published by Windows
# Installer), a help link and the folder, and no Modify button.
entry=$(query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s; query 'HKCR\Installer\Products' /s)
entry=$(grep -iE '^ *(ProductIcon|HelpLink|InstallLocation|NoModify) ' <<<"$entry" | sed 's/^ *//; s/ \{2,\}/ /g' | sort)
for value in 'ProductIcon REG_SZ .*Quorvane\.ico' 'HelpLink REG_SZ https://' 'InstallLocation REG_SZ C:\\Apps\\Quorvane\\' \
             'NoModify REG_DWORD 0x1'; do
  grep -q "^$value" <<<"$entry" || fail "Add/Remove Programs: no $value in"$'\n'"$entry"
done
for file in bin/compreh.dll bin/x86/compreh.dll bin/Tavrel.exe; do
  verifies "$drive_c/Apps/Quorvane/$file" || fail "the installed $file is not signed"
done
cp "$drive_c/Apps/Quorvane/bin/Tavrel.exe" "$work/tampered.exe"
printf 'x' | dd of="$work/tampered.exe" bs=1 seek=4000 conv=notrunc status=none
verifies "$work/tampered.exe" && fail "Tavrel.exe verifies after one byte changed"

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

echo "== the same version, built again, replaces the installation"
scripts/package.sh --no-build --out "$work/again" >/dev/null 2>&1
again=$(windows_path "$work/again/quorvane-explorer-$new-x64.msi")
rc=$(msiexec /i "$again")
[ "$rc" = 0 ] || fail "the same version again: exit code $rc"
one_entry "the same version again"

echo "== removal while Tavrel runs leaves the registry as it was, and no file"
start_installed_tavrel
rc=$(msiexec /x "$again")
check_no_restart removal "$rc"
same_registry before.reg after.reg removal
left=$(cd "$drive_c/Apps" && find . -mindepth 1)
[ -z "$left" ] || fail "removal left files behind:"$'\n'"$left"

echo "== the x86 package is refused on 64-bit Windows; beside the x64 one, as embedded, removed in either order"
rc=$(msiexec /i "$(windows_path "$x86")")
[ "$rc" = 67 ] || fail "x86 on 64-bit Windows: exit code $rc, not 1603 (67 here)"
same_registry before.reg refused-x86.reg "the refused x86 package"
# Wine's msiexec logs no launch condition's message in a silent run: read from the table.
msiinfo export "$x86" LaunchCondition | grep -q "^Installed OR NOT VersionNT64	.*install quorvane-explorer-$new-x64\.msi" ||
  fail "x86 on 64-bit Windows: the message does not name the x64 package"
# An application's installer built from the fragments has no such refusal.
cp "$x86" "$work/x86-embedded.msi"
msibuild "$work/x86-embedded.msi" -q "DELETE FROM \`LaunchCondition\` WHERE \`Condition\` = 'Installed OR NOT VersionNT64'"
for first in x64 x86; do
  rc64=$(msiexec /i "$msi") rc86=$(msiexec /i "$(windows_path "$work/x86-embedded.msi")")
  [ "$rc64$rc86" = 00 ] || fail "side by side: installing: exit codes $rc64 (x64) and $rc86 (x86)"
  order=("$msi" "$(windows_path "$work/x86-embedded.msi")")
  [ $first = x86 ] && order=("${order[1]}" "${order[0]}")
  rc64=$(msiexec /x "${order[0]}") rc86=$(msiexec /x "${order[1]}")
  [ "$rc64$rc86" = 00 ] || fail "side by side, $first removed first: exit codes $rc64 and $rc86"
  same_registry before.reg "side-by-side-$first.reg" "side by side, $first removed first"
  left=$(cd "$drive_c" && find "Program Files/Quorvane" "Program Files (x86)/Quorvane" 2>/dev/null || true)
  [ -z "$left" ] || fail "side by side, $first removed first: files left behind:"$'\n'"$left"
done

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
