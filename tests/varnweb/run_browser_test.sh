#!/usr/bin/env bash
# Runs browser_test.js with puppeteer-core installed into NODE_DIR (a build folder) from the
# committed package-lock.json; an install that is already there and matches the lock is kept.
#   run_browser_test.sh NODE_DIR BROWSER_TEST_ARGUMENT...
# Status 77 (skipped) without Node.js or npm, unless CI is set.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
node_dir=${1:?usage: run_browser_test.sh NODE_DIR ARGUMENT...}
shift

skip_or_fail() {
    if [[ "${CI:-}" =~ ^(1|true|yes)$ ]]; then
        echo "FAIL: $1; CI must install it"
        exit 1
    fi
    echo "SKIP: $1"
    exit 77
}

command -v node >/dev/null || skip_or_fail "Node.js is missing (Debian package nodejs)"
mkdir -p "$node_dir"
if ! cmp -s "$here/package-lock.json" "$node_dir/package-lock.json" || [[ ! -d "$node_dir/node_modules/puppeteer-core" ]]; then
    command -v npm >/dev/null || skip_or_fail "npm is missing (Debian package npm)"
    cp "$here/package.json" "$here/package-lock.json" "$node_dir/"
    # puppeteer-core downloads no browser: the test drives Debian's Chromium.
    (cd "$node_dir" && npm ci --no-audit --no-fund --loglevel=error) || skip_or_fail "npm could not install puppeteer-core"
fi
NODE_PATH="$node_dir/node_modules" exec node "$here/browser_test.js" "$@"
