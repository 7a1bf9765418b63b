#!/usr/bin/env bash
# Writes the golden port traces of tests/golden/ with the ne2k tool: every
# file there again, or the scenario and board kind named. Read what changed
# (git diff tests/golden) before committing it.
#   bash scripts/golden.sh [build-dir] [SCENARIO KIND]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target ne2k -j2 >/dev/null
write() { "$build/tools/ne2k" trace "$1" --kind "$2" >"tests/golden/$1-$2.trace"; }
if [ $# -ge 3 ]; then
  write "$2" "$3"
else
  for f in tests/golden/*.trace; do
    name=$(basename "$f" .trace)
    write "${name%-*}" "${name##*-}"
  done
fi
