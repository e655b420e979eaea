#!/usr/bin/env bash
# scripts/test-groups.sh: a line per group with its counts, an unlabelled test run as "other", and a
# failing test that fails the whole. A throw-away CMake project of shell commands stands in for the
# build: no compiler is needed.
set -uo pipefail
script=$(cd "$(dirname "$0")/../../scripts" && pwd)/test-groups.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/varn-groups-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
check() { local what=$1; shift; if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi; }

mkdir "$work/project"
cat >"$work/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(Groups NONE)
enable_testing()
add_test(NAME unit_one COMMAND true)
add_test(NAME unit_two COMMAND true)
add_test(NAME e2e_one COMMAND true)
add_test(NAME e2e_broken COMMAND false)
add_test(NAME stats_one COMMAND true)
add_test(NAME unlabelled COMMAND true)
set_tests_properties(unit_one unit_two PROPERTIES LABELS unit)
set_tests_properties(e2e_one e2e_broken PROPERTIES LABELS e2e)
set_tests_properties(stats_one PROPERTIES LABELS statistics)
CMAKE
cmake -S "$work/project" -B "$work/build" >/dev/null || { echo "FAIL: the stand-in project"; exit 1; }

status=0
"$script" "$work/build" -j2 >"$work/output" 2>&1 || status=$?
summary=$(tail -n 5 "$work/output" | sed -E 's/ \([0-9]+ s\)$//')
expected="unit: 2 passed, 0 failed
end-to-end: 1 passed, 1 failed
statistics: 1 passed, 0 failed
packaging: no tests
other: 1 passed, 0 failed"
check "one line a group at the end" test "$summary" = "$expected"
check "a failed test fails the run" test "$status" = 1
check "each line gives the time the group took" bash -c "tail -n 5 '$work/output' | grep -cE '\\([0-9]+ s\\)$' | grep -qx 4"

if (( failures )); then
    cat "$work/output"
    exit 1
fi
echo "all test-groups checks passed"
