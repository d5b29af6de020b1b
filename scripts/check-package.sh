#!/usr/bin/env bash
# Builds the Debian package from a built tree and tries it without installing
# it: scripts/check-package.sh [BUILD_DIR]. The package must carry the project
# version and the Depends of the linked libraries, hold the four programs, the
# manual pages and the README and nothing else, and the unpacked tidewrite must
# program the unpacked boardsim with the flash loader found only in the
# unpacked usr/share/tidewrite/. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

fail() {
  echo "check-package: $*" >&2
  exit 1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n $version ]] || fail "no project version in $build/CMakeCache.txt"
arch=$(dpkg --print-architecture)
deb=$build/tidewrite_${version}_${arch}.deb
rm -f "$deb"
if ! (cd "$build" && timeout 300 cpack -G DEB >cpack.log 2>&1); then
  cat "$build/cpack.log" >&2
  fail "cpack -G DEB failed"
fi
[[ -f $deb ]] || fail "cpack made no $deb"

# ---- the control fields
field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == tidewrite ]] || fail "package name $(field Package)"
[[ $(field Version) == "$version" ]] || fail "version $(field Version), expected $version"
[[ $(field Architecture) == "$arch" ]] || fail "architecture $(field Architecture), expected $arch"
depends=$(field Depends)
for lib in libcjson1 libssl3 libc6 libstdc++6; do
  [[ ", $depends," =~ ,\ "$lib"[\ ,] ]] || fail "Depends lacks $lib: $depends"
done
echo "package: $deb"
echo "  Version: $(field Version)  Architecture: $(field Architecture)"
echo "  Depends: $depends"

# ---- exactly these files, nothing from tests or benchmarks
expected="./usr/bin/boardsim
./usr/bin/modelprep
./usr/bin/tidewrite
./usr/bin/tidewrite-station
./usr/share/doc/tidewrite/README.md
./usr/share/man/man1/boardsim.1.gz
./usr/share/man/man1/modelprep.1.gz
./usr/share/man/man1/tidewrite-station.1.gz
./usr/share/man/man1/tidewrite.1.gz"
files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[[ $files == "$expected" ]] || fail "package contents differ:"$'\n'"$(diff <(echo "$expected") <(echo "$files") || true)"

# ---- unpacked into a temporary root, never installed
tmp=$(mktemp -d)
board_pid=
cleanup() {
  if [[ -n $board_pid ]]; then
    kill -TERM "$board_pid" 2>/dev/null || true
    wait "$board_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
root=$tmp/root
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin

for prog in tidewrite boardsim modelprep tidewrite-station; do
  got=$(timeout 10 "$bin/$prog" --version) || fail "$prog --version failed"
  [[ $got == "$prog $version" ]] || fail "$prog --version printed '$got'"
done
echo "  --version of the unpacked programs: $version"

for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(zcat "$page" | groff -man -ww -z 2>&1) || fail "$page does not render"
  [[ -z $warnings ]] || fail "$page: $warnings"
  if command -v man >/dev/null; then
    man -l "$page" >/dev/null 2>&1 || fail "man -l cannot read $page"
  fi
done

# ---- a NOR download with -U: the loader only in the unpacked share folder
mkdir -p "$root/usr/share/tidewrite" "$tmp/work"
head -c 3072 /dev/urandom >"$root/usr/share/tidewrite/flash_loader_nor.bin"  # 3 blocks of 1 KiB
head -c 100000 /dev/urandom >"$tmp/image.bin"
timeout 120 "$bin/boardsim" --flash nor --nor-size 1M --store "$tmp/flash.bin" \
  --transcript "$tmp/transcript.txt" --link "$tmp/ttyBOARD" >"$tmp/boardsim.out" 2>&1 &
board_pid=$!
for _ in $(seq 100); do
  [[ -e $tmp/ttyBOARD ]] && break
  sleep 0.1
done
[[ -e $tmp/ttyBOARD ]] || fail "the unpacked boardsim did not start: $(cat "$tmp/boardsim.out")"

# The working folder holds no loader, and none lies beside the program.
set +e
(cd "$tmp/work" && timeout 60 "$bin/tidewrite" -p "$tmp/ttyBOARD" -f "$tmp/image.bin" -b 1500000 -U -v lira -r) \
  >"$tmp/tidewrite.out" 2>"$tmp/tidewrite.err"
status=$?
set -e
kill -TERM "$board_pid"
wait "$board_pid" || true
board_pid=
out=$(tr '\r' '\n' <"$tmp/tidewrite.out")
((status == 0)) || fail "tidewrite -U ended with $status: $out $(cat "$tmp/tidewrite.err")"
[[ $out == *"hash verify pass"* && $out == *"upload success" ]] || fail "unexpected output: $out"
transcript=$(cat "$tmp/transcript.txt")
[[ $transcript == *"restart into the uploaded loader"* ]] || fail "the board never ran the loader"
first=$(grep -o -m1 'transfer of [0-9]* blocks' "$tmp/transcript.txt")
[[ $first == "transfer of 3 blocks" ]] || fail "the first transfer was '$first', not the 3-block loader"
cmp -s -n 100000 "$tmp/image.bin" "$tmp/flash.bin" || fail "the flash does not hold the image"
echo "  unpacked tidewrite -U found usr/share/tidewrite/flash_loader_nor.bin; the flash holds the image"
echo "check-package: OK"
