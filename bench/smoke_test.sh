#!/usr/bin/env bash
# Keeps the measuring tools honest: varnload drives minrelay (one send per copy, then batched, then
# io_uring when built with it) and then varnserver with 4 players for a second, and every relay must
# come back, each in its full form, with none lost. Loopback only; every process started here is ended.
set -u
build=$(cd "${1:?usage: smoke_test.sh BUILD_DIRECTORY}" && pwd) || exit 1
scratch=$(mktemp -d)
pid=""

finish() {
    if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid"
        for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
        kill -KILL "$pid" 2>/dev/null
    fi
    [[ -n "$pid" ]] && wait "$pid" 2>/dev/null
    pid=""
}
trap 'finish; rm -rf "$scratch"' EXIT

# Starts "$@" with PORT replaced by a free port; sets pid and port.
start() {
    for _ in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 40000))
        printf 'ServerName "Smoke"\nServerPort %d\nMaxPlayers 26\nGame 2\nGameMode 1\nBannedFile banned.txt\n' \
            "$port" >"$scratch/bench.conf"
        (cd "$scratch" && exec "${@/PORT/$port}" </dev/null >/dev/null 2>&1) &
        pid=$!
        sleep 0.5
        kill -0 "$pid" 2>/dev/null && return 0
        wait "$pid" 2>/dev/null
    done
    echo "could not start $1"
    return 1
}

# Runs varnload against the process started last and checks its result line.
check() {
    local name=$1 output
    output=$(timeout 30 "$build/varnload" --port "$port" --server-pid "$pid" --players 4 --rate 50 --seconds 1 \
        --first-octet 200)
    echo "$output"
    local result syncs full loss
    result=$(grep '^RESULT ' <<<"$output") || { echo "FAIL $name: no result"; return 1; }
    syncs=$(sed -E 's/.* syncs=([0-9]+) .*/\1/' <<<"$result")
    full=$(sed -E 's/.* full=([0-9]+) .*/\1/' <<<"$result")
    loss=$(sed -E 's/.* loss_pct=([0-9.]+) .*/\1/' <<<"$result")
    if ((syncs < 40 || full != syncs * 3)) || [[ "$loss" != "0.0000" ]]; then
        echo "FAIL $name: $syncs syncs, $full full relays (expected $((syncs * 3))), loss $loss%"
        return 1
    fi
    echo "ok $name: $syncs syncs, $full full relays"
}

status=0
start "$build/minrelay" --port PORT && check minrelay || status=1
finish
start "$build/minrelay" --port PORT --batched && check "minrelay --batched" || status=1
finish
# The io_uring relay, when minrelay was built with it and the kernel allows io_uring.
if "$build/minrelay" --uring-check; then
    start "$build/minrelay" --port PORT --uring && check "minrelay --uring" || status=1
    finish
fi
start "$build/varnserver" -q -c bench.conf && check varnserver || status=1
finish
exit $status
