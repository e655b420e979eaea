#!/usr/bin/env bash
# varnmaster as installed: its unit, example settings and logrotate file under the prefix; the example
# settings pass --check-config --strict; the unit passes systemd-analyze verify and is rated 2.0 or
# better by systemd-analyze security, where systemd-analyze exists; logrotate accepts its file.
#   tests/varnmaster/packaging_test.sh BUILD_DIRECTORY
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/varnmaster-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # what, command...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
unit=$prefix/lib/systemd/system/varnmaster.service
settings=$prefix/etc/varnmaster/varnmaster.conf
check "the program, unit, settings and logrotate file are installed" \
    test -x "$prefix/bin/varnmaster" -a -f "$unit" -a -f "$settings" -a -f "$prefix/etc/logrotate.d/varnmaster"
check "the unit starts the installed program with the installed settings" \
    grep -q "^ExecStart=$prefix/bin/varnmaster -q -c $prefix/etc/varnmaster/varnmaster.conf " "$unit"
check "the example settings pass a strict check" "$prefix/bin/varnmaster" --check-config --strict -c "$settings"
printf 'ListenAdress 0.0.0.0\nPollSeconds 0\n' >"$work/broken.conf"
check "a misspelt key and a number out of range fail a strict check" \
    bash -c "! '$prefix/bin/varnmaster' --check-config --strict -c '$work/broken.conf' >'$work/broken.out' 2>&1"
check "the misspelt key is named with its likely meaning" grep -q "did you mean 'ListenAddress'" "$work/broken.out"
if command -v systemd-analyze >/dev/null; then
    check "systemd-analyze verify passes" systemd-analyze verify "$unit"
    security=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for varnmaster.service: \([0-9.]*\).*/\1/p')
    echo "systemd-analyze security: exposure $security"
    check "systemd-analyze security rates the unit 2.0 or better" \
        bash -c "systemd-analyze security --offline=true --threshold=20 '$unit' >/dev/null 2>&1"
else
    echo "skip: systemd-analyze not found: the unit is not verified or rated"
fi
if command -v logrotate >/dev/null; then
    check "logrotate accepts the logrotate file" bash -c \
        "logrotate --debug --state '$work/logrotate.state' '$prefix/etc/logrotate.d/varnmaster' >/dev/null 2>&1"
fi
if (( failures )); then
    echo "$failures check(s) failed"
    exit 1
fi
