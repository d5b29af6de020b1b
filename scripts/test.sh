#!/usr/bin/env bash
# Sets up, builds and runs every test: once as is, once under AddressSanitizer
# and UndefinedBehaviorSanitizer. Then the manual pages are checked, and the
# Debian package is built from the plain tree and tried unpacked.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

# The demo may have configured this tree first; the tests and benchmarks are on here.
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIDEWRITE_TESTS=ON -DTIDEWRITE_BENCH=ON
ctest --test-dir build -j "$jobs" --output-on-failure

bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DTIDEWRITE_SANITIZE=ON -DTIDEWRITE_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure

# Manual pages: no warning from groff, neither on its own nor at a terminal's width.
for page in man/*.1; do
  warnings=$( (groff -man -ww -z "$page" && groff -man -ww -z -Tutf8 -rLL=78n "$page") 2>&1)
  if [[ -n $warnings ]]; then
    echo "$page: $warnings" >&2
    exit 1
  fi
done
echo "manual pages: $(ls man/*.1 | wc -l) render without warnings"

timeout 600 bash scripts/check-package.sh build
