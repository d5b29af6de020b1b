#!/usr/bin/env bash
# Sets up, builds the programs (not the tests or benchmarks: the second
# README command builds those), and runs the demo: the programmer against the
# emulated board. Each demo-*.sh part runs in turn, in name order.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target programs
export DEMO_OUT="$PWD/demo-out"
rm -rf "$DEMO_OUT"
mkdir -p "$DEMO_OUT"
shopt -s nullglob
parts=(scripts/demo/*.sh)
if ((${#parts[@]} == 0)); then
  echo "no demo parts yet; the programmer's usage:"
  ./build/tidewrite/tidewrite -h || true
  exit 0
fi
for part in "${parts[@]}"; do
  bash "$part"
done
