#!/usr/bin/env bash
# Cross-compiles the Windows build with MinGW-w64 into build-windows/ and runs its unit tests and its
# end-to-end scenarios under Wine, in a temporary Wine prefix that is removed afterwards.
# Needs: g++-mingw-w64-x86-64-posix, wine and wine64, googletest (sources in /usr/src/googletest).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh build windows

dir=build-windows
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release -DVARN_WERROR=ON -DVARN_BUILD_TESTS=ON
cmake --build "$dir"

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer in a fresh prefix
WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/varn-wine-XXXXXX")"
export WINEPREFIX
finish() {
    # Ends every Wine process of the prefix, the servers of a failed test included.
    timeout 60 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap finish EXIT

# One persistent wineserver for all the tests. The first program run sets the prefix up and starts
# Wine's own services; that is done here, before any test's time-out runs, and away from CTest's
# output pipes, which a service started by a test would hold open after the test has ended.
wineserver -p
timeout 300 wine wineboot --init </dev/null >/dev/null 2>&1

# Now and then a test program under Wine ends before its first line, with no output at all (Wine
# failing to start the process, a different test each time); a failed test runs once more, so only
# one that fails twice fails the run.
ctest --test-dir "$dir" --output-on-failure -j2 --timeout 600 --repeat until-pass:2 </dev/null
