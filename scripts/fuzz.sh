#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang (in build-fuzz/) and runs
# each for SECONDS (default 60), one after the other:
#
#   scripts/fuzz.sh [SECONDS] [HARNESS...]
#
# New inputs go to build-fuzz/corpus/<harness>/ (the checked-in seeds in
# fuzz/corpus/ are only read); an input that finds a fault is saved in
# build-fuzz/artifacts/<harness>/ and replayed once to show the message. Fix
# the fault, then add the input to fuzz/corpus/<harness>/ so that every test
# run replays it. Exits non-zero when any harness found a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

pkgs=(clang libclang-rt-14-dev cmake ninja-build pkg-config libcjson-dev libssl-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTIDEWRITE_FUZZ=ON -DTIDEWRITE_TESTS=OFF -DTIDEWRITE_BENCH=OFF "${launcher[@]}" >/dev/null

if (($#)); then
  harnesses=("$@")
else
  harnesses=()
  for d in fuzz/corpus/*/; do harnesses+=("$(basename "$d")"); done
fi
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h" "fuzz_${h}_replay"); done
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"

failed=0
summary=()
for h in "${harnesses[@]}"; do
  work=build-fuzz/corpus/$h
  artifacts=build-fuzz/artifacts/$h
  log=build-fuzz/fuzz-$h.log
  mkdir -p "$work" "$artifacts"
  echo "== $h: ${seconds} s"
  status=0
  # Standard output and error of the code under test are closed (-close_fd_mask=3):
  # the flows print a line for nearly every input. libFuzzer keeps its own.
  "build-fuzz/fuzz/fuzz_$h" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
    -close_fd_mask=3 -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$h" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  found=$(find "$artifacts" -type f | wc -l)
  if ((status != 0 || found != 0)); then
    failed=1
    tail -n 30 "$log"
    for a in "$artifacts"/*; do
      [[ -f $a ]] || continue
      echo "-- replaying $a"
      "build-fuzz/fuzz/fuzz_${h}_replay" "$a" || true
    done
  fi
  summary+=("$(printf '%-26s %12s runs %8s/s  %3s faults  %5s inputs in corpus' "$h" "${runs:-?}" "${speed:-?}" \
    "$found" "$(find "$work" -type f | wc -l)")")
done
printf '%s\n' "${summary[@]}"
exit "$failed"
