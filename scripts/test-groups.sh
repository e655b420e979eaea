#!/usr/bin/env bash
# Runs the tests of a build group by group (by their CTest labels) and ends with one line a group:
#   unit: 310 passed, 0 failed (41 s)
# The groups: unit (the classes, driven directly), end-to-end (the real programs on loopback),
# statistics (varnstats) and packaging (the install and the set-up script). A test in none of them is
# run too, as "other", so that nothing is left out unseen. Status 0 when every test passed.
#   scripts/test-groups.sh BUILD_DIRECTORY [CTEST_OPTION...]
set -uo pipefail
build=${1:?usage: test-groups.sh BUILD_DIRECTORY [CTEST_OPTION...]}
shift
groups=("unit:unit" "end-to-end:e2e" "statistics:statistics" "packaging:packaging")
labelled=$(printf '%s|' "${groups[@]#*:}")
labelled="^(${labelled%|})\$"

summary=()
status=0
# Runs the tests that ctest selects with the given options; adds a summary line named $1.
run_group() {
    local name=$1 log started seconds line passed failed total
    shift
    log=$(mktemp)
    started=$(date +%s)
    ctest --test-dir "$build" "$@" --output-on-failure "${ctest_options[@]}" 2>&1 | tee "$log"
    seconds=$(( $(date +%s) - started ))
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    rm -f "$log"
    if [[ -z "$line" ]]; then
        [[ "$name" == other ]] && return 0
        summary+=("$name: no tests")
        return 0
    fi
    failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((total - failed))
    summary+=("$name: $passed passed, $failed failed ($seconds s)")
    (( failed == 0 )) || status=1
}

ctest_options=("$@")
for group in "${groups[@]}"; do
    run_group "${group%%:*}" -L "^${group#*:}\$"
done
run_group other -LE "$labelled"

echo
printf '%s\n' "${summary[@]}"
exit $status
