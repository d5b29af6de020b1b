#!/usr/bin/env bash
# Sets up, builds and runs every test: once as is, once under AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build -j "$jobs" --output-on-failure

bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DTIDEWRITE_SANITIZE=ON -DTIDEWRITE_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure
