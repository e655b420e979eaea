#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# each for a bounded time on its seed corpus.
#   scripts/fuzz.sh [seconds per target, default 30] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
scripts/setup-deps.sh build fuzz

cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARN_FUZZ=ON -DVARN_BUILD_TESTS=OFF -DVARN_BUILD_BENCH=OFF -DVARN_UNITY_BUILD=OFF
cmake --build build-fuzz

targets=("$@")
if (( ${#targets[@]} == 0 )); then
    for binary in build-fuzz/fuzz/fuzz_*; do targets+=("${binary##*/fuzz_}"); done
fi

failed=0
for target in "${targets[@]}"; do
    work=$(mktemp -d)
    echo "== fuzz_${target}: ${seconds} s"
    if ! build-fuzz/fuzz/fuzz_${target} -max_total_time="${seconds}" -print_final_stats=1 \
            -artifact_prefix="${work}/" "${work}" "fuzz/corpus/${target}" > "${work}/log" 2>&1; then
        failed=1
        tail -n 60 "${work}/log"
        echo "fuzz_${target}: FAILED (artifacts in ${work})"
        continue
    fi
    grep -E 'stat::number_of_executed_units' "${work}/log" || true
    rm -rf "${work}"
done
exit "${failed}"
