#!/usr/bin/env bash
# The main job: installs what is missing, builds compreh.dll and Tavrel.exe for 64-bit and
# 32-bit Windows, and shows the system working under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
for preset in win64 win32; do
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
done
echo "== built"
ls -l build/win64/bin/compreh.dll build/win64/bin/Tavrel.exe build/win32/bin/compreh.dll build/win32/bin/Tavrel.exe
