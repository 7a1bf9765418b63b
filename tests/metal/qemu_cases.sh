#!/usr/bin/env bash
# The kernel's own judgement, case by case on QEMU's ne2k_isa card (user
# network): a reset between the filter and the traffic, traced, passes;
# each fault the kernel must catch (no card at the I/O base, the card on
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

# name | command line | exit status | lines the serial log must hold (regular expressions, ; between)
cases=(
  "reset then ping, traced|trace=reset,halt reset count=20|$METAL_PASSED|^reset: success;^R 0x307 ISR    = 0x00;^W 0x300 CR     = 0x21;^verdict: PASS"
  "no card at the I/O base|io=0x320 count=1|$METAL_FAILED|^event log: 0xc000138b \(adapter not found\);^verdict: FAIL \(the adapter did not initialize\)"
  "card on another line than the driver's|irq=5 count=2|$METAL_FAILED|^unexpected interrupt: IRQ 3, which nothing has connected;^verdict: FAIL \(an unexpected interrupt\)"
  "target never answers|ping=10.0.2.9 count=2|$METAL_FAILED|^ping: the target's station never answered ARP;^verdict: FAIL \(frames were lost or corrupted\)"
  "time runs out|serve=1 seconds=1|$METAL_FAILED|^run: the time ran out;^verdict: FAIL \(the time ran out\)"
  "command line mistake|ip=10.0.2|$METAL_FAILED|^command line: cannot use \"ip=10.0.2\";^verdict: FAIL \(the command line has a mistake\)"
)

failed=0
for c in "${cases[@]}"; do
  IFS='|' read -r name cmdline expected lines <<<"$c"
  log="$work/serial.log"
  metal_qemu "$log" "$kernel" "$cmdline" -netdev user,id=n0 $(metal_card n0)
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
