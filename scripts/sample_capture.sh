#!/usr/bin/env bash
# Makes tools/sample.pcap, the small capture the README's ne2k examples
# replay and send: traffic of the Linux stack between two network
# namespaces joined by a veth pair, taken with tcpdump on one end. Needs
# root; the namespaces are removed at the end.
#
#   bash scripts/sample_capture.sh [OUT.pcap]
#
# Host A (198.18.0.1, 02:00:00:00:00:42) talks to host B (198.18.0.2,
# 02:00:00:00:00:01: the station address ne2k's cards take by default):
# ARP, ICMP echo both ways, a request in two fragments, UDP to a closed port
# and its ICMP error, a broadcast, a multicast group (224.0.0.251, as mDNS
# uses), a host that is not there, and an echo of two frames over 1514
# bytes (the link MTU is 1600 for it) that ne2k reports as not usable.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-tools/sample.pcap}
a=ne2k-sample-a b=ne2k-sample-b
cleanup() { ip netns delete "$a" 2>/dev/null || true; ip netns delete "$b" 2>/dev/null || true; }
trap cleanup EXIT
cleanup
ip netns add "$a"
ip netns add "$b"
for ns in "$a" "$b"; do ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1; done
ip link add veth-a netns "$a" type veth peer name veth-b netns "$b"
ip -n "$a" link set veth-a address 02:00:00:00:00:42 mtu 1600 up
ip -n "$b" link set veth-b address 02:00:00:00:00:01 mtu 1600 up
ip -n "$a" addr add 198.18.0.1/24 dev veth-a
ip -n "$b" addr add 198.18.0.2/24 dev veth-b
ip -n "$a" neigh add 198.18.0.9 lladdr 02:00:00:00:00:77 dev veth-a   # a host that is not there
ip -n "$a" route add 224.0.0.0/4 dev veth-a

ip netns exec "$a" tcpdump -i veth-a -U -w "$out" 2>/dev/null &
dump=$!
sleep 1
A() { ip netns exec "$a" "$@" >/dev/null 2>&1 || true; }
A ping -c 2 -i 0.2 198.18.0.2                  # ARP, then echo and reply
A ping -c 1 -s 1473 198.18.0.2                 # 1515-byte frames each way: not usable
ip -n "$a" link set veth-a mtu 1500
ip -n "$b" link set veth-b mtu 1500
A ping -c 1 -s 1473 198.18.0.2                 # two fragments each way
A bash -c 'exec 3<>/dev/udp/198.18.0.2/9; echo hello >&3'   # UDP to a closed port: port unreachable
A ping -c 1 -W 1 -b 198.18.0.255               # broadcast
A ping -c 1 -W 1 -t 1 224.0.0.251              # multicast
A ping -c 1 -W 1 198.18.0.9                    # to a station that is not there
sleep 1
kill -INT "$dump"
wait "$dump" || true
echo "sample_capture: wrote $out ($(stat -c %s "$out") bytes)"
