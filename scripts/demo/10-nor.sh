#!/usr/bin/env bash
# NOR demo: tidewrite downloads a sample image into an emulated NOR board,
# verifies it by SHA-256 and resets the board; then the board's flash is
# compared with the image. Runs unattended, ends within a minute, and exits
# non-zero when anything fails. Expects the build in ./build.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
boardsim=$build/boardsim/boardsim
tidewrite=$build/tidewrite/tidewrite
source scripts/demo-board.sh
out=${DEMO_OUT:-$PWD/demo-out}/nor
rm -rf "$out"
mkdir -p "$out"

echo "=== NOR flash: download with SHA-256 verification and reset ==="

# A 200 KiB sample image of pseudo-random bytes.
head -c 204800 /dev/urandom >"$out/image.bin"

# The emulated board: a 1 MiB NOR flash kept in a file, its port reachable
# through a fixed link name. Bounded by timeout in case anything hangs.
start_board "$out/ttyBOARD" "$out/boardsim.out" --flash nor --nor-size 1M --store "$out/nor-flash.bin" \
  --transcript "$out/board-transcript.txt"

cmd=("$tidewrite" -p "$out/ttyBOARD" -f "$out/image.bin" -b 1500000 -s 0x10000 -v lira -r)
echo "\$ tidewrite -p $out/ttyBOARD -f $out/image.bin -b 1500000 -s 0x10000 -v lira -r"
set +e
timeout 60 "${cmd[@]}"
status=$?
set -e
echo  # the outcome line ends with a carriage return only
echo "(exit status $status)"
if ((status != 0)); then
  echo "demo: tidewrite failed" >&2
  exit 1
fi

# Stop the board so its store file is complete, then look at the flash.
stop_board
trap - EXIT
flash_part=$out/flash-at-0x10000.bin
dd if="$out/nor-flash.bin" of="$flash_part" bs=4096 skip=16 count=50 status=none
echo "image          : $(sha256sum <"$out/image.bin" | cut -d' ' -f1)"
echo "flash @0x10000 : $(sha256sum <"$flash_part" | cut -d' ' -f1)"
if ! cmp -s "$out/image.bin" "$flash_part"; then
  echo "demo: the flash does not hold the image" >&2
  exit 1
fi
erased=$(dd if="$out/nor-flash.bin" bs=4096 count=16 status=none | tr -d '\377' | wc -c)
if ((erased != 0)); then
  echo "demo: bytes before the image offset were changed" >&2
  exit 1
fi
echo "the flash holds the image at 0x10000; the bytes before it are still erased"
