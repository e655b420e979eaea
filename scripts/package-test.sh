#!/usr/bin/env bash
# Builds the Debian package (build-package/, CPack) and tests it as an operator meets it: installed with
# dpkg -i on this machine, its units verified by systemd-analyze, the installed server started from the
# installed files as its unit starts it and talked to with the installed varnadmin, then the package
# purged and nothing of it left. Needs root (dpkg); refuses to run over an installed varnserver package.
#   scripts/package-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh build stats package

if (( EUID != 0 )); then
    echo "package-test.sh: dpkg -i needs root"
    exit 1
fi
if dpkg-query -W -f='${Status}' varnserver 2>/dev/null | grep -q 'installed'; then
    echo "package-test.sh: a varnserver package is installed already; it is left alone"
    exit 1
fi

dir=build-package
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARN_WERROR=ON -DVARN_BUILD_TESTS=OFF
cmake --build "$dir"
rm -f "$dir"/varnserver_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
package=$(ls "$dir"/varnserver_*.deb)
echo "== built $package"

work=$(mktemp -d "${TMPDIR:-/tmp}/varn-package-XXXXXX")
server_pid=
installed=0
failures=0
finish() {
    if [[ -n "$server_pid" ]]; then kill -KILL "$server_pid" 2>/dev/null || true; fi
    if (( installed )); then dpkg --purge varnserver >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap finish EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then echo "ok: $what"; else fail "$what"; fi; }

dpkg-deb --info "$package" >"$work/info"
dpkg-deb --contents "$package" >"$work/contents"
check "the package needs no password inside it" bash -c "! grep -q 'admin-password' '$work/contents'"
check "the package installs for the prefix /usr, its configuration in /etc" bash -c \
    "grep -q ' ./usr/bin/varnserver$' '$work/contents' && grep -q ' ./etc/varnserver/varnserver.conf$' '$work/contents' &&
     ! grep -q '/usr/local' '$work/contents'"
check "the package marks the configuration as a conffile" bash -c \
    "dpkg-deb --ctrl-tarfile '$package' | tar -xO ./conffiles | grep -qx /etc/varnserver/varnserver.conf"
check "the package names the libraries it needs" grep -q '^ Depends: .*libc6' "$work/info"

# --- installed -------------------------------------------------------------------------------------------
# From here on the package is purged whatever happens, a failed postinst included.
installed=1
dpkg -i "$package" >"$work/dpkg-install.log" 2>&1 || { cat "$work/dpkg-install.log"; fail "dpkg -i"; exit 1; }
echo "ok: dpkg -i installed the package"
unit=/usr/lib/systemd/system/varnserver.service
for file in /usr/bin/varnserver /usr/bin/varnadmin /etc/varnserver/varnserver.conf /etc/varnserver/motd.txt \
            /etc/varnserver/scripts/welcome.lua /etc/logrotate.d/varnserver "$unit" \
            /usr/lib/systemd/system/varnserver@.service /usr/share/doc/varnserver/README.md \
            /usr/share/doc/varnserver/grafana/varnserver-dashboard.json; do
    check "installed: $file" test -f "$file"
done
check "the postinst made a random password, readable by root only" bash -c \
    "grep -qxE '[0-9a-f]{32}' /etc/varnserver/admin-password && test \$(stat -c %a /etc/varnserver/admin-password) = 600"
check "the configuration is readable by root only" test "$(stat -c %a /etc/varnserver/varnserver.conf)" = 600
check "the unit starts the installed server" grep -q '^ExecStart=/usr/bin/varnserver ' "$unit"
if [[ -x /usr/bin/varnstats ]]; then
    check "installed: the statistics service and timer" \
        test -f /usr/lib/systemd/system/varnstats.service -a -f /usr/lib/systemd/system/varnstats.timer
fi
if command -v systemd-analyze >/dev/null; then
    units=("$unit")
    [[ -f /usr/lib/systemd/system/varnstats.service ]] &&
        units+=(/usr/lib/systemd/system/varnstats.service /usr/lib/systemd/system/varnstats.timer)
    check "systemd-analyze verify passes the installed units" systemd-analyze verify "${units[@]}"
    cp /usr/lib/systemd/system/varnserver@.service "$work/varnserver@team.service"
    check "systemd-analyze verify passes an instance of the template" systemd-analyze verify "$work/varnserver@team.service"
    check "systemd-analyze security rates the installed unit 2.0 or better" \
        bash -c "systemd-analyze security --offline=true --threshold=20 '$unit' >/dev/null 2>&1"
else
    fail "systemd-analyze not found (scripts/setup-deps.sh package installs systemd)"
fi

# --- the installed server, started as its unit starts it ---------------------------------------------------
# The service manager's part: the credentials copied into a folder of their own, the log and the ban file
# in scratch places, loopback ports that are free (lines added at the end of the copy win).
credentials=$work/credentials
mkdir -m 700 "$credentials"
: >"$work/banned.txt"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
exec_start=${exec_start//'${CREDENTIALS_DIRECTORY}'/$credentials}
exec_start=${exec_start//\/var\/log\/varnserver\/varnserver.log/$work/varnserver.log}
read -r -a command <<<"$exec_start"
working_directory=$(sed -n 's/^WorkingDirectory=//p' "$unit")
# The installed configuration has LogTimestamps 1: a line may start with its time.
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z '
started=0
for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 20000))
    admin_port=$((port + 1))
    cp /etc/varnserver/varnserver.conf /etc/varnserver/admin-password "$credentials/"
    printf 'GameIPAddress 127.0.0.1\nServerPort %s\nAdminServer 1\nAdminPort %s\nBannedFile %s\n' \
        "$port" "$admin_port" "$work/banned.txt" >>"$credentials/varnserver.conf"
    rm -f "$work/varnserver.log"
    (cd "$working_directory" && exec "${command[@]}" </dev/null >"$work/console" 2>&1) &
    server_pid=$!
    for _ in $(seq 100); do
        grep -qE "^($stamp)?ADMINSERVER: " "$work/varnserver.log" 2>/dev/null && break
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    if grep -qE "^($stamp)?ADMINSERVER: successfully started the server \(port $admin_port\)$" "$work/varnserver.log" 2>/dev/null; then
        started=1
        break
    fi
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" || true
    server_pid=
done
if (( started )); then
    echo "ok: the installed server started from the installed files (port $port)"
    check "the installed varnadmin logs in with the installed password" bash -c \
        "/usr/bin/varnadmin --port $admin_port --timeout 3 --password-file '$credentials/admin-password' players 2>&1 |
         grep -qx 'no players are connected'"
    kill -TERM "$server_pid"
    status=0
    wait "$server_pid" || status=$?
    server_pid=
    check "SIGTERM stops it with status 0" test "$status" = 0
    check "the log ends with its closing line" bash -c "tail -n 1 '$work/varnserver.log' | grep -qE -- '^($stamp)?- VarnServer log closed -\$'"
    check "the installed configuration writes statistics lines" grep -q "ServerInit: " "$work/varnserver.log"
else
    fail "the installed server did not start: $(cat "$work/console" "$work/varnserver.log" 2>/dev/null)"
fi

# --- removed -----------------------------------------------------------------------------------------------
dpkg --purge varnserver >"$work/dpkg-purge.log" 2>&1 || { cat "$work/dpkg-purge.log"; fail "dpkg --purge"; }
installed=0
for path in /usr/bin/varnserver /usr/bin/varnadmin "$unit" /etc/varnserver; do
    check "purged: $path" test ! -e "$path"
done

if (( failures )); then
    echo "package test: $failures check(s) failed"
    exit 1
fi
echo "== package test: built, installed, verified, started and purged $(basename "$package")"
