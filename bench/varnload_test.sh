#!/usr/bin/env bash
# varnload as an operator meets it: --help on standard output, two generators at once under name
# prefixes of their own, and a run that ends with what happened when one of its players is kicked or
# the server shuts down, instead of a loss figure. Loopback only; every process started here is ended.
#   bench/varnload_test.sh BUILD_DIRECTORY
set -u
build=$(cd "${1:?usage: varnload_test.sh BUILD_DIRECTORY}" && pwd) || exit 1
scratch=$(mktemp -d)
server_pid=""
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

stop_server() {
    if [[ -n "$server_pid" ]] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid"
        for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$server_pid" 2>/dev/null
    fi
    [[ -n "$server_pid" ]] && wait "$server_pid" 2>/dev/null
    server_pid=""
}
trap 'stop_server; jobs -p | xargs -r kill -KILL 2>/dev/null; rm -rf "$scratch"' EXIT

# Starts the server with its admin server on free loopback ports; sets server_pid, port and admin_port.
start_server() {
    printf 'secret\n' >"$scratch/admin.pw"
    chmod 600 "$scratch/admin.pw"
    for _ in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 40000))
        admin_port=$((port + 1))
        printf 'ServerName "Load"\nServerPort %d\nGameIPAddress 127.0.0.1\nMaxPlayers 26\nGame 2\nGameMode 1\nBannedFile banned.txt\nAdminServer 1\nAdminIPAddress 127.0.0.1\nAdminPort %d\n' \
            "$port" "$admin_port" >"$scratch/load.conf"
        rm -f "$scratch/server.log"
        (cd "$scratch" && exec "$build/varnserver" -q -c load.conf -l server.log --admin-password-file admin.pw \
            </dev/null >/dev/null 2>&1) &
        server_pid=$!
        for _ in $(seq 50); do
            grep -q '^ADMINSERVER: successfully started' "$scratch/server.log" 2>/dev/null && return 0
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.1
        done
        stop_server
    done
    echo "could not start the server"
    return 1
}

# Waits until the server's log shows the join of the named player; its id.
joined_id() {
    for _ in $(seq 100); do
        local id
        id=$(sed -n "s/^JOIN: '$1', PlayerID = \([0-9]*\) .*/\1/p" "$scratch/server.log" | tail -n 1)
        if [[ -n "$id" ]]; then echo "$id"; return 0; fi
        sleep 0.1
    done
    return 1
}

# Waits up to 15 s for a background process; its exit status, or 124 after killing it.
wait_for() {
    for _ in $(seq 150); do
        kill -0 "$1" 2>/dev/null || { wait "$1"; return $?; }
        sleep 0.1
    done
    kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    return 124
}

# --- --help --------------------------------------------------------------------------------------------
"$build/varnload" --help >"$scratch/help.out" 2>"$scratch/help.err"
status=$?
if [[ $status == 0 ]] && grep -q '^usage: varnload --port N' "$scratch/help.out" && grep -q -- '--name-prefix' "$scratch/help.out" &&
   [[ ! -s "$scratch/help.err" ]]; then
    ok "--help prints the usage to standard output and exits 0"
else
    fail "--help: status $status, output '$(head -c 200 "$scratch/help.out")', errors '$(cat "$scratch/help.err")'"
fi

start_server || exit 1
load=("$build/varnload" --port "$port" --server-pid "$server_pid" --players 3 --rate 40)

# --- two generators at once ------------------------------------------------------------------------------
"${load[@]}" --seconds 2 --name-prefix alpha --first-octet 60 >"$scratch/alpha.out" 2>&1 &
alpha=$!
"${load[@]}" --seconds 2 --name-prefix beta --first-octet 80 >"$scratch/beta.out" 2>&1 &
beta=$!
wait_for "$alpha"; alpha_status=$?
wait_for "$beta"; beta_status=$?
for run in alpha beta; do
    status_var=${run}_status
    result=$(grep '^RESULT ' "$scratch/$run.out")
    if [[ ${!status_var} == 0 && "$result" == *" loss_pct=0.0000 "* ]]; then
        ok "generator $run measured beside the other, without loss"
    else
        fail "generator $run: status ${!status_var}: $(cat "$scratch/$run.out")"
    fi
done
if grep -q "^JOIN: 'alpha02', " "$scratch/server.log" && grep -q "^JOIN: 'beta02', " "$scratch/server.log"; then
    ok "both generators' players joined under their prefixes"
else
    fail "the log lacks the joins of alpha02 and beta02"
fi

# --- a kick ends the run with what happened -----------------------------------------------------------------
"${load[@]}" --seconds 30 --name-prefix kick --first-octet 100 >"$scratch/kick.out" 2>"$scratch/kick.err" &
kicked=$!
if id=$(joined_id kick02); then
    id=$(joined_id kick00)
    "$build/varnadmin" --port "$admin_port" --password-file "$scratch/admin.pw" kick "$id" >/dev/null 2>&1 ||
        fail "varnadmin could not kick kick00"
fi
wait_for "$kicked"; status=$?
if [[ $status == 1 ]] &&
   # Whichever arrives first: the notice to kick00, or the others' news that kick00 left.
   grep -qxE "varnload: (the server removed kick00 \(kicked by an administrator, or removed for a chat flood\)|kick00 \(id $id\) is gone: kicked or banned by an administrator); the run ends without a result" "$scratch/kick.err" &&
   ! grep -q '^RESULT ' "$scratch/kick.out"; then
    ok "a kick ends the run, said in words, without a result"
else
    fail "kick: status $status, errors '$(cat "$scratch/kick.err")', output '$(cat "$scratch/kick.out")'"
fi

# --- a shut-down ends the run with what happened ------------------------------------------------------------
"${load[@]}" --seconds 30 --name-prefix stop --first-octet 140 >"$scratch/stop.out" 2>"$scratch/stop.err" &
stopped=$!
joined_id stop02 >/dev/null || fail "stop02 did not join"
sleep 1
stop_server
wait_for "$stopped"; status=$?
if [[ $status == 1 ]] &&
   grep -qx "varnload: the server on 127.0.0.1:$port stopped (its port refuses datagrams): it was shut down; the run ends without a result" "$scratch/stop.err" &&
   ! grep -q '^RESULT ' "$scratch/stop.out" && ! grep -qE '(=| )-[0-9]' "$scratch/stop.out"; then
    ok "a shut-down ends the run, said in words, without loss or negative counts"
else
    fail "shut-down: status $status, errors '$(cat "$scratch/stop.err")', output '$(cat "$scratch/stop.out")'"
fi

if (( failures )); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all varnload checks passed"
