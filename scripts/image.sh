#!/usr/bin/env bash
# Builds the driver image ne2000.sys from the driver folders with the MinGW-w64
# i686 cross compiler: freestanding kernel code (no C runtime, no exceptions,
# no unwind tables, no RTTI), subsystem native, entry point DriverEntry,
# image base 0x10000, base relocations kept. Its imports are bound through
# import libraries made here by dlltool from miniport/image/ndis.def (NDIS.SYS) and
# miniport/image/hal.def (HAL.DLL): the image imports each operation by its plain
# name. The finishing step marks INIT discardable and writes the checksum.
#
#   bash scripts/image.sh [OUTDIR] [--probe]      (default OUTDIR: build)
#
# Writes OUTDIR/ne2000.sys and the linker's map OUTDIR/ne2000.map; the
# objects and import libraries go to OUTDIR/image/. --probe instead links
# OUTDIR/image/probe.sys: the same objects plus tests/image/probe/probe.cpp, which calls
# memcpy through one more import library, for the image checks to refuse.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build}")
probe=0
[ "${2:-}" = "--probe" ] && probe=1
work="$out/image"
mkdir -p "$work/obj"

CXX=i686-w64-mingw32-g++
DLLTOOL=i686-w64-mingw32-dlltool
command -v "$CXX" >/dev/null || { echo "image: $CXX not found: run 'bash scripts/deps.sh'" >&2; exit 1; }

# Kernel code: 4-byte stack alignment as the target's kernel stacks have, no
# floating point or vector registers, no stack probes, no calls the compiler
# would invent (memcpy, memset), one section per variable for the map.
flags=(-std=c++17 -O2 -ffreestanding -fno-exceptions -fno-rtti -nostdlib
       -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
       -fno-threadsafe-statics -fno-tree-loop-distribute-patterns -fno-builtin
       -mno-sse -mno-mmx -mno-stack-arg-probe -mpreferred-stack-boundary=2
       -fdata-sections -fno-ident -Wall -Wextra -Werror -Iminiport)
link=(-nostdlib -nostartfiles -s
      -Wl,--subsystem,native -Wl,--image-base,0x10000 -Wl,--entry,_DriverEntry@8
      -Wl,--dynamicbase -Wl,--enable-reloc-section -Wl,--no-insert-timestamp)

compile() {  # source object
  "$CXX" "${flags[@]}" -c "$1" -o "$2"
}

# The finishing step, a host program sharing the loader's PE reader.
finish="$work/finish"
stale=0
for f in host/loader/finish_image.cpp host/loader/pe.{cpp,h} host/loader/message.{cpp,h}; do
  [ "$f" -nt "$finish" ] && stale=1
done
if [ ! -x "$finish" ] || [ "$stale" -eq 1 ]; then
  g++ -std=c++17 -O2 -Wall -Wextra -Werror -Ihost host/loader/finish_image.cpp host/loader/pe.cpp \
    host/loader/message.cpp -o "$finish"
fi

libs=()
for def in miniport/image/ndis.def miniport/image/hal.def; do
  lib="$work/lib$(basename "$def" .def).a"
  "$DLLTOOL" --kill-at -d "$def" -l "$lib"
  libs+=("$lib")
done

if [ "$probe" -eq 0 ]; then
  rm -f "$work"/obj/*.o
  for src in miniport/{driver,card,receive,transmit,request}/*.cpp; do
    compile "$src" "$work/obj/$(echo "${src#miniport/}" | tr / _ | sed 's/\.cpp$/.o/')"
  done
  image="$out/ne2000.sys"
  map="$out/ne2000.map"
  extra=()
else
  compile tests/image/probe/probe.cpp "$work/probe.o"
  "$DLLTOOL" --kill-at -d tests/image/probe/probe.def -l "$work/libprobe.a"
  image="$work/probe.sys"
  map="$work/probe.map"
  extra=("$work/probe.o" "$work/libprobe.a")
fi

"$CXX" "${link[@]}" -Wl,-Map,"$map" -o "$image" "$work"/obj/*.o "${extra[@]}" "${libs[@]}"
"$finish" "$image" INIT
echo "image: $image ($(stat -c %s "$image") bytes)"
