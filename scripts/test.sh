#!/usr/bin/env bash
# Builds and runs every test. With --sanitize, the same tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer (in build-asan/).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  flags=(-DNE2K_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi

bash scripts/deps.sh
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
