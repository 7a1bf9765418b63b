#!/usr/bin/env bash
# Builds the project and runs its main job on the embedded default.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build >/dev/null
if [ -f tools/CMakeLists.txt ]; then
  cmake --build build -j"$(nproc)" --target ne2k
  exec build/tools/ne2k demo "$@"
fi
# Until the ne2k tool exists, the closest runnable thing is the end-to-end suite.
cmake --build build -j"$(nproc)"
exec ctest --test-dir build --output-on-failure -R e2e
