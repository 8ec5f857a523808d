#!/usr/bin/env bash
# Writes the sparse package's content: OUTDIR/AppxManifest.xml, filled in from the template beside
# this script, and the logo images it names, drawn here (netpbm). Packing and signing happen on
# Windows (see README); the installer registers the package next to the installation folder.
#   make-sparse.sh OUTDIR VERSION PUBLISHER [NAME]
# VERSION: the program version; its first four numbers make the package version (missing ones
# are 0, a suffix such as "-beta" is left out). PUBLISHER: the signing certificate's subject,
# exactly, e.g. "CN=Quorvane Ltd, O=Quorvane Ltd, C=CH". NAME: default Quorvane.ExplorerIntegration.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
[ $# -ge 3 ] || { echo "usage: $0 OUTDIR VERSION PUBLISHER [NAME]" >&2; exit 2; }
out=$1 version=$2 publisher=$3 name=${4:-Quorvane.ExplorerIntegration}
# The class id of compreh.dll's Explorer command, as shellhost register writes it (without braces).
class_id=5B7E2A48-9C13-4D8F-B6A2-71E4C09D35F8

# Four numbers of at most 65535 each; a package name of letters, digits, dots and dashes.
IFS=. read -r -a parts <<<"${version%%[-+ ]*}"
four=()
for i in 0 1 2 3; do
  n=${parts[$i]:-0}
  [[ $n =~ ^[0-9]+$ ]] && [ "$n" -le 65535 ] || { echo "$0: version '$version' is not numbers" >&2; exit 2; }
  four+=("$((10#$n))")
done
[[ $name =~ ^[A-Za-z0-9.-]{3,50}$ ]] || { echo "$0: package name '$name' is not allowed" >&2; exit 2; }
[ -n "$publisher" ] || { echo "$0: no publisher" >&2; exit 2; }

[[ $publisher != *$'\n'* ]] || { echo "$0: the publisher is one line" >&2; exit 2; }

# The publisher goes into an attribute: XML's special characters are escaped, and then what
# sed's replacement text would read as its own.
xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g'; }
sed_escape() { sed -e 's/[&\\|]/\\&/g'; }
mkdir -p "$out/Assets"
sed -e "s|@NAME@|$name|g" -e "s|@PUBLISHER@|$(printf '%s' "$publisher" | xml_escape | sed_escape)|g" \
    -e "s|@VERSION@|${four[0]}.${four[1]}.${four[2]}.${four[3]}|g" -e "s|@CLASS_ID@|$class_id|g" \
    "$here/AppxManifest.xml.in" > "$out/AppxManifest.xml"

# Plain squares in the product colour; the manifest names each of them.
for logo in StoreLogo:50 Square44x44Logo:44 Square150x150Logo:150; do
  ppmmake '#1f6feb' "${logo#*:}" "${logo#*:}" | pnmtopng > "$out/Assets/${logo%%:*}.png"
done
echo "$out/AppxManifest.xml"
