#!/usr/bin/env bash
# Production line: tidewrite-station programs eight emulated NOR boards at
# once with one image; board 5 answers the hash check wrongly, so it fails.
# The part checks that the report lists seven ok and one failed (board 5),
# that the station said so with exit status 1, and that the seven flashes hold
# the image; it exits 0 exactly when all of that is what happened. Runs
# unattended in a few seconds. Expects the build in ./build.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
boardsim=$build/boardsim/boardsim
tidewrite=$build/tidewrite/tidewrite
station=$build/station/tidewrite-station
source scripts/demo-board.sh
out=${DEMO_OUT:-$PWD/demo-out}/station
rm -rf "$out"
mkdir -p "$out"
fail() {
  echo "demo: $*" >&2
  exit 1
}

echo "=== Production line: eight boards at once with tidewrite-station ==="
head -c 262144 /dev/urandom >"$out/image.bin"  # one 256 KiB NOR image for all

failing=5
links=()
for i in $(seq 0 7); do
  fault=()
  ((i == failing)) && fault=(--wrong-hash)
  add_board "$out/ttyBOARD$i" "$out/board$i.out" --flash nor --nor-size 1M --store "$out/flash$i.bin" "${fault[@]}"
  links+=("$out/ttyBOARD$i")
done
wait_for_links "${links[@]}"

echo "\$ tidewrite-station --report report.json --log-dir logs ttyBOARD0 ... ttyBOARD7 -- -f image.bin -b 1500000 -v lira -r"
set +e
timeout 120 "$station" --tidewrite "$tidewrite" --report "$out/report.json" --log-dir "$out/logs" "${links[@]}" \
  -- -f "$out/image.bin" -b 1500000 -v lira -r
status=$?
set -e
echo "(exit status $status)"
((status == 1)) || fail "the station should end with 1 when a board fails, not $status"

# Stop the boards so their store files are complete, then look at the flashes.
stop_boards
trap - EXIT

report=$out/report.json
[[ -f $report ]] || fail "no report"
echo
echo "report excerpt ($report):"
sed -n '/"totals"/,/}/p' "$report"
# The ports in order, with their states.
states=$(grep -o '"state":[[:space:]]*"[a-z ]*"' "$report" | sed 's/.*"\([a-z ]*\)"$/\1/' | tr '\n' ' ')
expected="ok ok ok ok ok failed ok ok "
[[ $states == "$expected" ]] || fail "states in the report: '$states', expected '$expected'"
grep -q '"ok":[[:space:]]*7,' "$report" || fail "the totals do not count seven ok"
grep -q '"failed":[[:space:]]*1,' "$report" || fail "the totals do not count one failed"
echo "board $failing, from its log ($out/logs/ttyBOARD$failing.log):"
tr '\r' '\n' <"$out/logs/ttyBOARD$failing.log" | grep -v -e '^$' -e '^===' | sed 's/^/  /'

for i in $(seq 0 7); do
  ((i == failing)) && continue
  cmp -s -n 262144 "$out/image.bin" "$out/flash$i.bin" || fail "the flash of board $i does not hold the image"
done
echo "seven ok and one failed (board $failing), as set up; the seven flashes hold the image"
