#!/usr/bin/env bash
# Prints how much of the C++ code is tests: lines that are not blank and not
# comments, in the files git tracks; tests/ and fuzz/ count as tests,
# everything else (bench/ included) as code.
#   bash scripts/test_share.sh
set -euo pipefail
cd "$(dirname "$0")/.."
count() { xargs -r cat | grep -cvE '^\s*($|//|/\*|\*)' || true; }
files=$(git ls-files | grep -E '\.(c|cc|cpp|h|hpp)$')
code=$(echo "$files" | grep -vE '^(tests|fuzz)/' | count)
tests=$(echo "$files" | grep -E '^(tests|fuzz)/' | count)
echo "code $code lines, tests $tests lines: tests are $((100 * tests / (code + tests)))% of all" \
     "($((100 * tests / code)) lines of test per 100 of code)"
