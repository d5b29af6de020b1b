#!/usr/bin/env bash
# NAND demo: tidewrite programs a sample firmware (every section kind) onto an
# emulated NAND board that has a factory-bad partition-table block (17) and a
# weak image block (25), then dumps block 0. The flash is then checked: the
# control information, the table with its copies, the weak block passed over.
# Runs unattended, ends within a couple of minutes, exits non-zero on failure.
# Expects the build in ./build (the sample comes from tools/make_sample_firmware).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
boardsim=$build/boardsim/boardsim
tidewrite=$build/tidewrite/tidewrite
source scripts/demo-board.sh
sample_tool=$build/tools/make_sample_firmware
out=${DEMO_OUT:-$PWD/demo-out}/nand
rm -rf "$out"
mkdir -p "$out"

echo "=== NAND flash: normal write with a bad and a weak block, then a dump ==="
"$sample_tool" "$out"

start_board "$out/ttyBOARD" "$out/boardsim.out" --flash nand --store "$out/nand-flash.bin" --bad-block 17 \
  --program-fail 25 --transcript "$out/board-transcript.txt"

# The data files (control information) and the dump live in the working folder.
echo "\$ tidewrite -p $out/ttyBOARD -b 1500000 -f fw.bin -n lira -o 0 0 -r"
set +e
(cd "$out" && timeout 120 "$OLDPWD/$tidewrite" -p "$out/ttyBOARD" -b 1500000 -f fw.bin -n lira -o 0 0 -r) \
  | tr '\r' '\n' | grep -v -e '^programing' -e '^$' | tee "$out/tidewrite.out"
status=${PIPESTATUS[0]}
set -e
echo "(exit status $status)"
if ((status != 0)); then
  echo "demo: tidewrite failed" >&2
  exit 1
fi
stop_board
trap - EXIT

flash=$out/nand-flash.bin
# bytes FILE OFFSET COUNT: the bytes as hex pairs, space separated.
bytes() { od -An -tx1 -v -j "$2" -N "$3" "$1" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }
page_at() { echo $(( ($1 * 64 + $2) * 2112 )); }  # raw offset of page $2 of block $1
fail() { echo "demo: $*" >&2; exit 1; }

cmp -s <(head -c 4096 "$out/flash_control_info.bin") <(head -c 4096 "$out/flash_log.bin") ||
  fail "the dump of block 0 does not start with the control information"
[[ $(stat -c %s "$out/flash_log.bin") -eq $((64 * 2048)) ]] || fail "the dump is not one whole block"
[[ $(bytes "$flash" $(( $(page_at 0 0) + 2048 )) 2) == "ff d0" ]] || fail "block 0 holds no control information"
[[ $(bytes "$flash" $(( $(page_at 17 0) + 2048 )) 1) == "00" ]] || fail "block 17 lost its bad-block mark"
for b in 16 18 20 21 22 23; do
  [[ $(bytes "$flash" $(( $(page_at $b 0) + 2048 )) 2) == "ff c4" ]] || fail "block $b holds no partition table"
  cmp -s <(dd if="$flash" bs=2112 skip=$((b * 64)) count=1 status=none | head -c 2052) \
    <(dd if="$flash" bs=2112 skip=$((16 * 64)) count=1 status=none | head -c 2052) ||
    fail "the table in block $b differs from block 16"
done
# Record 1 (certificate_2, the second image) lists block 26: block 25 failed its read-back.
[[ $(bytes "$flash" $(( $(page_at 16 0) + 128 + 32 )) 2) == "1a 00" ]] || fail "record 1 does not list block 26"
[[ $(bytes "$flash" $(( $(page_at 25 0) + 2048 )) 1) == "ff" ]] || fail "the weak block 25 was marked bad"
echo "control information in block 0 (and the dump); table in blocks 16 and 18 (17 is factory-bad) and"
echo "copied to 20-23; the weak block 25 was passed over, not marked: record 1 lists block 26"
