#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, configures the three
# build trees and creates the private Wine prefixes. Does nothing that is already done.
set -euo pipefail
cd "$(dirname "$0")/.."

# xvfb, x11-apps and netpbm are for the demo's menu picture: a display server, its
# screenshot and the conversion of that screenshot to PNG; netpbm also draws the sparse
# package's logos. wixl builds the Windows Installer packages (scripts/package.sh); msitools has
# msiinfo and msibuild, which check and finish them; libxml2-utils (xmllint) checks the sparse
# package's manifest.
packages=(cmake make clang libclang-rt-14-dev googletest
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64
          qemu-user-static xvfb x11-apps netpbm wixl msitools libxml2-utils)
# Wine's 32-bit half runs the win32 tests; its preloader makes a 32-bit start take 0.5 s
# instead of a minute under qemu, which runs it where the kernel refuses 32-bit programs. Its
# i386 libraries must have exactly the versions of the installed 64-bit ones, so a mirror in
# the middle of a sync can make it uninstallable for a while: then the win32 tree is still
# built and checked, and scripts/test.sh says which of its tests it could not run.
packages32=(wine32:i386 wine32-preloader:i386)

sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
updated=0
missing_of() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}
install() {
  echo "== installing: $*"
  if [ $updated = 0 ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
    # A mirror in the middle of a sync fails one list now and then; the install still works
    # from the lists that did arrive, and fails clearly if a package is not in them.
    $sudo apt-get update -qq || echo "== apt-get update reported errors; installing from the lists at hand"
    updated=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
missing=($(missing_of "${packages[@]}"))
[ ${#missing[@]} -eq 0 ] || install "${missing[@]}"
# The release's own lists alone, in a folder of their own: there both word sizes have the same
# versions, while the security lists of one architecture may be behind the other's.
install_from_release() {
  local apt=/tmp/qv-apt-release
  . /etc/os-release
  mkdir -p "$apt/lists/partial" "$apt/parts"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $VERSION_CODENAME main" \
    > "$apt/sources.list"
  local options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
                 -o "Dir::State::Lists=$apt/lists")
  echo "== installing from the release's lists alone: $*"
  $sudo apt-get "${options[@]}" update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get "${options[@]}" install -y -qq --no-install-recommends "$@" >/dev/null
}
missing=($(missing_of "${packages32[@]}"))
# wine64 is named too, so that apt keeps it rather than remove it for the 32-bit half's sake.
if [ ${#missing[@]} -gt 0 ] && ! install "${missing[@]}" && ! install_from_release "${missing[@]}" wine64; then
  echo "== WARNING: Wine's 32-bit half could not be installed; the win32 tree is built and checked, not run"
fi

for preset in host win64 win32; do
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
done

scripts/wine.sh win64 ensure-prefix
if scripts/wine.sh win32 available; then scripts/wine.sh win32 ensure-prefix; fi
