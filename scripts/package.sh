#!/usr/bin/env bash
# Builds the Windows Installer packages of the integration from packaging/quorvane.wxs with wixl:
#   build/package/quorvane-explorer-<version>-x64.msi   64-bit Windows (both registry views)
#   build/package/quorvane-explorer-<version>-x86.msi   32-bit Windows
#   build/package/sparse/                               the sparse package's content, to be packed
#                                                       and signed on Windows for Windows 11's menu
# It first builds compreh.dll and Tavrel.exe in the win64 and win32 trees (not with --no-build).
#   package.sh [--no-build] [--version MAJOR.MINOR.BUILD] [--out DIR] [--publisher SUBJECT]
# SUBJECT is the signing certificate's subject, exactly; the default suits a test certificate.
set -euo pipefail
cd "$(dirname "$0")/.."

version=1.0.0
out=build/package
build=1
publisher="CN=Quorvane Test"
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) build=0 ;;
    --version) version=$2; shift ;;
    --out) out=$2; shift ;;
    --publisher) publisher=$2; shift ;;
    *) echo "usage: $0 [--no-build] [--version MAJOR.MINOR.BUILD] [--out DIR] [--publisher SUBJECT]" >&2; exit 2 ;;
  esac
  shift
done
# Windows Installer compares the first three fields, each a number (the first two below 256).
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || [ "${BASH_REMATCH[1]}" -gt 255 ] ||
   [ "${BASH_REMATCH[2]}" -gt 255 ] || [ "${BASH_REMATCH[3]}" -gt 65535 ]; then
  echo "package.sh: version '$version' is not MAJOR.MINOR.BUILD (at most 255.255.65535)" >&2
  exit 2
fi

if [ $build = 1 ]; then
  for preset in win64 win32; do
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j 2 --target compreh Tavrel >/dev/null
  done
fi
for file in build/win64/bin/compreh.dll build/win64/bin/Tavrel.exe build/win32/bin/compreh.dll build/win32/bin/Tavrel.exe; do
  [ -f "$file" ] || { echo "package.sh: $file is missing (run without --no-build)" >&2; exit 1; }
done

# Public properties that an administrator may pass; listed as secure so that Windows hands them
# from the client to the installing service.
secure="PARENTDIR;SHELL_INTEGRATION_FULL;DEBUG_LOGGING;SOCKET_LOGGING;NOTIFY_LOGGING;CONSOLE;RECV_TIMEOUT"
secure+=";SEND_TIMEOUT;RETRY_TIMEOUT;STATE_SHARE_TIMEOUT;STATE_CONNECTIONS;EXECUTABLE;TAVREL"

# wixl cannot build component conditions: the source keeps them outside var.Wixl, and they are
# copied from its preprocessed text into the Component table. The preprocessor writes each
# element on a line of its own.
conditions_sql() {
  wixl -E "${defines[@]}" packaging/quorvane.wxs | awk '
    /<Component / { match($0, /Id="[^"]*"/); id = substr($0, RSTART + 4, RLENGTH - 5) }
    /<\/Component>/ { id = "" }
    id != "" && /<Condition>/ {
      text = $0; sub(/.*<Condition>/, "", text); sub(/<\/Condition>.*/, "", text)
      gsub(/&lt;/, "<", text); gsub(/&gt;/, ">", text); gsub(/&quot;/, "\"", text); gsub(/&amp;/, "\\&", text)
      gsub(/'\''/, "'\'''\''", text)
      printf "UPDATE `Component` SET `Condition` = '\''%s'\'' WHERE `Component` = '\''%s'\''\n", text, id
    }'
}

mkdir -p "$out"
for arch in x64 x86; do
  msi="$out/quorvane-explorer-$version-$arch.msi"
  defines=(-D "Arch=$arch" -D "Version=$version" -D Bin64=build/win64/bin -D Bin32=build/win32/bin
           -D Icons=packaging/icons -I packaging)
  rm -f "$msi"
  wixl -a "$arch" "${defines[@]}" -D Wixl=1 -o "$msi" packaging/quorvane.wxs
  sql=$(conditions_sql)
  [ -n "$sql" ] || { echo "package.sh: no component conditions found in the source" >&2; exit 1; }
  while IFS= read -r query; do msibuild "$msi" -q "$query"; done <<<"$sql"
  listed=$(msiinfo export "$msi" Property | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }' | tr -d '\r')
  msibuild "$msi" -q "UPDATE \`Property\` SET \`Value\` = '$secure${listed:+;$listed}' WHERE \`Property\` = 'SecureCustomProperties'"
  echo "$msi"
done
packaging/sparse/make-sparse.sh "$out/sparse" "$version" "$publisher"
echo "$out/sparse/AppxManifest.xml"
