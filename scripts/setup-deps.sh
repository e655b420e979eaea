#!/usr/bin/env bash
# Checks that the packages a build needs are installed, and installs the missing ones.
#   scripts/setup-deps.sh [--check] [GROUP...]      (no group: all of them)
# On a Debian-family system as root the missing packages are installed with apt-get; otherwise the
# exact install command is printed and the status is 1 (so is it with --check, which never installs).
# Status 2: wrong usage.
#
# Only bash built-ins are used for the checks, so the script also runs where PATH finds little.
set -uo pipefail
set -f  # the checks' patterns go to compgen -G as they are

# One line a package: its group, its Debian name, and the test that it is there. To add a package,
# add a line; a new group is made by naming it here.
packages=(
    "build   cmake                       command -v cmake"
    "build   ninja-build                 command -v ninja"
    "build   g++                         command -v g++"
    "build   liblua5.4-dev               test -f /usr/include/lua5.4/lua.h"
    "build   nlohmann-json3-dev          test -f /usr/include/nlohmann/json.hpp"
    "test    libgtest-dev                test -f /usr/include/gtest/gtest.h"
    "test    libgmock-dev                test -f /usr/include/gmock/gmock.h"
    "test    libbenchmark-dev            test -f /usr/include/benchmark/benchmark.h"
    "test    liburing-dev                test -f /usr/include/liburing.h"
    "test    qstat                       command -v quakestat"
    "test    logrotate                   test -x /usr/sbin/logrotate"
    "test    curl                        command -v curl"
    "test    prometheus                  command -v promtool"
    "test    nodejs                      command -v node"
    "test    npm                         command -v npm"
    "test    python3-jsonschema          test -f /usr/lib/python3/dist-packages/jsonschema/__init__.py"
    "stats   libsqlite3-dev              test -f /usr/include/sqlite3.h"
    "stats   libpq-dev                   test -f /usr/include/postgresql/libpq-fe.h"
    "stats   zlib1g-dev                  test -f /usr/include/zlib.h"
    "stats   postgresql                  compgen -G /usr/lib/postgresql/*/bin/postgres"
    "stats   chromium                    command -v chromium"
    "fuzz    clang                       command -v clang++"
    "fuzz    libclang-rt-dev             compgen -G /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a"
    "package dpkg-dev                    command -v dpkg-shlibdeps"
    "package systemd                     command -v systemd-analyze"
    "windows g++-mingw-w64-x86-64-posix  command -v x86_64-w64-mingw32-g++-posix"
    "windows wine                        command -v wine"
    "windows wine64                      test -x /usr/lib/wine/wine64"
    "windows googletest                  test -f /usr/src/googletest/CMakeLists.txt"
    "windows python3                     command -v python3"
)

check_only=0
groups=()
for argument in "$@"; do
    case "$argument" in
        --check) check_only=1 ;;
        -*) echo "setup-deps.sh: unknown option '$argument'" >&2; exit 2 ;;
        *) groups+=("$argument") ;;
    esac
done

known_groups=" "
for line in "${packages[@]}"; do
    read -r group _ <<<"$line"
    [[ "$known_groups" == *" $group "* ]] || known_groups+="$group "
done
for group in "${groups[@]}"; do
    if [[ "$known_groups" != *" $group "* ]]; then
        echo "setup-deps.sh: unknown group '$group' (groups:$known_groups)" >&2
        exit 2
    fi
done
wanted=" ${groups[*]:-$known_groups} "

missing_packages() {
    missing=()
    local line group package check
    for line in "${packages[@]}"; do
        read -r group package check <<<"$line"
        [[ "$wanted" == *" $group "* ]] || continue
        $check >/dev/null 2>&1 || missing+=("$package")
    done
}

missing_packages
(( ${#missing[@]} == 0 )) && exit 0

install_command="apt-get install -y --no-install-recommends ${missing[*]}"
if [[ ! -f /etc/debian_version ]]; then
    echo "Missing packages (Debian names): ${missing[*]}" >&2
    echo "Install their equivalents with this system's package manager." >&2
    exit 1
fi
if (( check_only || EUID != 0 )); then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with:" >&2
    if (( EUID != 0 )); then
        echo "  sudo apt-get update && sudo $install_command" >&2
    else
        echo "  apt-get update && $install_command" >&2
    fi
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q || exit 1
# shellcheck disable=SC2086  # the package names are words
apt-get install -y -q --no-install-recommends ${missing[*]} || exit 1

missing_packages
if (( ${#missing[@]} )); then
    echo "Still missing after the install: ${missing[*]}" >&2
    exit 1
fi
