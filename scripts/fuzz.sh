#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang++ in build-fuzz/ and runs each
# for a bounded time from its seed corpus (fuzz/corpus/<name>/). New inputs
# go to build-fuzz/corpus/<name>/ (the seeds in the repository stay as they
# are); a finding leaves its input in build-fuzz/findings/ and fails.
#
#   scripts/fuzz.sh [seconds per fuzzer, default 20] [fuzzer names: ring oid config send net]
#   FUZZ_JOBS=2 runs two fuzzers at a time (default one).
#   FUZZ_SEED=N fixes libFuzzer's random seed (default: a new one each run).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
shift || true
names=("$@")
[ "${#names[@]}" -gt 0 ] || names=(ring oid config send net)
jobs="${FUZZ_JOBS:-1}"

cmake -S . -B build-fuzz -DNE2K_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
for n in "${names[@]}"; do targets+=("fuzz_$n"); done
cmake --build build-fuzz --target "${targets[@]}" -j"${BUILD_JOBS:-1}"

mkdir -p build-fuzz/findings
run_one() {
    local n="$1"
    mkdir -p "build-fuzz/corpus/$n"
    echo "== fuzz_$n for ${seconds}s"
    local rc=0
    "build-fuzz/fuzz/fuzz_$n" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build-fuzz/findings/$n-" -max_len=16384 -timeout=20 -rss_limit_mb=2048 -seed="${FUZZ_SEED:-0}" \
        "build-fuzz/corpus/$n" "fuzz/corpus/$n" > "build-fuzz/fuzz_$n.log" 2>&1 || rc=$?
    grep -E "stat::number_of_executed_units|stat::new_units_added" "build-fuzz/fuzz_$n.log" | sed "s/^/fuzz_$n /"
    if [ $rc -ne 0 ]; then
        echo "fuzz_$n: FINDING (see build-fuzz/fuzz_$n.log)"
        tail -30 "build-fuzz/fuzz_$n.log"
    fi
    return $rc
}

status=0
pids=()
for n in "${names[@]}"; do
    run_one "$n" &
    pids+=($!)
    if [ "${#pids[@]}" -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
