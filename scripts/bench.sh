#!/usr/bin/env bash
# Runs every benchmark under Wine in the private prefix and prints its figures and ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --build --preset win64 -j "$(nproc)" >/dev/null
scripts/wine.sh start
trap 'scripts/wine.sh stop' EXIT
for bench in request_bench state_bench notifier_bench overlay_bench menu_bench; do
  echo "== $bench"
  (cd build/win64 && ../../scripts/wine.sh run "bin/$bench.exe")
done
for behaviour in hung drip slow endless restart; do
  echo "== misbehaving_bench $behaviour"
  (cd build/win64 && ../../scripts/wine.sh run bin/misbehaving_bench.exe "$behaviour")
done
