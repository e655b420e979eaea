#!/usr/bin/env bash
# Runs the README's first command on a fresh clone of this checkout's last commit, with every library
# installed and no compiler cache, as a new operator does:
#     cmake -S . -B build -G Ninja && cmake --build build
# and checks that it builds only the programs an operator runs: nothing from tests/, bench/ or fuzz/ is
# compiled and nothing links GoogleTest or Google Benchmark (checked on the build plan before the build
# starts, so a build that would make them fails at once). Prints the configure and build times, the steps
# built and the load average the build ran beside.
#   scripts/first-build.sh [--no-build]     (--no-build: check the build plan only)
set -euo pipefail
cd "$(dirname "$0")/.."
build_too=1
[[ "${1:-}" == "--no-build" ]] && build_too=0

work=$(mktemp -d "${TMPDIR:-/tmp}/varn-first-build-XXXXXX")
trap 'rm -rf "$work"' EXIT
git clone --quiet --no-hardlinks "$(pwd)" "$work/varn"
cd "$work/varn"

# No compiler cache: a fresh machine has none.
export CCACHE_DISABLE=1
unset CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER CMAKE_BUILD_PARALLEL_LEVEL
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
start=$(date +%s.%N)
cmake -S . -B build -G Ninja >"$work/configure.log"
configured=$(date +%s.%N)

# The plan of the default target: every command it would run.
ninja -C build -t commands all >"$work/plan"
unwanted=$(grep -E -- "-c [^ ]*$work/varn/(tests|bench|fuzz)/|-lgtest|libgtest|-lbenchmark|libbenchmark" \
               "$work/plan" | sed -E 's/.* -c ([^ ]+).*/\1/' | sort -u || true)
if [[ -n "$unwanted" ]]; then
    echo "first build: the default target builds tests, benchmarks or fuzz targets:"
    head -n 20 <<<"$unwanted"
    exit 1
fi
steps=$(wc -l <"$work/plan")
echo "== first build: the default target builds no test, benchmark or fuzz target ($steps commands)"
(( build_too )) || exit 0

cmake --build build >"$work/build.log"
built=$(date +%s.%N)
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
[[ -x build/varnserver && -x build/varnadmin ]] || { echo "first build: no varnserver or varnadmin"; exit 1; }
programs=$(find build -maxdepth 1 -type f -executable -printf '%f ' | sort)
awk -v cores="$(nproc)" -v a="$start" -v b="$configured" -v c="$built" -v steps="$steps" -v programs="$programs" \
    'BEGIN { printf "== first build on %s cores: configure %.1f s, build %.1f s (%s steps); programs: %s\n",
                    cores, b - a, c - b, steps, programs }'
echo "== load average (1, 5, 15 min) before: $load_before; after: $load_after"
