#!/usr/bin/env bash
# Frames per second end to end at 60 and 1514 bytes (bench/rate.cpp, as
# bench_e2e measures them) for the 64-bit build, the linked 32-bit build and
# the driver image under the loader, in one table. Builds what it needs in
# build/ and build32/. The 32-bit programs run through build32/run32, under
# qemu-i386 where the kernel runs no 32-bit programs: compare the two 32-bit
# columns with each other, not with the 64-bit one.
#
#   bash scripts/bench_image.sh [bench_rate options]     (e.g. --rounds 9 --seconds 0.3)
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build --target bench_rate image -j2 >/dev/null
[ -f build32/CMakeCache.txt ] ||
  cmake -S . -B build32 -DCMAKE_CXX_FLAGS=-m32 -DNE2K_IMAGE_FILE="$PWD/build/ne2000.sys" >/dev/null
cmake --build build32 --target bench_rate -j2 >/dev/null

tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
build/bench/bench_rate "$@" 60 1514 > "$tmp"
build32/run32 build32/bench/bench_rate --image build/ne2000.sys "$@" 60 1514 >> "$tmp"
awk '
  { rate[$1 " " $2] = $3 }
  END {
    printf "| frame bytes | 64-bit linked | 32-bit linked | 32-bit image | image / 32-bit linked |\n"
    printf "|---:|---:|---:|---:|---:|\n"
    split("60 1514", sizes, " ")
    for (i = 1; i <= 2; i++) {
      s = sizes[i]
      l = rate["32-bit-linked " s]; m = rate["32-bit-image " s]
      printf "| %d | %d | %d | %d | %.2f |\n", s, rate["64-bit-linked " s], l, m, l ? m / l : 0
    }
  }' "$tmp"
if grep -q qemu-i386 build32/run32; then
  echo "frames per second, best of the rounds; the 32-bit columns ran under qemu-i386"
else
  echo "frames per second, best of the rounds"
fi
