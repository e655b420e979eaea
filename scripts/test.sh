#!/usr/bin/env bash
# Builds the server, the tools, the tests and the benchmarks, and runs every test. The build folders are
# its own, so the README's first command (build/) never builds a test.
#   scripts/test.sh              Release build in build-test/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh build test stats

if [[ "${1:-}" == "--sanitize" ]]; then
    dir=build-sanitize
    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARN_SANITIZE=ON)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
    dir=build-test
    args=(-DCMAKE_BUILD_TYPE=Release)
fi

cmake -S . -B "$dir" -G Ninja -DVARN_WERROR=ON -DVARN_BUILD_TESTS=ON -DVARN_BUILD_BENCH=ON "${args[@]}"
cmake --build "$dir"
# One summary line a group at the end: unit, end-to-end, statistics, packaging.
scripts/test-groups.sh "$dir" -j2 --timeout 300
