#!/usr/bin/env bash
# The shipped image on QEMU's ne2k_isa card and the linked driver on our
# emulated card, on one Ethernet: QEMU's -netdev dgram joined to our segment
# by `ne2k bridge` over UDP on 127.0.0.1. Both ways, 200 echo requests of
# sizes across 60..1514 bytes on the wire each:
#   1. the kernel pings the IPv4 host above our driver (bridge --count 200);
#   2. our host's ping client pings the kernel (kernel serve=200).
# Each run: the kernel's verdict PASS, the bridge's exit 0 with every echo
# answered, and the frames QEMU's netdev carried (filter-dump) are the
# frames the bridge took from it and gave it, none lost on the link.
#
#   bash tests/metal/qemu_bridge.sh KERNEL.elf NE2K
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
kernel=$1
ne2k=$2
metal_workdir bridge
bridge_pid=
stop_bridge() { [ -n "$bridge_pid" ] && kill "$bridge_pid" 2>/dev/null && wait "$bridge_pid" 2>/dev/null; true; }
trap 'stop_bridge; rm -rf "$work"' EXIT

free_port() {  # a UDP port on 127.0.0.1 the system had free
  python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
json() {  # file expression: a field of the bridge's --json summary
  python3 -c 'import json, sys; print(eval("json.load(open(sys.argv[1]))" + sys.argv[2]))' "$1" "$2"
}

# run NAME "KERNEL COMMAND LINE" BRIDGE-OPTIONS...
run() {
  local name=$1 cmdline=$2
  shift 2
  local ours theirs
  ours=$(free_port)
  theirs=$(free_port)
  while [ "$theirs" = "$ours" ]; do theirs=$(free_port); done
  "$ne2k" bridge --local "127.0.0.1:$ours" --remote "127.0.0.1:$theirs" --ip 10.0.2.2/24 --seconds 80 --json "$@" \
    >"$work/$name.json" 2>"$work/$name.err" &
  bridge_pid=$!
  metal_qemu "$work/$name.log" "$kernel" "ip=10.0.2.15/24 seconds=80 $cmdline" \
    -netdev "dgram,id=n0,local.type=inet,local.host=127.0.0.1,local.port=$theirs,remote.type=inet,remote.host=127.0.0.1,remote.port=$ours" \
    $(metal_card n0) -object "filter-dump,id=f0,netdev=n0,file=$work/$name.pcap"
  metal_expect_pass "$work/$name.log"
  local rc=0
  wait "$bridge_pid" || rc=$?
  bridge_pid=
  [ "$rc" -eq 0 ] || metal_fail "$name: ne2k bridge exited $rc: $(cat "$work/$name.err") $(cat "$work/$name.json")" \
    "$work/$name.log"
  # What QEMU's netdev carried: frames from the kernel's card, and to it.
  local sent received
  sent=$(tcpdump -r "$work/$name.pcap" -n -e 2>/dev/null | grep -c '^[0-9:.]* 02:00:00:00:00:07 >' || true)
  received=$(tcpdump -r "$work/$name.pcap" -n -e 2>/dev/null | grep -vc '^[0-9:.]* 02:00:00:00:00:07 >' || true)
  # A frame the bridge gave before QEMU listened came back refused.
  local from to refused
  from=$(json "$work/$name.json" "['from_peer']")
  to=$(json "$work/$name.json" "['to_peer']")
  refused=$(json "$work/$name.json" "['peer_refused']")
  echo "metal: bridge, $name: $(tr -d '\r' <"$work/$name.log" | grep -E '^ping: [0-9]+ sent|^host: [0-9]' | tail -1)"
  echo "metal: bridge, $name: the kernel's card sent $sent frames, the bridge took $from;" \
    "the bridge gave $to ($refused refused: QEMU not yet listening), QEMU's netdev got $received"
  [ "$sent" -eq "$from" ] && [ "$received" -eq $((to - refused)) ] ||
    metal_fail "$name: frames were lost between QEMU and the bridge" "$work/$name.log"
  [ "$(json "$work/$name.json" "['verdicts']['indicated']")" -eq "$from" ] ||
    metal_fail "$name: not every frame from QEMU was indicated: $(cat "$work/$name.json")"
}

run kernel-pings "ping=10.0.2.2 count=200" --count 200
[ "$(json "$work/kernel-pings.json" "['echo_replies']")" -eq 200 ] || metal_fail "the bridge did not answer 200 echo requests"
run bridge-pings "serve=200" --ping 10.0.2.15 --count 200
[ "$(json "$work/bridge-pings.json" "['ping']['received']")" -eq 200 ] || metal_fail "the bridge's pings were not all answered"
echo "metal: bridge, bridge-pings: ne2k bridge's ping: $(json "$work/bridge-pings.json" \
  "['ping']['received']") received, round trip $(json "$work/bridge-pings.json" \
  "['ping']['rtt_min_ns']//1000/1000")/$(json "$work/bridge-pings.json" \
  "['ping']['rtt_avg_ns']//1000/1000")/$(json "$work/bridge-pings.json" "['ping']['rtt_max_ns']//1000/1000") ms min/avg/max"
echo "metal: qemu bridge: passed"
