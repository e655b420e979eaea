#!/usr/bin/env bash
# scripts/setup-deps.sh: what it says and its status when packages are missing and it may not install
# them, and when it is used wrongly.
set -uo pipefail
# A copy that another user can read whatever the permissions of the checkout.
copy=$(mktemp -d "${TMPDIR:-/tmp}/varn-deps-XXXXXX")
trap 'rm -rf "$copy"' EXIT
cp "$(dirname "$0")/../../scripts/setup-deps.sh" "$copy/"
chmod 755 "$copy" "$copy/setup-deps.sh"
script=$copy/setup-deps.sh
failures=0
expect() {  # what, wanted status, wanted text in the output, command...
    local what=$1 status=$2 text=$3
    shift 3
    local output got=0
    output=$("$@" 2>&1) || got=$?
    if [[ $got -ne $status || "$output" != *"$text"* ]]; then
        echo "FAIL: $what: status $got, output:"
        echo "$output"
        failures=$((failures + 1))
    else
        echo "ok: $what"
    fi
}

# Without root (as nobody when the test runs as root) and with a PATH that finds none of the build
# tools: the exact command to install them, and status 1.
as_user=()
(( EUID == 0 )) && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
expect "missing packages without root: the install command and status 1" 1 \
    "sudo apt-get update && sudo apt-get install -y --no-install-recommends cmake ninja-build g++" \
    "${as_user[@]}" env PATH=/nonexistent /bin/bash "$script" build
expect "--check never installs, even as root" 1 "apt-get install -y --no-install-recommends cmake ninja-build g++" \
    env PATH=/nonexistent /bin/bash "$script" --check build
expect "the build tools of this test run are there" 0 "" "$script" --check build
expect "an unknown group is wrong usage" 2 "unknown group 'nonsense'" "$script" nonsense
expect "an unknown option is wrong usage" 2 "unknown option '--frobnicate'" "$script" --frobnicate

if (( failures )); then
    echo "$failures check(s) failed"
    exit 1
fi
