#!/usr/bin/env bash
# Builds the Windows Installer packages of the integration from packaging/quorvane.wxs with wixl:
#   build/package/quorvane-explorer-<version>-x64.msi   64-bit Windows (both registry views)
#   build/package/quorvane-explorer-<version>-x86.msi   32-bit Windows
#   build/package/bin/win64, bin/win32                  the shipped binaries: stripped, signed
#   build/package/symbols/win64, symbols/win32          their debug information (*.debug)
#   build/package/sparse/                               the sparse package's content, to be packed
#                                                       and signed on Windows for Windows 11's menu
# It first builds compreh.dll and Tavrel.exe in the win64 and win32 trees (not with --no-build).
#   package.sh [--no-build] [--version MAJOR.MINOR.BUILD] [--out DIR] [--trees DIR]
#              [--publisher SUBJECT] [--sign PFX [--timestamp URL]] [--help-link URL]
# The version is the binaries' own (from the VERSION file); --version gives the package another.
# --trees names the folder that holds win64/bin and win32/bin (default build).
# SUBJECT is the signing certificate's subject, exactly; the default suits a test certificate.
# --sign signs the binaries and then the packages with the PKCS#12 file PFX, whose password is
# read from the environment variable QV_SIGN_PASSWORD; without --sign they stay unsigned.
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: $0 [--no-build] [--version MAJOR.MINOR.BUILD] [--out DIR] [--trees DIR] [--publisher SUBJECT]"
usage+=" [--sign PFX [--timestamp URL]] [--help-link URL]"
version=""
out=build/package
trees=build
build=1
publisher="CN=Quorvane Test"
pfx=""
timestamp=""
help_link="https://www.quorvane.com/support"
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) build=0 ;;
    --version) version=$2; shift ;;
    --out) out=$2; shift ;;
    --trees) trees=$2; shift ;;
    --publisher) publisher=$2; shift ;;
    --sign) pfx=$2; shift ;;
    --timestamp) timestamp=$2; shift ;;
    --help-link) help_link=$2; shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$pfx" ]; then
  [ -f "$pfx" ] || { echo "package.sh: no certificate file $pfx" >&2; exit 2; }
  [ -n "${QV_SIGN_PASSWORD+set}" ] || { echo "package.sh: QV_SIGN_PASSWORD is not set (the password of $pfx)" >&2; exit 2; }
fi

if [ $build = 1 ]; then
  for preset in win64 win32; do
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j 2 --target compreh Tavrel >/dev/null
  done
fi
for file in "$trees"/win64/bin/compreh.dll "$trees"/win64/bin/Tavrel.exe "$trees"/win32/bin/compreh.dll \
            "$trees"/win32/bin/Tavrel.exe; do
  [ -f "$file" ] || { echo "package.sh: $file is missing (run without --no-build)" >&2; exit 1; }
done

# The file version of a Windows binary, from the fixed part of its version resource.
file_version() {
  perl -0777 -ne 'my $i = index($_, "\xBD\x04\xEF\xFE"); exit 1 if $i < 0;
    my (undef, undef, $ms, $ls) = unpack("V4", substr($_, $i, 16));
    printf "%d.%d.%d.%d\n", $ms >> 16, $ms & 0xFFFF, $ls >> 16, $ls & 0xFFFF' "$1"
}
file_versions=$(for file in "$trees"/win{64,32}/bin/{compreh.dll,Tavrel.exe}; do
  file_version "$file" || echo "none"; done | sort -u)
if [ "$(wc -l <<<"$file_versions")" != 1 ] || [ "$file_versions" = none ]; then
  echo "package.sh: the binaries do not carry one version:" $file_versions >&2
  exit 1
fi
[ -n "$version" ] || version=${file_versions%.*}
# Windows Installer compares the first three fields, each a number (the first two below 256).
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || [ "${BASH_REMATCH[1]}" -gt 255 ] ||
   [ "${BASH_REMATCH[2]}" -gt 255 ] || [ "${BASH_REMATCH[3]}" -gt 65535 ]; then
  echo "package.sh: version '$version' is not MAJOR.MINOR.BUILD (at most 255.255.65535)" >&2
  exit 2
fi
# Part of the GUIDs of the components whose registry key names the version (see view.wxi).
version_hex=$(printf '%02X%02X%04X' "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}" "${BASH_REMATCH[3]}")

# Signs one file in place with osslsigncode; the password goes through a pipe, never on a
# command line that other users could read.
sign() {
  local file=$1 args=(-pkcs12 "$pfx" -readpass /dev/stdin -h sha256 -n "Quorvane Explorer integration")
  [ -z "$timestamp" ] || args+=(-ts "$timestamp")
  printf '%s' "$QV_SIGN_PASSWORD" | osslsigncode sign "${args[@]}" -in "$file" -out "$file.signed" >/dev/null
  mv "$file.signed" "$file"
}

# The shipped binaries carry no debug information (the 64-bit DLL would be ten times larger);
# it stays in symbols/, linked by name and checksum (.gnu_debuglink) for gdb and addr2line.
mkdir -p "$out"
rm -rf "$out/bin" "$out/symbols"
for tree in win64 win32; do
  prefix=x86_64-w64-mingw32
  [ $tree = win32 ] && prefix=i686-w64-mingw32
  mkdir -p "$out/bin/$tree" "$out/symbols/$tree"
  for name in compreh.dll Tavrel.exe; do
    symbols="$out/symbols/$tree/$name.debug"
    "$prefix-objcopy" --only-keep-debug "$trees/$tree/bin/$name" "$symbols"
    "$prefix-objcopy" --strip-all --add-gnu-debuglink="$symbols" "$trees/$tree/bin/$name" "$out/bin/$tree/$name"
    [ -z "$pfx" ] || sign "$out/bin/$tree/$name"
  done
done

# Public properties that an administrator may pass; listed as secure so that Windows hands them
# from the client to the installing service.
secure="PARENTDIR;SHELL_INTEGRATION_FULL;DEBUG_LOGGING;SOCKET_LOGGING;NOTIFY_LOGGING;CONSOLE;RECV_TIMEOUT"
secure+=";SEND_TIMEOUT;RETRY_TIMEOUT;STATE_SHARE_TIMEOUT;STATE_CONNECTIONS;EXECUTABLE;TAVREL"

# What wixl cannot build is written under <?ifndef var.Wixl?> in the source, read here from its
# preprocessed text (each element on a line of its own) and written into the tables with msibuild:
# the component conditions,
conditions_sql() {
  awk '
    /<Component / { match($0, /Id="[^"]*"/); id = substr($0, RSTART + 4, RLENGTH - 5) }
    /<\/Component>/ { id = "" }
    id != "" && /<Condition>/ {
      text = $0; sub(/.*<Condition>/, "", text); sub(/<\/Condition>.*/, "", text)
      gsub(/&lt;/, "<", text); gsub(/&gt;/, ">", text); gsub(/&quot;/, "\"", text); gsub(/&amp;/, "\\&", text)
      gsub(/'\''/, "'\'''\''", text)
      printf "UPDATE `Component` SET `Condition` = '\''%s'\'' WHERE `Component` = '\''%s'\''\n", text, id
    }'
}
# and the custom actions that run a program from the Binary table (type 2) at once, as the
# user, ignoring its exit code (+64) as their Return="ignore" says.
custom_actions_sql() {
  sed -n 's/.*<CustomAction Id="\([^"]*\)" BinaryKey="\([^"]*\)" ExeCommand="\([^"]*\)".*Return="ignore".*/\1 \2 \3/p' |
    while read -r id key command; do
      echo "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('$id', 66, '$key', '$command')"
    done
}
# wixl leaves the File table's versions empty: each binary's own goes there, so that Windows
# Installer replaces files by version (a versioned file has no hash row).
versions_sql() {
  local msi=$1 bin=$2 key name
  while IFS=$'\t' read -r key _ name _; do
    name=${name#*|}
    case "$name" in
      *.dll|*.exe)
        echo "UPDATE \`File\` SET \`Version\` = '$(file_version "$bin/$name")' WHERE \`File\` = '$key'"
        echo "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$key'" ;;
    esac
  done < <(msiinfo export "$msi" File | tail -n +4)
}

for arch in x64 x86; do
  msi="$out/quorvane-explorer-$version-$arch.msi"
  defines=(-D "Arch=$arch" -D "Version=$version" -D "VersionHex=$version_hex" -D "Bin64=$out/bin/win64"
           -D "Bin32=$out/bin/win32" -D Icons=packaging/icons -D "HelpLink=$help_link" -I packaging)
  rm -f "$msi"
  wixl -a "$arch" "${defines[@]}" -D Wixl=1 -o "$msi" packaging/quorvane.wxs
  preprocessed=$(wixl -E "${defines[@]}" packaging/quorvane.wxs)
  conditions=$(conditions_sql <<<"$preprocessed")
  actions=$(custom_actions_sql <<<"$preprocessed")
  [ -n "$conditions" ] && [ -n "$actions" ] ||
    { echo "package.sh: no component conditions or custom actions found in the source" >&2; exit 1; }
  # The 64-bit package's 32-bit DLL has the same version as the 64-bit one.
  bin=$out/bin/win64
  [ $arch = x86 ] && bin=$out/bin/win32
  sql="$conditions"$'\n'"$actions"$'\n'"$(versions_sql "$msi" "$bin")"
  # A rebuild of the same version replaces the installation instead of adding a second one
  # (WiX's AllowSameVersionUpgrades): the upgrade's version range includes its maximum (0x200).
  # Attributes belongs to the table's key, so the row is written anew.
  read -r code max attributes < <(msiinfo export "$msi" Upgrade | tr -d '\r' |
    awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1, $3, $5 }')
  sql+=$'\n'"DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
  sql+=$'\n'"INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`)"
  sql+=" VALUES ('$code', '$max', $((attributes | 0x200)), 'WIX_UPGRADE_DETECTED')"
  while IFS= read -r query; do msibuild "$msi" -q "$query"; done <<<"$sql"
  listed=$(msiinfo export "$msi" Property | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }' | tr -d '\r')
  msibuild "$msi" -q "UPDATE \`Property\` SET \`Value\` = '$secure${listed:+;$listed}' WHERE \`Property\` = 'SecureCustomProperties'"
  # Last: any change to a signed package breaks its signature.
  [ -z "$pfx" ] || sign "$msi"
  echo "$msi"
done
[ -n "$pfx" ] || echo "package.sh: no certificate given (--sign PFX): the binaries and packages are unsigned" >&2
packaging/sparse/make-sparse.sh "$out/sparse" "$version" "$publisher"
echo "$out/sparse/AppxManifest.xml"
