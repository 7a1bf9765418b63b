#!/usr/bin/env bash
# The bus-cost report: builds bench_buscost, writes the table to
# bench/buscost.md and the chart to bench/buscost.svg, and puts the table
# into README.md between its buscost markers.
#   scripts/buscost.sh [build-dir]        (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
[ -f "$dir/CMakeCache.txt" ] || cmake -S . -B "$dir" >/dev/null
cmake --build "$dir" --target bench_buscost -j1 >/dev/null
"$dir/bench/bench_buscost" --svg bench/buscost.svg > bench/buscost.md
cat bench/buscost.md
python3 - <<'PY'
import re
readme = open("README.md").read()
table = open("bench/buscost.md").read().rstrip("\n")
begin, end = "<!-- buscost table: made by scripts/buscost.sh -->", "<!-- end of buscost table -->"
if begin in readme and end in readme:
    head, rest = readme.split(begin, 1)
    _, tail = rest.split(end, 1)
    open("README.md", "w").write(head + begin + "\n" + table + "\n" + end + tail)
    print("README.md: table updated")
PY
