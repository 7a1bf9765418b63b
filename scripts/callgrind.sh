#!/usr/bin/env bash
# Instructions per end-to-end frame (A sends, B receives and transfers the
# whole frame), counted by callgrind: two runs of different length, so the
# set-up cancels out. Repeatable on any load, unlike the timed benchmarks.
#   scripts/callgrind.sh [build-dir] [sizes...]     (default: build 60 590 1514)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(60 590 1514)
cmake --build "$dir" --target bench_frames -j1 >/dev/null
prog="$dir/bench/bench_frames"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
short=200
long=1200
instructions() {  # size frames [extra]
  valgrind --tool=callgrind --callgrind-out-file="$tmp/out" "$prog" "$@" >/dev/null 2>"$tmp/log"
  grep -E '^summary:|^totals:' "$tmp/out" | head -1 | awk '{print $2}'
}
printf '%-8s %-22s %s\n' bytes instructions/frame "$([ -n "${TRACE:-}" ] && echo '(trace on)')"
for s in "${sizes[@]}"; do
  a=$(instructions "$s" $short ${TRACE:+--trace-all})
  b=$(instructions "$s" $long ${TRACE:+--trace-all})
  printf '%-8s %d\n' "$s" $(( (b - a) / (long - short) ))
done
