#!/usr/bin/env bash
# Linux pings the kernel: QEMU's ne2k_isa card on a TAP device in a network
# namespace this test creates and deletes (198.18.0.1 on Linux's side,
# 198.18.0.2 the kernel's). Linux sends 200 echo requests of the default
# size, 100 of 1472 bytes (a full frame), 100 of 4000 bytes (three
# fragments each way: the kernel reassembles the request and fragments its
# reply), and a flood of 1000; every ping must see 0% loss, and the kernel,
# once it has answered them all, its verdict PASS. A UDP datagram before
# them must be answered with ICMP port unreachable. Once halted, the kernel
# watches the card's line for a while with nothing connected to it; Linux
# pings it meanwhile: the frames reach the card (QEMU's card stores frames
# in loopback too, so ISR shows them), and the line must stay quiet.
# Needs root.
#
#   bash tests/metal/qemu_tap.sh KERNEL.elf
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
kernel=$1
[ "$(id -u)" -eq 0 ] || { echo "metal: the TAP run needs root; skipped"; exit 77; }
ns=metal$$
tap=metaltap0
work=$(mktemp -d "${TMPDIR:-/tmp}/metal-tap.XXXXXX")
qemu_pid=
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null && wait "$qemu_pid" 2>/dev/null
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Echo requests the kernel answers before it ends: the four pings below.
pings=("-c 200 -i 0.005" "-c 100 -i 0.005 -s 1472" "-c 100 -i 0.005 -s 4000" "-c 1000 -f")
answers=1400

ip netns add "$ns"
ip -n "$ns" link set lo up
ip -n "$ns" tuntap add dev "$tap" mode tap
ip -n "$ns" addr add 198.18.0.1/24 dev "$tap"
ip -n "$ns" link set "$tap" up

status=0
ip netns exec "$ns" timeout "${METAL_TIMEOUT:-90}" qemu-system-i386 -accel tcg -m 32 -display none -monitor none \
  -no-reboot -serial "file:$work/serial.log" -device isa-debug-exit,iobase=0xf4,iosize=4 -kernel "$kernel" \
  -append "ip=198.18.0.2/24 serve=$answers seconds=80 watch=3000" \
  -netdev "tap,id=n0,ifname=$tap,script=no,downscript=no" $(metal_card n0) </dev/null &
qemu_pid=$!
for _ in $(seq 100); do
  grep -q '^serving:' "$work/serial.log" 2>/dev/null && break
  kill -0 "$qemu_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q '^serving:' "$work/serial.log" 2>/dev/null || metal_fail "the kernel did not start serving" "$work/serial.log"

# A UDP datagram to a port nobody serves: answered with ICMP port unreachable.
ip netns exec "$ns" bash -c 'echo metal >/dev/udp/198.18.0.2/9' || metal_fail "the UDP datagram was not sent"

for args in "${pings[@]}"; do
  # shellcheck disable=SC2086
  out=$(ip netns exec "$ns" ping -n -q -W 2 -w 30 $args 198.18.0.2 2>&1) || true
  summary=$(echo "$out" | grep 'packets transmitted' || echo "no summary: $out")
  rtt=$(echo "$out" | grep -E '^(rtt|round-trip)' || true)
  echo "metal: ping $args: $summary${rtt:+; $rtt}"
  echo "$summary" | grep -q ' 0% packet loss' || metal_fail "ping $args lost frames: $summary" "$work/serial.log"
done

# The halted card: frames arrive, no interrupt may follow.
for _ in $(seq 100); do
  grep -q '^after halt: watching' "$work/serial.log" 2>/dev/null && break
  kill -0 "$qemu_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q '^after halt: watching' "$work/serial.log" || metal_fail "the kernel did not watch the halted card" "$work/serial.log"
ip netns exec "$ns" ping -n -q -c 20 -i 0.02 -W 1 198.18.0.2 >/dev/null 2>&1 || true

wait "$qemu_pid" || status=$?
qemu_pid=
metal_expect_pass "$work/serial.log"
host=$(tr -d '\r' <"$work/serial.log" | grep '^host:' | head -1)
echo "metal: $host"
[[ "$host" == *" 1 port unreachable"* ]] || metal_fail "the UDP datagram was not answered with port unreachable" \
  "$work/serial.log"
watched=$(tr -d '\r' <"$work/serial.log" | grep '^after the watch:' || true)
echo "metal: $watched"
[[ "$watched" =~ ISR\ 0x([0-9a-f]{2}),\ 0\ interrupts ]] || metal_fail "the halted card raised its line" "$work/serial.log"
(( 0x${BASH_REMATCH[1]} & 0x01 )) || metal_fail "no frame reached the halted card (ISR shows no PRX)" "$work/serial.log"
echo "metal: qemu TAP: passed"
