#!/usr/bin/env bash
# The README's timeline picture: the demo's first four frames (two adapters,
# no reset, frames of 60 to 200 bytes) as ne2k demo --timeline writes them,
# drawn by tools/timeline_svg.py. Deterministic: the virtual clock and the
# seed make the same picture every time (ctest timeline_picture compares).
#   bash scripts/timeline_picture.sh [NE2K] [OUT.svg]   (default build/tools/ne2k tools/timeline.svg)
set -euo pipefail
cd "$(dirname "$0")/.."
ne2k=${1:-build/tools/ne2k}
out=${2:-tools/timeline.svg}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$ne2k" demo --frames 3 --no-reset --min-size 60 --max-size 200 \
  --timeline "$tmp/demo.json" --timeline-frames 4 >/dev/null
python3 tools/timeline_svg.py "$tmp/demo.json" "$out"
