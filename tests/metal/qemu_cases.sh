#!/usr/bin/env bash
# The kernel's own judgement, case by case on QEMU's ne2k_isa card (user
# network): a reset between the filter and the traffic, traced, passes; so
# does a card at 0x320 on IRQ 9 (the second 8259), which the driver's
# configuration names 2 as on an AT, and 1000 pings with 8 out at once
# (several frames to each interrupt); each fault the kernel must catch (no card at the I/O base, the card on
# another line than the driver was told, a target that never answers,
# the time running out, a mistake on the command line) ends the run with
# the verdict FAIL, QEMU's exit status 35 and the line that says why.
#
#   bash tests/metal/qemu_cases.sh KERNEL.elf
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
kernel=$1
metal_workdir cases

# name | the card's I/O base and line | command line | exit status | lines the serial log must
# hold (regular expressions, ; between)
cases=(
  "reset then ping, traced|0x300,3|trace=reset,halt reset count=20|$METAL_PASSED|^reset: success;^R 0x307 ISR    = 0x00;^W 0x300 CR     = 0x21;^verdict: PASS"
  "card at 0x320 on IRQ 9, which the driver names 2|0x320,9|io=0x320 irq=2 count=50|$METAL_PASSED|^wrapper: ports 0x320-0x33f;^wrapper: interrupt vector 2 level 2 \(IRQ 9\);^verdict: PASS"
  "1000 pings, 8 out at once|0x300,3|count=1000 window=8|$METAL_PASSED|^ping: 1000 sent, 1000 received, 0 lost, 0 bad;^verdict: PASS"
  "no card at the I/O base|0x300,3|io=0x320 count=1|$METAL_FAILED|^event log: 0xc000138b \(adapter not found\);^verdict: FAIL \(the adapter did not initialize\)"
  "card on another line than the driver's|0x300,3|irq=5 count=2|$METAL_FAILED|^unexpected interrupt: IRQ 3, which nothing has connected;^verdict: FAIL \(an unexpected interrupt\)"
  "target never answers|0x300,3|ping=10.0.2.9 count=2|$METAL_FAILED|^ping: the target's station never answered ARP;^verdict: FAIL \(frames were lost or corrupted\)"
  "time runs out|0x300,3|serve=1 seconds=1|$METAL_FAILED|^run: the time ran out;^verdict: FAIL \(the time ran out\)"
  "command line mistake|0x300,3|ip=10.0.2|$METAL_FAILED|^command line: cannot use \"ip=10.0.2\";^verdict: FAIL \(the command line has a mistake\)"
)

failed=0
for c in "${cases[@]}"; do
  IFS='|' read -r name card cmdline expected lines <<<"$c"
  log="$work/serial.log"
  metal_qemu "$log" "$kernel" "$cmdline" -netdev user,id=n0 \
    -device "ne2k_isa,iobase=${card%,*},irq=${card#*,},netdev=n0,mac=02:00:00:00:00:07"
  problem=
  [ "$status" = "$expected" ] || problem="QEMU's exit status $status, expected $expected"
  IFS=';' read -ra patterns <<<"$lines"
  for p in "${patterns[@]}"; do
    tr -d '\r' <"$log" | grep -Eq -- "$p" || problem="${problem:+$problem; }no line matches '$p'"
  done
  if [ -n "$problem" ]; then
    echo "metal: case '$name' ($cmdline): $problem" >&2
    tr -d '\r' <"$log" | grep -v '^[RW] 0x\|^  stall' >&2
    failed=$((failed + 1))
  else
    echo "metal: case '$name': $(tr -d '\r' <"$log" | grep '^verdict:')"
  fi
done
[ "$failed" -eq 0 ] || metal_fail "$failed of ${#cases[@]} cases"
echo "metal: ${#cases[@]} cases passed"
