#!/usr/bin/env bash
# Builds the driver folders as 32-bit x86 freestanding kernel code, links
# them into one relocatable object, and checks what the object imports,
# what data it carries and where its code lies.
#
#   bash scripts/kernel32.sh [OUTDIR]      (default build-kernel32/)
#
# The object is OUTDIR/ne2000.o. Exit status 0 when every check passes.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-kernel32}
mkdir -p "$out/obj"
rm -f "$out"/obj/*.o

CXX=${CXX:-g++}
flags=(-m32 -std=c++17 -O2 -ffreestanding -fno-exceptions -fno-rtti -nostdlib
       -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-pic -fno-stack-protector
       -fno-threadsafe-statics -fno-tree-loop-distribute-patterns -fno-builtin
       -mno-sse -mno-mmx -Wall -Wextra -Werror -I.)

for src in driver/*.cpp card/*.cpp receive/*.cpp transmit/*.cpp request/*.cpp; do
  obj="$out/obj/$(echo "$src" | tr / _ | sed 's/\.cpp$/.o/')"
  "$CXX" "${flags[@]}" -c "$src" -o "$obj"
done
ld -m elf_i386 -r -o "$out/ne2000.o" "$out"/obj/*.o

fail=0
complain() { echo "kernel32: $*" >&2; fail=1; }

# 1. Imports: only the wrapper's and the HAL's operations.
allowed=" NdisInitializeWrapper NdisMRegisterMiniport NdisOpenConfiguration
NdisReadConfiguration NdisReadNetworkAddress NdisReadMcaPosInformation
NdisCloseConfiguration NdisAllocateMemory NdisFreeMemory NdisSystemProcessorCount
NdisMSetAttributes NdisMRegisterIoPortRange NdisMDeregisterIoPortRange NdisMMapIoSpace
NdisMUnmapIoSpace NdisMRegisterInterrupt NdisMDeregisterInterrupt
NdisMSynchronizeWithInterrupt NdisMSendComplete EthFilterDprIndicateReceive
EthFilterDprIndicateReceiveComplete NdisWriteErrorLogEntry READ_PORT_UCHAR WRITE_PORT_UCHAR
READ_PORT_USHORT WRITE_PORT_USHORT READ_PORT_BUFFER_UCHAR READ_PORT_BUFFER_USHORT
WRITE_PORT_BUFFER_UCHAR WRITE_PORT_BUFFER_USHORT KeStallExecutionProcessor "
imports=$(nm -u "$out/ne2000.o" | awk '{print $2}' | sort)
for sym in $imports; do
  case "$allowed" in
    *[[:space:]]"$sym"[[:space:]]*) ;;
    *) complain "imports $sym, which is not a platform operation" ;;
  esac
done

# 2. No static constructors, no C++ runtime.
readelf -S "$out/ne2000.o" > "$out/sections.txt"
if grep -qE '\.(init_array|ctors|eh_frame|gcc_except_table)' "$out/sections.txt"; then
  complain "object has constructor or unwind sections"
fi

# 3. Driver-wide data with its sizes (bytes, 32-bit layout).
check_size() {  # symbol-regex size
  local line
  line=$(nm -C -S --defined-only "$out/ne2000.o" | grep -E " $1\$" || true)
  if [ -z "$line" ]; then complain "missing $1"; return; fi
  local size=$((16#$(echo "$line" | awk '{print $2}')))
  [ "$size" -eq "$2" ] || complain "$1 is $size bytes, expected $2"
}
check_size 'Ne2000MiniportBlock' 8
check_size 'BlankBuffer' 60
check_size 'Ne2000SupportedOids' 124
check_size 'HighestAcceptableMax' 8
check_size 'VendorDescription' 21

# 4. Placement: entry point in INIT, initialization in PAGE, keywords in PAGECONST,
#    every other function resident in .text.
objdump -t -C "$out/ne2000.o" > "$out/symbols.txt"
section_of() {  # demangled function name -> section
  awk -v f="$1" '
    { name=""; for (i = 6; i <= NF; i++) name = name (i > 6 ? " " : "") $i;
      sub(/\(.*/, "", name); if (name == f && $3 == "F") { print $4; exit } }' "$out/symbols.txt"
}
expect_section() {  # function section
  local s
  s=$(section_of "$1")
  [ "$s" = "$2" ] || complain "$1 lies in '${s:-nowhere}', expected $2"
}
expect_section DriverEntry INIT
for f in Ne2000Initialize Ne2000RegisterAdapter CardCheckParameters CardInitialize \
         CardSlotTest CardRamTest CardReadEthernetAddress; do
  expect_section "$f" PAGE
done
for f in Ne2000Send Ne2000DoNextSend Ne2000XmitDpc CardCopyDownPacket Ne2000Isr \
         Ne2000HandleInterrupt Ne2000RcvDpc Ne2000TransferData Ne2000QueryInformation \
         Ne2000SetInformation Ne2000Halt Ne2000Reset CardSetup CardStop CardReset \
         CardCopyUp CardCopyDown CardStartXmit SyncCardGetCurrent; do
  expect_section "$f" .text
done
objdump -s -j PAGECONST "$out/ne2000.o" > "$out/pageconst.txt" 2>/dev/null || true
if ! grep -q 'C.a.r.d.T.y.p.e' "$out/pageconst.txt"; then
  complain "configuration keyword strings are not in PAGECONST"
fi

if [ "$fail" -ne 0 ]; then
  echo "kernel32: FAILED" >&2
  exit 1
fi
echo "kernel32: $out/ne2000.o imports $(echo "$imports" | wc -w) platform operations; all checks passed"
