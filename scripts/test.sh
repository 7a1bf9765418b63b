#!/usr/bin/env bash
# Builds and runs every test: the 64-bit build (build/, with the driver image
# build/ne2000.sys and its checks), then the 32-bit build (build32/) that
# runs that image under the loader. With --sanitize, the 64-bit tests built
# with AddressSanitizer and UndefinedBehaviorSanitizer (in build-asan/).
# A test still running after 300 s fails: a hang ends the run instead of
# holding it.
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
ctest --test-dir "$dir" --output-on-failure --timeout 300 -j"$(nproc)"
if [ "$dir" = build ]; then
  cmake -S . -B build32 -DCMAKE_CXX_FLAGS=-m32 -DNE2K_IMAGE_FILE="$PWD/build/ne2000.sys" >/dev/null
  cmake --build build32 -j"$(nproc)"
  ctest --test-dir build32 --output-on-failure --timeout 300 -j"$(nproc)"
fi
