#!/usr/bin/env bash
# The kernel on QEMU's ne2k_isa card with the user-mode network: it pings
# the gateway 10.0.2.2 (which QEMU itself answers) 200 times with sizes
# across 60..1514 bytes on the wire, and must lose none. QEMU writes every
# frame of the run to a pcap (filter-dump); tcpdump must read it with no
# malformed frame, and see as many echo replies as requests, 200 each.
#
#   bash tests/metal/qemu_user.sh KERNEL.elf
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
kernel=$1
metal_workdir user

metal_qemu "$work/serial.log" "$kernel" "ip=10.0.2.15/24 ping=10.0.2.2 count=200" \
  -netdev user,id=n0 $(metal_card n0) -object "filter-dump,id=f0,netdev=n0,file=$work/run.pcap"
metal_expect_pass "$work/serial.log"

tcpdump -r "$work/run.pcap" -n -v >"$work/frames.txt" 2>"$work/tcpdump.err" ||
  metal_fail "tcpdump cannot read the run's pcap: $(cat "$work/tcpdump.err")"
if grep -Eiq 'malformed|truncated|bad cksum|wrong|invalid' "$work/frames.txt"; then
  grep -Ei 'malformed|truncated|bad cksum|wrong|invalid' "$work/frames.txt" | head >&2
  metal_fail "tcpdump finds malformed frames in the run's pcap"
fi
requests=$(grep -c 'ICMP echo request' "$work/frames.txt" || true)
replies=$(grep -c 'ICMP echo reply' "$work/frames.txt" || true)
frames=$(tcpdump -r "$work/run.pcap" -n 2>/dev/null | wc -l)
echo "metal: qemu user network: $(tr -d '\r' <"$work/serial.log" | grep '^ping:' | head -1)"
echo "metal: pcap: $frames frames, $requests echo requests, $replies echo replies"
[ "$requests" -eq 200 ] && [ "$replies" -eq 200 ] ||
  metal_fail "the pcap holds $requests echo requests and $replies replies, expected 200 of each" "$work/serial.log"
echo "metal: qemu user network: passed"
