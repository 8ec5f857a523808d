#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, configures the three
# build trees and creates the private Wine prefix. Does nothing that is already done.
set -euo pipefail
cd "$(dirname "$0")/.."

# The last three are for the demo's menu picture: a display server, its screenshot and the
# conversion of that screenshot to PNG.
packages=(cmake make clang libclang-rt-14-dev googletest
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64
          xvfb x11-apps netpbm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

for preset in host win64 win32; do
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
done

scripts/wine.sh ensure-prefix
