#!/usr/bin/env bash
# Mass production: build the raw NAND image of a firmware offline (-G), load
# it into an emulated board as its NAND, and show that its control
# information (block 0) and section images (from block 24) are those a normal
# write puts on a board. The partition table differs on purpose: the offline
# image lists only the recovery boot image, which also overwrites block 1.
# Unattended; every wait is bounded; any mismatch ends it with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
tidewrite=$root/build/tidewrite/tidewrite
boardsim=$root/build/boardsim/boardsim
work=${DEMO_OUT:-$(mktemp -d)}/mass-production
rm -rf "$work"
mkdir -p "$work"
cd "$work"

block=135168   # raw bytes of a block: 64 pages of 2048 data + 64 spare
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT
fail() {
  echo "mass-production demo: $*" >&2
  exit 1
}
say() { printf '\n== %s\n' "$*"; }

# ---- inputs: a firmware file with four sections, control info, recovery image
text() { head -c "$1" < <(yes "$2"); }
put() { dd of=fw.bin oflag=seek_bytes seek=$(($1)) conv=notrunc status=none; }
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
# entry OFFSET START LENGTH ID0 ID1: a present partition entry
entry() {
  printf "$(le32 $2)$(le32 $3)\\x$4\\x$5" | put "$1"
  printf '\x01' | put $(($1 + 15))
}
# image START TOTAL_LENGTH SEED: header ("QMZ", body length at 0x2E0) and body
image() {
  text "$2" "$3" | put "$1"
  printf 'QMZ' | put "$1"
  printf "$(le32 $(($2 - 0x1000)))" | put $(($1 + 0x2E0))
}
head -c $((0x80000 + 100)) /dev/zero | tr '\0' '\377' > fw.bin
entry 0x30 0x3000 0x600 c2 e9                 # certificate_1: 1 block
text $((0x600)) "certificate demo" | put 0x3000
entry 0x2060 0x10000 0x40000 c7 c1            # firmware_1: 2 blocks
image 0x10000 $((0x30000)) "firmware one demo"
entry 0x20c0 0x50000 0x20000 cf 81            # NN: 1 block
text $((0x11000)) "neural network model" | put 0x50000
printf "$(le32 $((0x10000)))" | put $((0x50000 + 0x2E0))
entry 0x2100 0x80000 100 31 32                # an other section: 1 block
text 100 "other demo section" | put 0x80000
sections=5                                    # blocks 24..28
text 4096 "control information demo" > flash_control_info.bin
text 200000 "recovery boot demo" > boot_recover.bin

say "1. offline image (no board, no port: -p names nothing that exists)"
timeout 60 "$tidewrite" -p /dev/no-such-port -f fw.bin -b 115200 -G > generate.log || fail "-G failed (generate.log)"
tr '\r' '\n' < generate.log | grep -v '^$' | tail -n 3
size=$(stat -c %s flash_nand_generate_image.bin)
[[ $size == 138412032 ]] || fail "image is $size bytes"
echo "flash_nand_generate_image.bin: $size bytes"

# start_board NAME STORE: an emulated NAND board on a pseudo-terminal, link ./NAME
start_board() {
  "$boardsim" --flash nand --store "$2" --link "$work/$1" > "$1.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    [[ -e $work/$1 ]] && return 0
    sleep 0.1
  done
  fail "board $1 did not come up"
}
stop_boards() {
  cleanup
  pids=()
}

say "2. board A boots from the offline image; board B is programmed the normal way"
cp flash_nand_generate_image.bin a-nand.bin
start_board ttyA a-nand.bin
start_board ttyB b-nand.bin
timeout 120 "$tidewrite" -p "$work/ttyB" -f fw.bin -b 1500000 -n lira > b-normal.log ||
  fail "normal write on board B failed (b-normal.log)"
tr -d '\r' < b-normal.log | grep -E 'str_address|partition_table_copy done'
# Read board A back over the serial link: a one-block FTL write far from the
# images (block 1000) followed by a dump of blocks 0 to 28.
head -c 10 /dev/zero > tiny.bin
timeout 120 "$tidewrite" -p "$work/ttyA" -f tiny.bin -b 1500000 -n lira -w 1000 1010 -o 0 28 > a-dump.log ||
  fail "read-back of board A failed (a-dump.log)"
stop_boards
dumped=$(stat -c %s flash_log.bin)
echo "board A dump: flash_log.bin, $dumped bytes (blocks 0-28, data bytes of each page)"

say "3. comparisons"
same() {  # same WHAT FILE1 OFF1 FILE2 OFF2 LENGTH
  if cmp -s -i "$3:$5" -n "$6" "$2" "$4"; then
    echo "equal:   $1"
  else
    fail "differs: $1"
  fi
}
same "control information, block 0 pages 0-1 with spare (image vs board B)" \
  flash_nand_generate_image.bin 0 b-nand.bin 0 $((2 * 2112))
same "section images, blocks 24-$((23 + sections)) with spare (image vs board B)" \
  flash_nand_generate_image.bin $((24 * block)) b-nand.bin $((24 * block)) $((sections * block))
same "rest of the image area, blocks $((24 + sections))-1019 erased on both" \
  flash_nand_generate_image.bin $(((24 + sections) * block)) b-nand.bin $(((24 + sections) * block)) \
  $(((1020 - 24 - sections) * block))
# Data bytes read back from board A over the link against board B's flash.
for b in 0 $(seq 24 $((23 + sections))); do
  for p in $(seq 0 63); do
    cmp -s -i $(((b * 64 + p) * 2048)):$(((b * 64 + p) * 2112)) -n 2048 flash_log.bin b-nand.bin ||
      fail "board A read back block $b page $p differs from board B"
  done
done
echo "equal:   board A read back over the serial link (blocks 0 and 24-$((23 + sections))) vs board B"

records() {  # the type ids of the records in the table page of block 16
  od -An -v -tx1 -j $((16 * block)) -N 2048 -w128 "$1" | awk '$5 != "ff" || $6 != "ff" {printf " %s%s", $6, $5} END {print ""}'
}
echo
echo "partition table, block 16 (type ids of its records), different on purpose:"
echo "  board B (normal write):      $(records b-nand.bin)"
echo "  offline image (recovery):    $(records flash_nand_generate_image.bin)"
[[ $(records flash_nand_generate_image.bin) == " d1c5" ]] || fail "the image's table should list only the recovery image"
if cmp -s -n 2112 flash_nand_generate_image.bin b-nand.bin -i $((block)):$((block)); then
  fail "block 1 should differ: the recovery image overwrites it in the offline image"
fi
echo "  block 1: recovery boot image in the offline image, control information on board B"
rm -f a-nand.bin b-nand.bin  # 132 MiB each; the image itself stays as the product
echo
echo "mass-production demo: OK ($work/flash_nand_generate_image.bin)"
