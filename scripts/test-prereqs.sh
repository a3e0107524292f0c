#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proof that every check of scripts/prereqs.sh fails when its tool is absent and that each item's
# package brings what the item checks for. It installs, hides and reinstalls tools, so it runs
# only in a root made by test-fresh:  make test-fresh FRESH_TARGETS=test-prereqs
#   1. pristine root: an item whose package is not installed must be reported, one whose package
#      is installed must pass (each item checked alone)
#   2. without root: one run names the exact apt-get command, fails, and installs nothing; so
#      does each entry point, before it builds anything
#   3. commands of one's own in /usr/local/bin count, without their packages; a cmake older than
#      3.20 does not
#   4. as root: one run installs everything, after which every item passes
#   5. each command or file that an item checks is hidden in turn: the item must be reported,
#      and a run must reinstall its package and bring the command or file back
# Usage: ENTRY_POINTS="demo test ..." test-prereqs.sh ITEM...   (every entry point's items)
set -uo pipefail

if [ "${FWUP_FRESH_ROOT:-}" != 1 ] || [ "$(id -u)" -ne 0 ]; then
    echo "test-prereqs: only as root in a throwaway root:" >&2
    echo "    make test-fresh FRESH_TARGETS=test-prereqs" >&2
    exit 2
fi
[ $# -gt 0 ] || { echo "usage: test-prereqs.sh ITEM..." >&2; exit 2; }
# Entry points share items (tar=tar, ...): each is proven once.
declare -A seen
items=()
for item in "$@"; do
    [ -n "${seen[$item]:-}" ] || items+=("$item")
    seen[$item]=1
done
set -- "${items[@]}"

here=$(cd "$(dirname "$0")" && pwd)
prereqs=$here/prereqs.sh
fails=0
passes=0
report() { # report OK|FAIL TEXT
    if [ "$1" = OK ]; then passes=$((passes + 1)); else fails=$((fails + 1)); fi
    printf '%-4s %s\n' "$1" "$2"
}
reported() { "$prereqs" --check "$1" >/dev/null 2>&1 && return 1 || return 0; }
installed() {
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}
# The commands and files an item names; a named check stands for the command it runs.
targets_of() {
    local tests=${1#*=} t
    local -a list
    [[ $1 == *=* ]] || return 0
    IFS=, read -r -a list <<<"$tests"
    for t in "${list[@]}"; do
        case $t in
        @c++17) echo c++ ;;
        @cmake-3.20) echo cmake ;;
        *) echo "$t" ;;
        esac
    done
}

echo "== 1. pristine root: every item alone"
for item in "$@"; do
    pkg=${item%%=*}
    if installed "$pkg"; then
        if reported "$item"; then report FAIL "$item: reported, but $pkg is installed"; else
            report OK "$item: present ($pkg is installed)"; fi
    else
        if reported "$item"; then report OK "$item: reported missing ($pkg is not installed)"; else
            report FAIL "$item: passes, but $pkg is not installed"; fi
    fi
done

echo "== 2. without root"
before=$(dpkg-query -W -f='${db:Status-Status}\n' | grep -c '^installed$')
cp "$prereqs" /tmp/prereqs.sh
chmod 755 /tmp/prereqs.sh
out=$(cd /tmp && setpriv --reuid=65534 --regid=65534 --clear-groups /tmp/prereqs.sh "$@" 2>&1)
status=$?
echo "$out" | sed 's/^/    /'
after=$(dpkg-query -W -f='${db:Status-Status}\n' | grep -c '^installed$')
command=$(echo "$out" | sed -n 's/^    \(apt-get update && apt-get install -y .*\)$/\1/p')
if [ $status -ne 0 ] && [ -n "$command" ] && [ "$before" = "$after" ]; then
    report OK "not root: exit $status, the command printed, nothing installed"
else
    report FAIL "not root: exit $status, command '$command', $before -> $after packages installed"
fi
for item in "$@"; do
    pkg=${item%%=*}
    installed "$pkg" && continue
    if [[ " $command " == *" $pkg "* ]]; then :; else
        report FAIL "not root: $pkg is missing from the printed command"; fi
done
rm -f /tmp/prereqs.sh
# Every entry point, run by a user without root, stops at its check before it builds anything.
if [ -n "${ENTRY_POINTS:-}" ]; then
    copy=/tmp/fwupgrade-copy
    rm -rf "$copy"
    cp -a "$here/.." "$copy"
    chown -R 65534:65534 "$copy"
    for t in $ENTRY_POINTS; do
        out=$(setpriv --reuid=65534 --regid=65534 --clear-groups make -C "$copy" "$t" 2>&1)
        status=$?
        line=$(echo "$out" | grep -c '^    apt-get update && apt-get install -y ')
        if [ $status -ne 0 ] && [ "$line" = 1 ] && ! echo "$out" | grep -q "^cmake "; then
            report OK "not root: make $t prints the command and stops"
        else
            report FAIL "not root: make $t: exit $status, $line commands printed"
            echo "$out" | tail -n 10 | sed 's/^/    /'
        fi
    done
    rm -rf "$copy"
fi

echo "== 3. commands of one's own in /usr/local/bin"
stub() { # stub NAME [cmake version]
    if [ $# -gt 1 ]; then
        printf '#!/bin/sh\necho "cmake version %s"\n' "$2" >"/usr/local/bin/$1"
    else
        printf '#!/bin/sh\nexit 0\n' >"/usr/local/bin/$1"
    fi
    chmod 755 "/usr/local/bin/$1"
}
for row in "3.19.8 reported" "3.20.0 present" "3.25.1 present" "4.0.2 present" "2.8.12 reported"; do
    version=${row% *}
    want=${row#* }
    stub cmake "$version"
    if reported cmake=@cmake-3.20; then got=reported; else got=present; fi
    rm -f /usr/local/bin/cmake
    if [ "$got" = "$want" ]; then report OK "cmake $version: $got"; else
        report FAIL "cmake $version: $got, expected $want"; fi
done
for item in "$@"; do
    [[ $item == *=* ]] || continue
    pkg=${item%%=*}
    installed "$pkg" && continue
    names=()
    while read -r t; do
        case $t in /* | c++ | cmake) names=(); break ;; esac
        names+=("$t")
    done < <(targets_of "$item")
    [ ${#names[@]} -gt 0 ] || continue
    for n in "${names[@]}"; do stub "$n"; done
    if reported "$item"; then report FAIL "$item: reported although ${names[*]} is on PATH"; else
        report OK "$item: present through /usr/local/bin without $pkg"; fi
    for n in "${names[@]}"; do rm -f "/usr/local/bin/$n"; done
done

echo "== 4. as root: install everything"
if "$prereqs" "$@"; then report OK "prereqs.sh installed everything"; else
    report FAIL "prereqs.sh failed as root"; fi
for item in "$@"; do
    if reported "$item"; then report FAIL "$item: still reported after installing"; fi
done

echo "== 5. each command or file hidden in turn, then reinstalled"
for item in "$@"; do
    pkg=${item%%=*}
    while read -r t; do
        hidden=()
        hash -r
        if [[ $t == /* ]]; then
            [ -e "$t" ] && mv "$t" "$t.hidden" && hidden+=("$t")
        else
            # Every copy on PATH (/bin and /usr/bin may be one directory or two).
            while p=$(command -v "$t") && [[ $p == /* ]]; do
                mv "$p" "$p.hidden" || break
                hidden+=("$p")
                hash -r
            done
        fi
        if [ ${#hidden[@]} -eq 0 ]; then
            report FAIL "$item: $t was not there to hide"
            continue
        fi
        if reported "$item"; then r=reported; else r="NOT reported"; fi
        out=$("$prereqs" "$item" 2>&1)
        hash -r
        if reported "$item"; then back=no; else back=yes; fi
        for p in "${hidden[@]}"; do
            if [ -e "$p" ] || [ -L "$p" ]; then rm -f "$p.hidden"; else mv "$p.hidden" "$p"; fi
        done
        if [ "$r" = reported ] && [ $back = yes ]; then
            report OK "$item: without $t reported; $pkg reinstalled brings it back"
        elif [ "$r" = reported ] && [[ $out == *"'$t' not found in PATH"* ]]; then
            # dpkg unpacks with tar (and needs a few other tools): without them no package
            # can be installed, and it says so.
            report OK "$item: without $t reported; dpkg itself needs $t, and says so"
        else
            report FAIL "$item: without $t $r; back after reinstalling $pkg: $back"
            echo "$out" | tail -n 20 | sed 's/^/    /'
        fi
    done < <(targets_of "$item")
done

echo "test-prereqs: $passes passed, $fails failed"
[ $fails -eq 0 ]
