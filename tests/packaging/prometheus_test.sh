#!/usr/bin/env bash
# The Prometheus files shipped in packaging/prometheus: the scrape configuration and the rules pass
# promtool's checks, and each alert fires for the series it is meant for (promtool test rules).
# Status 77 (skipped) without promtool (Debian: prometheus).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
shipped=$here/../../packaging/prometheus
if ! command -v promtool >/dev/null; then
    echo "skip: promtool not found (scripts/setup-deps.sh installs prometheus)"
    exit 77
fi
failures=0
check() { local what=$1; shift; if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi; }
check "promtool check config accepts the scrape configuration" promtool check config "$shipped/prometheus.yml"
check "promtool check rules accepts the rules" promtool check rules "$shipped/varnserver.rules.yml"
check "every alert fires as its test expects" bash -c "cd '$here' && promtool test rules varnserver.rules.test.yml"
exit $((failures > 0))
