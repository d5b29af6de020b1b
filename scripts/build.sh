#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh DIR [extra cmake options]
set -euo pipefail
dir=$1
shift
cmake -S "$(dirname "$0")/.." -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
