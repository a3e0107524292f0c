#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A newcomer's first run, repeated: a minimal Debian root (debootstrap --variant=minbase, plus git
# and make), a clone of the committed tree in it, and the README's commands run there as root,
# which must install everything else themselves.
#
# Usage (as root, from the top of a checkout): test-fresh.sh [TARGET...]   (default: demo test)
# Environment:
#   FRESH_MIRROR     Debian mirror (default: the first source of FRESH_SUITE in /etc/apt)
#   FRESH_SUITE      Debian release (default: bookworm)
#   FRESH_DIR        work directory (default: build-fresh): cache/ holds the debootstrap result,
#                    root/ the root of this run, logs/ a log per target
#   FRESH_MAKE_ARGS  arguments for every make run in the root (e.g. FUZZ_SECONDS=5)
#   FRESH_KEEP=1     leave the root in place afterwards, for a look inside
# The debootstrap result is cached as a tarball, keyed by suite, mirror and architecture; every
# run unpacks it anew, so no run sees what an earlier one installed. The root reaches the network
# only through apt-get, and its sources name the mirror alone.
set -euo pipefail

# Runs one target inside the root: called through unshare, so that every mount made here is
# private to this run and disappears with it. This shell is the PID namespace's first process: it
# reaps what the run orphans, and when it exits the kernel ends every process left in the
# namespace, which would otherwise keep the mounts alive.
inside() {
    local root=$1 status=0
    shift
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    # Its own /dev/shm: the tests and the bench keep files there, and must not meet the host's.
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/dev/shm"
    chroot "$root" /usr/bin/env -i HOME=/root FWUP_FRESH_ROOT=1 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c 'cd /root/fwupgrade && exec make "$@"' make "$@" || status=$?
    return $status
}

# The first enabled source of the suite: one-line (sources.list, *.list) or deb822 (*.sources),
# in the order apt reads them.
find_mirror() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk -v suite="$suite" '
            $1 == "deb" { i = 2
                if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
                if ($(i + 1) == suite) { print $i; exit } }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk -v suite="$suite" '
            BEGIN { RS = ""; FS = "\n" }
            { types = ""; uris = ""; suites = ""; enabled = "yes"
              for (i = 1; i <= NF; i++) {
                  if ($i ~ /^#/ || $i !~ /^[A-Za-z-]+:/) continue
                  key = tolower(substr($i, 1, index($i, ":") - 1))
                  val = " " substr($i, index($i, ":") + 1) " "
                  gsub(/[ \t]+/, " ", val)
                  if (key == "types") types = val
                  else if (key == "uris") uris = val
                  else if (key == "suites") suites = val
                  else if (key == "enabled") enabled = val }
              if (types ~ / deb / && suites ~ (" " suite " ") && enabled !~ / no /) {
                  split(uris, u, " "); print u[1]; exit } }' "$f"
    done
}

mounted_under() { # the mount points under a path, as the host sees them
    findmnt -rn -o TARGET | awk -v p="$1/" 'index($0 "/", p) == 1'
}

remove_root() {
    if [ -n "$(mounted_under "$root")" ]; then
        echo "test-fresh: still mounted under $root:" >&2
        mounted_under "$root" >&2
        exit 1
    fi
    rm -rf "$root"
}

main() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "test-fresh: debootstrap, chroot and mounts need root; run: sudo make test-fresh" >&2
        exit 1
    fi

    src=$(pwd)
    commit=$(git -C "$src" rev-parse HEAD)
    suite=${FRESH_SUITE:-bookworm}
    variant=minbase
    include=git,make
    work=$(mkdir -p "${FRESH_DIR:-build-fresh}" && cd "${FRESH_DIR:-build-fresh}" && pwd)
    root=$work/root
    read -r -a make_args <<<"${FRESH_MAKE_ARGS:-}"
    targets=("$@")
    [ ${#targets[@]} -gt 0 ] || targets=(demo test)

    mirror=${FRESH_MIRROR:-}
    if [ -z "$mirror" ]; then
        mirror=$(find_mirror | head -n 1)
    fi
    if [ -z "$mirror" ]; then
        echo "test-fresh: no source of '$suite' in /etc/apt/sources.list*; set FRESH_MIRROR" >&2
        exit 1
    fi

    mkdir -p "$work/cache" "$work/logs"
    # One run at a time per work directory: they share the root's path.
    exec 9>"$work/lock"
    if ! flock -n 9; then
        echo "test-fresh: another run is using $work" >&2
        exit 1
    fi

    arch=$(dpkg --print-architecture)
    key="$suite $variant $include $arch $mirror"
    cache=$work/cache/$suite-$variant-$(echo "$key" | sha256sum | cut -c1-12).tar
    started=$(date +%s)
    if [ ! -f "$cache" ]; then
        echo "test-fresh: debootstrap $suite ($variant, with $include) from $mirror"
        tmp=$work/cache/debootstrap
        rm -rf "$tmp"
        if ! debootstrap --variant="$variant" --include="$include" "$suite" "$tmp" "$mirror" \
            >"$work/logs/debootstrap.log" 2>&1; then
            tail -n 20 "$work/logs/debootstrap.log"
            echo "test-fresh: debootstrap failed (log: $work/logs/debootstrap.log)" >&2
            rm -rf "$tmp"
            exit 1
        fi
        tar --numeric-owner --xattrs --xattrs-include='*' -C "$tmp" -cf "$cache.part" .
        echo "$key" >"$cache.key"
        mv "$cache.part" "$cache"
        rm -rf "$tmp"
        echo "test-fresh: cached as $cache ($(($(date +%s) - started)) s)"
    fi

    remove_root
    mkdir "$root"
    tar --numeric-owner --xattrs --xattrs-include='*' -C "$root" -xf "$cache"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    git clone --quiet --no-hardlinks "$src" "$root/root/fwupgrade"
    git -C "$root/root/fwupgrade" -c advice.detachedHead=false checkout --quiet "$commit"
    if [ -n "$(git -C "$src" status --porcelain --untracked-files=no)" ]; then
        echo "test-fresh: uncommitted changes are not part of the run"
    fi
    echo "test-fresh: $suite $variant root with $include, mirror $mirror, commit ${commit:0:12}"

    results=()
    rc=0
    for t in "${targets[@]}"; do
        echo "== test-fresh: make $t ${make_args[*]}"
        t0=$(date +%s)
        status=0
        # unshare ignores SIGINT and SIGTERM while it waits; killed, it takes the run with it
        # (--kill-child), so a signal to this script is passed on as SIGKILL.
        unshare --mount --propagation private --pid --fork --kill-child \
            "$src/scripts/test-fresh.sh" --inside "$root" "$t" "${make_args[@]}" </dev/null \
            > >(tee "$work/logs/$t.log") 2>&1 &
        run=$!
        trap 'kill -KILL $run 2>/dev/null; exit 130' INT TERM
        wait $run || status=$?
        trap - INT TERM
        secs=$(($(date +%s) - t0))
        if [ $status -eq 0 ]; then
            results+=("$(printf '  make %-14s passed  %5d s' "$t" "$secs")")
        else
            results+=("$(printf '  make %-14s FAILED  %5d s  (exit %d, log: %s)' "$t" "$secs" \
                "$status" "$work/logs/$t.log")")
            rc=1
        fi
    done

    if [ "${FRESH_KEEP:-0}" = 1 ]; then
        echo "test-fresh: the root is kept in $root"
    else
        remove_root
    fi
    echo "== test-fresh: commit ${commit:0:12} in a fresh $suite root"
    printf '%s\n' "${results[@]}"
    echo "  total $(($(date +%s) - started)) s"
    return $rc
}

# Functions only above: bash reads the whole file before the run starts, and a run is long enough
# for the file to change under it.
if [ "${1:-}" = --inside ]; then inside "${@:2}"; else main "$@"; fi
exit
