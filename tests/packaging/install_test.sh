#!/usr/bin/env bash
# Installs a build the ways the README shows and checks what an operator gets: the files and their
# modes, every path of every unit for the prefix of the install (never /usr/local unless that is it),
# the previous run's log kept at each start, a reinstall that keeps every edited file, the
# unit checked by systemd-analyze (verify, and security rated 2.0 or better) where it exists, and the
# installed server started the way the unit starts it, talked to with the installed varnadmin, and
# stopped with SIGTERM.
#   tests/packaging/install_test.sh BUILD_DIRECTORY
set -euo pipefail
build=$(cd "$1" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/varn-install-XXXXXX")
server_pid=
cleanup() {
    if [[ -n "$server_pid" ]]; then kill -KILL "$server_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then echo "ok: $what"; else fail "$what"; fi; }
mode_of() { stat -c %a "$1"; }
unit_value() { sed -n "s/^$1=//p" "$2"; }

# --- an install into a prefix chosen at install time -------------------------------------------------
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
conf=$prefix/etc/varnserver
unit=$prefix/lib/systemd/system/varnserver.service
for file in "$prefix/bin/varnserver" "$prefix/bin/varnadmin" "$conf/varnserver.conf" "$conf/admin-password" \
            "$conf/motd.txt" "$prefix/etc/logrotate.d/varnserver" "$unit"; do
    check "installed: ${file#"$prefix"/}" test -f "$file"
done
check "the configuration is readable by its owner only" test "$(mode_of "$conf/varnserver.conf")" = 600
check "the password file is readable by its owner only" test "$(mode_of "$conf/admin-password")" = 600
check "motd.txt and the logrotate file are readable by all" \
    test "$(mode_of "$conf/motd.txt")$(mode_of "$prefix/etc/logrotate.d/varnserver")" = 644644
check "the password file holds one random line" grep -qxE '[0-9a-f]{32}' "$conf/admin-password"
check "the configuration holds no AdminPassword" bash -c "! grep -qE '^[[:space:]]*AdminPassword' '$conf/varnserver.conf'"
check "the unit starts the installed server" \
    grep -qx "ExecStart=$prefix/bin/varnserver -q -c \${CREDENTIALS_DIRECTORY}/varnserver.conf -l /var/log/varnserver/varnserver.log --admin-password-file \${CREDENTIALS_DIRECTORY}/admin-password" "$unit"
check "the unit passes the password file as a credential" \
    grep -qx "LoadCredential=admin-password:$conf/admin-password" "$unit"
check "the unit passes the configuration as a credential" \
    grep -qx "LoadCredential=varnserver.conf:$conf/varnserver.conf" "$unit"
check "the unit reads motd.txt where it is installed" grep -qx "WorkingDirectory=$conf" "$unit"
check "the scripts' stores live in the service's state directory" \
    test "$(sed -n 's/^ScriptDataFolder //p' "$conf/varnserver.conf")" = "/var/lib/$(unit_value StateDirectory "$unit")"
check "the unit names no other prefix" bash -c "! grep -E '/usr/local|@VARN_' '$unit'"

# The installed pieces fit together: every script the configuration names (its ScriptFiles line, even
# commented out) is installed where that line reads it, the monitoring files are in the documentation,
# and where the statistics timer is installed the configuration writes what it reads.
conf_value() { sed -nE "s/^$1 +//p" "$conf/varnserver.conf" | tail -n 1; }
named_scripts=$(sed -nE 's/^#?ScriptFiles +//p' "$conf/varnserver.conf")
check "the configuration names example scripts" test -n "$named_scripts"
for script in $named_scripts; do
    check "installed: the script $script the configuration names" test -f "$conf/$script"
done
for file in prometheus/prometheus.yml prometheus/varnserver.rules.yml grafana/varnserver-dashboard.json; do
    check "installed: share/doc/varnserver/$file" test -f "$prefix/share/doc/varnserver/$file"
done
if [[ -x "$build/varnstats" ]]; then
    check "the statistics timer's server writes statistics lines (StatLogging 1)" test "$(conf_value StatLogging)" = 1
    check "and their time stamps (LogTimestamps 1)" test "$(conf_value LogTimestamps)" = 1
fi

# The template for several servers on one host: each instance its configuration, folders and log.
template=$prefix/lib/systemd/system/varnserver@.service
check "installed: the template unit" test -f "$template"
check "the template starts the installed server with the instance's log" \
    grep -qx "ExecStart=$prefix/bin/varnserver -q -c \${CREDENTIALS_DIRECTORY}/varnserver.conf -l /var/log/varnserver/%i/varnserver.log --admin-password-file \${CREDENTIALS_DIRECTORY}/admin-password" "$template"
check "the template reads the instance's configuration" \
    grep -qx "LoadCredential=varnserver.conf:$conf/%i.conf" "$template"
check "each instance has its own working, state and log folders" bash -c "
    grep -qx 'WorkingDirectory=/var/lib/varnserver/%i' '$template' &&
    grep -qx 'StateDirectory=varnserver/%i' '$template' && grep -qx 'LogsDirectory=varnserver/%i' '$template'"
check "the template names no other prefix" bash -c "! grep -E '/usr/local|@VARN_' '$template'"
# Every path in every installed unit: under the prefix of this install and there, or one of the few
# places outside it that a unit may name (the state and log directories the service manager makes,
# the shell and kill, the statistics' optional settings file).
stats_unit=$prefix/lib/systemd/system/varnstats.service
if [[ -x "$build/varnstats" ]]; then
    for file in "$stats_unit" "$prefix/lib/systemd/system/varnstats.timer" "$prefix/lib/sysusers.d/varnstats.conf"; do
        check "installed: ${file#"$prefix"/}" test -f "$file"
    done
    check "the statistics unit runs the installed varnstats" grep -q "exec $prefix/bin/varnstats ingest " "$stats_unit"
fi
# The web console's unit, where varnweb is built: the installed program, and no credential (it
# holds no secret).
web_unit=$prefix/lib/systemd/system/varnweb.service
if [[ -x "$build/varnweb" ]]; then
    check "installed: lib/systemd/system/varnweb.service" test -f "$web_unit"
    check "the web console's unit runs the installed varnweb" \
        grep -qx "ExecStart=$prefix/bin/varnweb --admin \${VARNWEB_ADMIN} --listen \${VARNWEB_LISTEN} \$VARNWEB_OPTIONS" "$web_unit"
    check "the web console's unit loads no credential" bash -c "! grep -qE '^(LoadCredential|SetCredential|ImportCredential)' '$web_unit'"
fi
unit_path_allowed() {
    case "$1" in
        "$prefix"/*) [[ -e "$1" ]] ;;
        /var/lib/varnserver | /var/lib/varnserver/* | /var/log/varnserver | /var/log/varnserver/* | /var/lib/varnstats | /var/lib/varnstats/* | \
            /var/log/private/varnserver | /bin/sh | /bin/kill | /etc/varnstats/varnstats.env | /etc/varnweb/varnweb.env) return 0 ;;
        *) return 1 ;;
    esac
}
for installed_unit in "$prefix"/lib/systemd/system/*; do
    bad_paths=()
    while read -r path; do
        unit_path_allowed "$path" || bad_paths+=("$path")
    done < <(grep -v '^#' "$installed_unit" | grep -oE '(^|[-=: "'"'"'(]|file://)/[A-Za-z0-9._/@*-]+' |
             sed -E 's,^(file://|[-=: "'"'"'(]),,; s,[*]$,,; s,/$,,' | sort -u)
    check "every path in ${installed_unit#"$prefix"/} is in this install or a known system place${bad_paths[*]:+ (not: ${bad_paths[*]})}" \
        test ${#bad_paths[@]} -eq 0
done

if command -v systemd-analyze >/dev/null; then
    check "systemd-analyze verify passes" systemd-analyze verify "$unit"
    if [[ -f "$stats_unit" ]]; then
        check "systemd-analyze verify passes the statistics service and timer" \
            systemd-analyze verify "$stats_unit" "$prefix/lib/systemd/system/varnstats.timer"
    fi
    if [[ -f "$web_unit" ]]; then
        check "systemd-analyze verify passes the web console's service" systemd-analyze verify "$web_unit"
        web_security=$(systemd-analyze security --offline=true "$web_unit" 2>&1 | sed -n 's/.*Overall exposure level for varnweb.service: \([0-9.]*\).*/\1/p')
        echo "systemd-analyze security of the web console: exposure $web_security"
        check "systemd-analyze security rates the web console's unit 2.0 or better" \
            bash -c "systemd-analyze security --offline=true --threshold=20 '$web_unit' >/dev/null 2>&1"
    fi
    security=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for varnserver.service: \([0-9.]*\).*/\1/p')
    echo "systemd-analyze security: exposure $security"
    check "systemd-analyze security rates the unit 2.0 or better" \
        bash -c "systemd-analyze security --offline=true --threshold=20 '$unit' >/dev/null 2>&1"
    # A template is verified and rated through an instance of it.
    mkdir "$work/units"
    instance="$work/units/varnserver@deathmatch.service"
    cp "$template" "$instance"
    check "systemd-analyze verify passes for an instance of the template" systemd-analyze verify "$instance"
    instance_security=$(systemd-analyze security --offline=true "$instance" 2>&1 | sed -n 's/.*Overall exposure level for varnserver@deathmatch.service: \([0-9.]*\).*/\1/p')
    echo "systemd-analyze security of an instance: exposure $instance_security"
    check "systemd-analyze security rates an instance no worse than the single unit" \
        awk -v instance="$instance_security" -v single="$security" \
            'BEGIN { exit !(instance != "" && single != "" && instance + 0 <= single + 0) }'
else
    echo "skip: systemd-analyze not found: the unit is not verified or rated"
fi
if command -v logrotate >/dev/null; then
    check "logrotate accepts the logrotate file" bash -c \
        "logrotate --debug --state '$work/logrotate.state' '$prefix/etc/logrotate.d/varnserver' >/dev/null 2>&1"
    # A rotation leaves the previous run's log, varnserver.log.1, as it is.
    rotated=$work/rotated
    mkdir -m 700 "$rotated"
    sed "s,/var/log/varnserver/varnserver.log,$rotated/varnserver.log," "$prefix/etc/logrotate.d/varnserver" \
        >"$work/logrotate.conf"
    printf 'this run\n' >"$rotated/varnserver.log"
    printf 'the previous run\n' >"$rotated/varnserver.log.1"
    logrotate --force --state "$work/logrotate-run.state" "$work/logrotate.conf" >/dev/null 2>&1
    check "logrotate names the rotated log by its date" bash -c "grep -qx 'this run' '$rotated'/varnserver.log-[0-9]*"
    check "logrotate leaves the previous run's log alone" grep -qx 'the previous run' "$rotated/varnserver.log.1"
else
    echo "skip: logrotate not found: the logrotate file is not checked"
fi

# --- a reinstall keeps what the operator edited --------------------------------------------------------
edited=("$conf/varnserver.conf" "$conf/admin-password" "$conf/motd.txt" "$prefix/etc/logrotate.d/varnserver")
for file in "${edited[@]}"; do
    if [[ -f "$file" ]]; then echo "# edited" >>"$file"; fi
    cp -p "$file" "$work/$(basename "$file").edited" 2>/dev/null || true
done
cmake --install "$build" --prefix "$prefix" >"$work/reinstall.log"
for file in "${edited[@]}"; do
    check "a reinstall keeps the edited ${file#"$prefix"/}" cmp -s "$file" "$work/$(basename "$file").edited"
done
check "a reinstall keeps the modes" \
    test "$(mode_of "$conf/varnserver.conf")$(mode_of "$conf/admin-password")" = 600600

# --- DESTDIR with the prefix /usr: the configuration under /etc, the unit under /usr/lib -----------------
root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/destdir.log"
check "DESTDIR install: the configuration under /etc" test -f "$root/etc/varnserver/varnserver.conf"
check "DESTDIR install: the unit under /usr/lib" test -f "$root/usr/lib/systemd/system/varnserver.service"
check "DESTDIR install: the unit names the final places" bash -c "
    grep -q '^ExecStart=/usr/bin/varnserver ' '$root/usr/lib/systemd/system/varnserver.service' &&
    grep -qx 'LoadCredential=admin-password:/etc/varnserver/admin-password' '$root/usr/lib/systemd/system/varnserver.service' &&
    ! grep -q '$root' '$root/usr/lib/systemd/system/varnserver.service'"
if [[ -x "$build/varnstats" ]]; then
    check "DESTDIR install: the statistics unit names the final places" bash -c "
        grep -q 'exec /usr/bin/varnstats ingest ' '$root/usr/lib/systemd/system/varnstats.service' &&
        grep -qx 'Documentation=file:///usr/share/doc/varnserver/README.md' '$root/usr/lib/systemd/system/varnstats.service' &&
        ! grep -qE '$root|/usr/local' '$root/usr/lib/systemd/system/varnstats.service'"
fi

# --- a prefix under /opt: the configuration under /etc/opt, as the README's table says ---------------------
opt_root=$work/opt-root
DESTDIR=$opt_root cmake --install "$build" --prefix /opt/varn >"$work/opt.log"
check "prefix /opt/varn: the configuration in /etc/opt/varn/varnserver" \
    test -f "$opt_root/etc/opt/varn/varnserver/varnserver.conf" -a -f "$opt_root/etc/opt/varn/varnserver/scripts/welcome.lua"
check "prefix /opt/varn: the programs in /opt/varn/bin, the unit in /opt/varn/lib/systemd/system" \
    test -x "$opt_root/opt/varn/bin/varnserver" -a -f "$opt_root/opt/varn/lib/systemd/system/varnserver.service"
check "prefix /opt/varn: the unit names those places" bash -c "
    grep -q '^ExecStart=/opt/varn/bin/varnserver ' '$opt_root/opt/varn/lib/systemd/system/varnserver.service' &&
    grep -qx 'WorkingDirectory=/etc/opt/varn/varnserver' '$opt_root/opt/varn/lib/systemd/system/varnserver.service'"
readme=$(dirname "$0")/../../README.md
check "the README's table of prefixes names /etc/opt/varn/varnserver" grep -q '| `/etc/opt/varn/varnserver` |' "$readme"

# --- each start keeps the previous run's log ------------------------------------------------------------
# The unit's ExecStartPre that keeps it, run as the service manager runs it ($$ is a $), on a scratch log.
keep_log=$(unit_value ExecStartPre "$unit" | grep 'varnserver\.log')
keep_log=${keep_log//\/var\/log\/varnserver\/varnserver.log/$work/varnserver.log}
keep_log=${keep_log//'$$'/'$'}
printf 'the previous run\n' >"$work/varnserver.log"
eval "$keep_log"
check "a start keeps the previous run's log as varnserver.log.1" grep -qx 'the previous run' "$work/varnserver.log.1"
check "and leaves no log for the server to empty" test ! -e "$work/varnserver.log"
eval "$keep_log"
check "a start without a log to keep leaves varnserver.log.1 alone" grep -qx 'the previous run' "$work/varnserver.log.1"
: >"$work/varnserver.log"
eval "$keep_log"
check "an empty log does not replace varnserver.log.1" grep -qx 'the previous run' "$work/varnserver.log.1"
rm -f "$work/varnserver.log" "$work/varnserver.log.1"

# --- the installed server, started as the unit starts it -----------------------------------------------
# The service manager's part is played here: the credentials are copied into a directory of their own,
# the ban file is made (ExecStartPre), the log goes to a scratch file. The copy of the configuration gets
# a few lines at its end (a key given twice keeps its last line): loopback ports that are free, the
# admin server on, and a ban file in the scratch directory.
credentials=$work/credentials
state=$work/state
mkdir -m 700 "$credentials" "$state"
: >"$state/banned.txt"
working_directory=$(unit_value WorkingDirectory "$unit")
exec_start=$(unit_value ExecStart "$unit")
exec_start=${exec_start//'${CREDENTIALS_DIRECTORY}'/$credentials}
exec_start=${exec_start//\/var\/log\/varnserver\/varnserver.log/$work/varnserver.log}
read -r -a command <<<"$exec_start"

# The installed configuration has LogTimestamps 1: a line may start with its time.
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z '
started=0
for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 20000))
    admin_port=$((port + 1))
    cp "$conf/varnserver.conf" "$conf/admin-password" "$credentials/"
    printf 'GameIPAddress 127.0.0.1\nServerPort %s\nAdminServer 1\nAdminPort %s\nBannedFile %s\n' \
        "$port" "$admin_port" "$state/banned.txt" >>"$credentials/varnserver.conf"
    # With Lua, the example scripts as the configuration's commented line names them.
    if grep -q '^VARN_LUA_FOUND:INTERNAL=1$' "$build/CMakeCache.txt"; then
        printf 'ScriptFiles %s\nScriptDataFolder %s\n' "$named_scripts" "$state" >>"$credentials/varnserver.conf"
    fi
    rm -f "$work/varnserver.log"
    (cd "$working_directory" && exec "${command[@]}" </dev/null >"$work/console" 2>&1) &
    server_pid=$!
    for _ in $(seq 100); do
        grep -qE "^($stamp)?ADMINSERVER: " "$work/varnserver.log" 2>/dev/null && break
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    if grep -qE "^($stamp)?ADMINSERVER: successfully started the server \(port $admin_port\)$" "$work/varnserver.log"; then
        started=1
        break
    fi
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" || true
    server_pid=
done
if (( started )); then
    echo "ok: the installed server started as the unit starts it (port $port, admin port $admin_port)"
    check "quiet: nothing on the console" test ! -s "$work/console"
    check "motd.txt was read from the configuration directory" \
        bash -c "! grep -q \"could not be opened\" '$work/varnserver.log'"
    varnadmin="'$prefix/bin/varnadmin' --port $admin_port --timeout 3 --password-file '$credentials/admin-password'"
    check "the installed varnadmin logs in with the password file" bash -c \
        "$varnadmin players 2>&1 |
         grep -qx 'no players are connected'"
    check "a ban is saved to the ban file" bash -c "
        $varnadmin addban 10.1.2.3 >/dev/null &&
        grep -qx 10.1.2.3 '$state/banned.txt'"
    kill -HUP "$server_pid"  # systemctl reload
    # What the logrotate file does: move the log away (nocreate), then SIGUSR1; the server makes the
    # new file itself.
    mv "$work/varnserver.log" "$work/varnserver.log.1"
    kill -USR1 "$server_pid"
    for _ in $(seq 50); do [[ -s "$work/varnserver.log" ]] && break; sleep 0.1; done
    check "after rotation the server writes a new log" test -s "$work/varnserver.log"
    check "the rotated log ends with its closing line" \
        bash -c "tail -n 1 '$work/varnserver.log.1' | grep -qE -- '^($stamp)?- VarnServer log closed -\$'"
    check "reload and log reopening keep the server running" kill -0 "$server_pid"
    kill -TERM "$server_pid"
    status=0
    wait "$server_pid" || status=$?
    server_pid=
    check "SIGTERM stops it with status 0" test "$status" = 0
    check "the log ends with its closing line" bash -c "tail -n 1 '$work/varnserver.log' | grep -qE -- '^($stamp)?- VarnServer log closed -\$'"
    if grep -q '^VARN_LUA_FOUND:INTERNAL=1$' "$build/CMakeCache.txt"; then
        # A script that cannot be loaded stops the start-up; one that fails later says SCRIPT-ERROR.
        check "the installed example scripts loaded and raised no error" \
            bash -c "! cat '$work/varnserver.log.1' '$work/varnserver.log' | grep -q '^SCRIPT-ERROR'"
    fi
    if [[ -x "$prefix/bin/varnstats" ]]; then
        "$prefix/bin/varnstats" ingest --db "$work/stats.sqlite" "$work/varnserver.log.1" >"$work/ingest.out" 2>&1 || true
        check "varnstats stores the installed server's statistics lines" \
            grep -qE ', [1-9][0-9]* statistics lines stored' "$work/ingest.out"
    fi
else
    fail "the installed server did not start: $(cat "$work/console" "$work/varnserver.log" 2>/dev/null)"
fi

if (( failures )); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all install checks passed"
