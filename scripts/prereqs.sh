#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what a make target needs and installs what is missing from Debian's packages: through
# apt-get when run as root, otherwise it prints the exact command to run and fails.
#
# Usage: prereqs.sh [--check] ITEM...
#   --check  only report what is missing (exit 1 if anything is); install nothing
#
# Each ITEM names a Debian package and, after "=", what shows that it is there:
#   PACKAGE              the package is installed, as dpkg records it (libraries, sources)
#   PACKAGE=COMMAND      COMMAND is on PATH, whoever put it there
#   PACKAGE=/PATH        the file exists
#   PACKAGE=@c++17       c++ (or $CXX) compiles and links a C++17 program
#   PACKAGE=@cmake-3.20  cmake runs and is 3.20 or newer
#   PACKAGE=A,B          every one of A and B holds
# A tool that is checked by its command may come from anywhere: a cmake of one's own in
# /usr/local counts, and then its package is not installed. A package that is installed while
# its command or file is gone is installed again (apt-get --reinstall). After installing, every
# check runs again, and whatever still fails is named. Each check takes its status from the tool
# itself, never from the last stage of a pipe, so that an absent tool never passes.
#
# The Makefile keeps one list of items per entry point (BUILD_PACKAGES, ARM_PACKAGES, ...), and
# an entry point checks the build's list with its own in one call, so that a user without root
# is given one command for everything:
#     KERNEL_PACKAGES := qemu-system-x86=qemu-system-x86_64 cpio=cpio
#     test-kernel: ; @scripts/prereqs.sh $(BUILD_PACKAGES) $(KERNEL_PACKAGES)
# Name a command wherever a package provides one (openssl=openssl, not openssl), and add the list
# to ALL_PACKAGES, which `make test-fresh FRESH_TARGETS=test-prereqs` proves check by check.
set -euo pipefail

check_only=0
if [ "${1:-}" = --check ]; then
    check_only=1
    shift
fi
if [ $# -eq 0 ]; then
    echo "usage: prereqs.sh [--check] PACKAGE[=COMMAND|=/PATH|=@CHECK[,...]]..." >&2
    exit 2
fi

have_cxx17() {
    local cxx=${CXX:-c++}
    command -v "$cxx" >/dev/null &&
        echo 'int main() { if constexpr (true) { return 0; } }' |
        "$cxx" -std=c++17 -x c++ -o /dev/null -
}

have_cmake_3_20() {
    local out
    out=$(cmake --version 2>/dev/null) || return 1
    [[ $out =~ ^cmake\ version\ ([0-9]+)\.([0-9]+) ]] || return 1
    local major=${BASH_REMATCH[1]} minor=${BASH_REMATCH[2]}
    [ "$major" -gt 3 ] || { [ "$major" -eq 3 ] && [ "$minor" -ge 20 ]; }
}

package_installed() {
    local status
    status=$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null) || return 1
    [ "$status" = installed ]
}

# check_one TEST PACKAGE: status 0 when TEST holds, 1 when not, 2 when TEST is not understood.
check_one() {
    case $1 in
    "") package_installed "$2" ;;
    @c++17) have_cxx17 >/dev/null 2>&1 ;;
    @cmake-3.20) have_cmake_3_20 ;;
    @*) return 2 ;;
    /*) [ -e "$1" ] ;;
    *) command -v "$1" >/dev/null 2>&1 ;;
    esac
}

# Sets failed to the tests of ITEM that do not hold ("" for a test by package).
failed=()
check_item() {
    local item=$1 pkg tests test rc
    local -a list
    pkg=${item%%=*}
    tests=""
    [[ $item == *=* ]] && tests=${item#*=}
    failed=()
    IFS=, read -r -a list <<<"$tests"
    [ ${#list[@]} -gt 0 ] || list=("")
    for test in "${list[@]}"; do
        rc=0
        check_one "$test" "$pkg" || rc=$?
        if [ $rc -eq 2 ]; then
            echo "prereqs.sh: unknown check '$test' in $item" >&2
            exit 2
        fi
        [ $rc -eq 0 ] || failed+=("$test")
    done
    [ ${#failed[@]} -eq 0 ]
}

describe() { # describe PACKAGE: what failed, for the report
    if [ "${failed[*]}" = "" ]; then echo "$1"; else echo "$1 (${failed[*]})"; fi
}

install=()
reinstall=()
missing=()
seen=" "
for item in "$@"; do
    # Two entry points may list the same item; it is checked and named once.
    [[ $seen == *" $item "* ]] && continue
    seen+="$item "
    check_item "$item" && continue
    pkg=${item%%=*}
    missing+=("$(describe "$pkg")")
    # A package may stand in two items (by its command, by a file); it is installed once.
    if [[ " ${install[*]} ${reinstall[*]} " == *" $pkg "* ]]; then continue; fi
    if [[ $item == *=* ]] && package_installed "$pkg"; then
        reinstall+=("$pkg")
    else
        install+=("$pkg")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Missing: ${missing[*]}"
if [ ${#reinstall[@]} -gt 0 ]; then
    echo "Installed, but what they provide is gone: ${reinstall[*]}"
fi
if [ $check_only -eq 1 ]; then
    exit 1
fi

steps=("apt-get update")
[ ${#install[@]} -eq 0 ] || steps+=("apt-get install -y ${install[*]}")
[ ${#reinstall[@]} -eq 0 ] || steps+=("apt-get install -y --reinstall ${reinstall[*]}")

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    if ! command -v apt-get >/dev/null; then
        echo "No apt-get here: install the packages above, or what provides the same commands."
        exit 1
    fi
    sudo=""
    if command -v sudo >/dev/null; then
        sudo="sudo "
        echo "Install them with:"
    else
        echo "Install them as root with:"
    fi
    line=""
    for step in "${steps[@]}"; do line+="${line:+ && }$sudo$step"; done
    echo "    $line"
    exit 1
fi

# Wait for another apt-get or dpkg run to finish instead of failing at its lock.
apt=(apt-get -o DPkg::Lock::Timeout=600)
export DEBIAN_FRONTEND=noninteractive
"${apt[@]}" update -qq
[ ${#install[@]} -eq 0 ] || "${apt[@]}" install -y -qq "${install[@]}"
[ ${#reinstall[@]} -eq 0 ] || "${apt[@]}" install -y -qq --reinstall "${reinstall[@]}"

still=()
for item in "$@"; do
    check_item "$item" || still+=("$(describe "${item%%=*}")")
done
if [ ${#still[@]} -gt 0 ]; then
    echo "Still missing after apt-get: ${still[*]}"
    exit 1
fi
