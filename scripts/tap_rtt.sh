#!/usr/bin/env bash
# Round trips through `ne2k tap`, measured with the real ping: for each size,
# Linux in a network namespace of this script's own pings the emulated host
# COUNT times, one at a time, and the table puts ping's minimum and average
# beside what the tool says the wire and the bus took (its turnaround: from
# the request going on the wire to the end of the reply on it, in virtual
# time) and how late it handed the replies to Linux. Needs root, python3.
#
#   bash scripts/tap_rtt.sh [NE2K] [COUNT]      (default build/tools/ne2k, 50)
set -euo pipefail
ne2k=${1:-build/tools/ne2k}
count=${2:-50}
ns=ne2k-rtt-$$
dev=ne2krtt0
work=$(mktemp -d)
cleanup() {
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"

field() {  # json key: a number of the tool's --json summary
  python3 -c 'import json,sys
try: print(eval("json.load(open(sys.argv[1]))" + sys.argv[2]))
except (KeyError, ValueError): print("nan")' "$1" "$2"
}

printf '%6s %6s %9s %9s %9s %10s %10s %12s\n' "-s" "frame" "ping min" "median" "avg" "wire+bus" "late avg" "median-w+b"
for size in 56 200 500 800 1000 1472; do
  ip netns exec "$ns" "$ne2k" tap "$dev" --ip 198.18.0.2/24 --count "$count" --seconds 120 --json >"$work/tap.json" &
  tool=$!
  for _ in $(seq 100); do ip -n "$ns" link show "$dev" >/dev/null 2>&1 && break; sleep 0.05; done
  # Only the echo requests and replies: no ARP, no IPv6 of Linux's own.
  ip netns exec "$ns" sysctl -q -w "net.ipv6.conf.$dev.disable_ipv6=1"
  ip -n "$ns" addr add 198.18.0.1/24 dev "$dev"
  ip -n "$ns" neigh add 198.18.0.2 lladdr 02:00:00:00:00:01 dev "$dev"
  ip -n "$ns" link set "$dev" up
  ip netns exec "$ns" ping -n -c "$count" -i 0.05 -W 2 -s "$size" 198.18.0.2 >"$work/ping.txt"
  wait "$tool"
  turn=$(field "$work/tap.json" "['turnaround']['avg_ns']")
  late=$(field "$work/tap.json" "['pacing']['late_avg_ns']")
  sed -n 's/.*time=\([0-9.]*\) ms/\1/p' "$work/ping.txt" | sort -n | awk -v s="$size" -v t="$turn" -v l="$late" '
    { v[NR] = $1; sum += $1 }
    END {
      med = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%6d %6d %9.3f %9.3f %9.3f %10.3f %10.3f %12.3f\n", s, s + 42, v[1], med, sum / NR, t / 1e6, l / 1e6, med - t / 1e6 }'
done
echo "(ms; frame: bytes on the wire without FCS; wire+bus: the tool's turnaround, the"
echo " request on the wire to the end of the reply on it, in virtual time; late: how long"
echo " after the end of its wire time a reply reached Linux)"
