#!/usr/bin/env bash
# Runs `ne2k demo` on the linked driver and on the driver image under the
# loader (the 32-bit build of ne2k), and checks that both pass and print the
# same report: every counter, virtual time and port access count (all but
# the line naming the image and the host speed, which is timing).
#
#   bash scripts/demo_image.sh [LINKED_NE2K IMAGE_NE2K IMAGE] [demo options]
#
# Defaults: build/tools/ne2k, build32/tools/ne2k, build/ne2000.sys. A 32-bit
# program runs through build32/run32 (qemu-i386 where the kernel runs no
# 32-bit programs), or the run32 beside its build when given.
set -euo pipefail
cd "$(dirname "$0")/.."
linked=build/tools/ne2k
imaged=build32/tools/ne2k
image=build/ne2000.sys
if [ $# -ge 3 ] && [ "${1#-}" = "$1" ]; then
  linked=$1 imaged=$2 image=$3
  shift 3
fi

run() {  # program args...: a 32-bit ELF program runs through its build's run32
  local prog=$1
  if [ "$(od -An -tx1 -j4 -N1 "$prog" | tr -d ' ')" = 01 ]; then
    "$(dirname "$prog")/../run32" "$@"
  else
    "$@"
  fi
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
run "$linked" demo "$@" > "$tmp/linked" || { echo "demo_image: the linked driver's demo failed" >&2; status=1; }
run "$imaged" demo --image "$image" "$@" > "$tmp/image" || { echo "demo_image: the image's demo failed" >&2; status=1; }
cat "$tmp/image"
if ! diff <(grep -v -e '^driver image ' -e 'host speed' "$tmp/linked") \
          <(grep -v -e '^driver image ' -e 'host speed' "$tmp/image"); then
  echo "demo_image: the image's report differs from the linked driver's (above: < linked, > image)" >&2
  status=1
fi
[ "$status" -eq 0 ] && echo "demo_image: the image's report matches the linked driver's"
exit $status
