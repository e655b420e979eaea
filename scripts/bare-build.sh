#!/usr/bin/env bash
# Shows that the README's first command builds and runs the server on a machine that has only a C++
# compiler, CMake and Ninja: GoogleTest and Google Benchmark are hidden, a scratch build directory is
# configured and built (timed), and the server prints its help and is started and stopped with SIGTERM.
#   scripts/bare-build.sh [build directory, default build-bare]
# As root the libraries are hidden for real, by empty mounts in a private mount namespace; elsewhere
# CMake is told not to look for them.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-bare}

hidden=(/usr/include/gtest /usr/include/gmock /usr/include/benchmark /usr/src/googletest
        /usr/lib/*/cmake/GTest /usr/lib/*/cmake/benchmark /usr/lib/cmake/GTest /usr/lib/cmake/benchmark
        /usr/local/include/gtest /usr/local/include/benchmark)

if [[ -z "${VARN_BARE_NAMESPACE:-}" ]] && (( EUID == 0 )) && command -v unshare >/dev/null &&
        unshare --mount --propagation private true 2>/dev/null; then
    VARN_BARE_NAMESPACE=1 exec unshare --mount --propagation private -- "$0" "$@"
fi

configure_args=()
if [[ -n "${VARN_BARE_NAMESPACE:-}" ]]; then
    for path in "${hidden[@]}"; do
        [[ -d "$path" ]] && mount -t tmpfs -o ro,size=4k varn-hidden "$path"
    done
    echo "== hidden by empty mounts: GoogleTest, GoogleMock and Google Benchmark headers and CMake packages"
else
    configure_args=(-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
    echo "== not root (or no mount namespace): CMake is told not to look for GoogleTest and Google Benchmark"
fi

work=$(mktemp -d)
server_pid=
finish() {
    if [[ -n "$server_pid" ]]; then kill "$server_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap finish EXIT

# A cold build, as on a fresh machine: no compiler cache.
unset CMAKE_CXX_COMPILER_LAUNCHER
rm -rf "$dir"
start=$SECONDS
cmake -S . -B "$dir" -G Ninja "${configure_args[@]}" | tee "$work/configure.log"
configured=$SECONDS
cmake --build "$dir"
built=$SECONDS
grep -q '^-- Tests not built (the default): scripts/test.sh builds' "$work/configure.log" ||
    { echo "bare build: the configure output does not say where the tests are built"; exit 1; }

server="$(cd "$dir" && pwd)/varnserver"
help=$("$server" --help </dev/null)
[[ "$help" == *$'\nUsage: VarnServer [OPTION]...\n'* ]] || { echo "$help"; echo "bare build: no usage text"; exit 1; }

# Start the server on the example configuration in a scratch directory and stop it as a service
# manager would.
cp varnserver.conf motd.txt "$work/"
: > "$work/banned.txt"
started=0
for attempt in 1 2 3 4 5; do
    port=$(( 20000 + (RANDOM % 20000) ))
    sed -i "s/^ServerPort .*/ServerPort $port/" "$work/varnserver.conf"
    (cd "$work" && exec "$server" </dev/null >"$work/console" 2>&1) &
    server_pid=$!
    for _ in $(seq 100); do
        grep -q "^SERVER: press 'q' or 'Q' to shutdown the server.$" "$work/console" && { started=1; break; }
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    (( started )) && break
    wait "$server_pid" || true
    server_pid=
done
(( started )) || { cat "$work/console"; echo "bare build: the server did not start"; exit 1; }
kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=
[[ $status -eq 0 ]] || { cat "$work/console"; echo "bare build: exit status $status after SIGTERM"; exit 1; }
tail -n 1 "$work/varnserver.log" | grep -qx -- '- VarnServer log closed -' ||
    { cat "$work/varnserver.log"; echo "bare build: the log was not closed"; exit 1; }

echo "== bare build: configure $((configured - start)) s, build $((built - configured)) s;" \
     "the server printed its help, started on port $port and stopped cleanly on SIGTERM"
