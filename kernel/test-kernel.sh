#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The device build on a real ARM Linux kernel with real MTD flash (make test-kernel).
#
# Boots Debian's armhf "armmp" kernel under qemu-system-arm on the ast2600-evb board, whose SPI NOR
# chip holds the controller's flash layout (partitions from the device tree), runs fwupgrade and
# its command links inside the guest and judges each boot from the host by reading the flash
# image file with kflash. The harness plays the boot loader: before each boot kflash judges the
# flash file as the boot loader would (key words, CRC, boot_script flag, the script's fis load
# lines through the FIS directory, its exec line). A boot that would stop at the prompt or start
# no bank is not run; otherwise the exec line's command line becomes the kernel's, with the
# board's serial port for ttyS0, the loader's bootopt=<bank> and the harness's own words after
# it. A power cut is a SIGKILL of the emulator; the next boot starts from the same flash file.
# Every boot is watched (kflash watch): each upgrade's stores of the configuration block are
# counted and timed against the upgrade, which bounds the window in which a cut leaves the boot
# loader at its prompt.
#
# Usage: kernel/test-kernel.sh [quick|full]   (build trees as made by mk/kernel.mk)
#        kernel/test-kernel.sh one SCENARIO ARGS...   one scenario, e.g. one sc_cut plain exit
# What is built lands under $KT_OUT (default build-kernel/); the downloaded packages and apt's
# lists under $KT_CACHE, outside the clone so that a fresh clone (as CI makes) reuses them:
# /var/cache/fwupgrade-kernel when writable, else ${XDG_CACHE_HOME:-~/.cache}/fwupgrade-kernel.
set -uo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
MODE=${1:-full}
ARGS=("${@:2}")
OUT=${KT_OUT:-$SRC/build-kernel}
KFLASH=$SRC/build/bin/kflash
FWTOOL=$SRC/build/bin/fwtool
ARMEL=$SRC/build-arm-gnueabi
ARMHF=$SRC/build-arm-gnueabihf
BOOT_TIMEOUT=${KT_BOOT_TIMEOUT:-240} # seconds; a boot here takes 15 to 45
# The chip: a model that the armmp kernel drives with 64 KiB erase blocks, as on the controller's
# flash; KT_FLASH_MODEL= (empty) keeps the board's own, with 4 KiB sectors.
FLASH_MODEL=${KT_FLASH_MODEL-mx66l51235f}
ERASE=$([ -n "$FLASH_MODEL" ] && echo 65536 || echo 4096)
# Payload sizes: long enough for cuts timed from the console to land inside each write.
KERNEL_LEN=1500000
ROOT_LEN=4000000

if [ -z "${KT_CACHE:-}" ]; then
    KT_CACHE=/var/cache/fwupgrade-kernel
    mkdir -p "$KT_CACHE" 2>/dev/null && [ -w "$KT_CACHE" ] ||
        KT_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/fwupgrade-kernel
fi
CACHE=$KT_CACHE
DOWNLOAD_TRIES=${KT_DOWNLOAD_TRIES:-4}
LOGS=$OUT/logs
FLASH=$OUT/flash.img
passed=0
failed=0
cuts=0
prompts=0 # cuts inside a store that left the boot loader at its prompt
missed=0  # cuts that did not land in the phase they aimed at
failures=()

say() { printf '%s\n' "$*"; }
die() {
    say "test-kernel: $*" >&2
    exit 2
}

# ---- packages: the kernel and busybox for armhf, downloaded and unpacked, never installed ----

apt_run() { APT_CONFIG=$CACHE/apt/apt.conf "$@"; }

# retry WHAT COMMAND...: a mirror that fails for a moment does not fail the run.
retry() {
    local what=$1 n=1 pause=5
    shift
    until "$@"; do
        [ $n -ge "$DOWNLOAD_TRIES" ] && return 1
        say "test-kernel: $what failed (try $n of $DOWNLOAD_TRIES); again in $pause s"
        sleep $pause
        n=$((n + 1))
        pause=$((pause * 2))
    done
}

prepare_packages() {
    mkdir -p "$CACHE/apt/lists/partial" "$CACHE/apt/cache/archives/partial" "$CACHE/debs" \
        "$OUT/pkg" || die "cannot create the cache $CACHE"
    # A private apt state for armhf beside the machine's sources: no foreign architecture is
    # added to the system and nothing is installed.
    cat >"$CACHE/apt/apt.conf" <<EOF
Dir::State "$CACHE/apt";
Dir::State::Lists "$CACHE/apt/lists";
Dir::State::status "$CACHE/apt/status";
Dir::Cache "$CACHE/apt/cache";
APT::Architecture "armhf";
APT::Architectures { "armhf"; };
APT::Sandbox::User "root";
EOF
    touch "$CACHE/apt/status"
    if [ -z "$(find "$CACHE/apt/lists" -name '*Packages*' -mtime -1 2>/dev/null | head -n 1)" ]; then
        retry "apt-get update" apt_run apt-get update -qq >"$CACHE/apt/update.log" 2>&1 ||
            say "test-kernel: apt-get update failed (see $CACHE/apt/update.log); using the cache"
    fi
    # The kernel ABI moves with Debian point releases: the meta package names the current one.
    KPKG=$(apt_run apt-cache depends linux-image-armmp 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-armmp\)$/\1/p' | head -n 1)
    if [ -z "$KPKG" ]; then
        KPKG=$(cd "$CACHE/debs" && ls linux-image-*-armmp_*.deb 2>/dev/null | sed 's/_.*//' |
            sort -V | tail -n 1)
        [ -n "$KPKG" ] || die "cannot resolve linux-image-armmp:armhf (no package lists, no cache)"
    fi
    for p in "$KPKG" busybox-static; do
        if [ ! -d "$OUT/pkg/$p" ]; then
            if ! ls "$CACHE/debs/${p}_"*.deb >/dev/null 2>&1; then
                (cd "$CACHE/debs" && retry "download of $p" apt_run apt-get download -qq "$p") ||
                    die "cannot download $p:armhf"
            fi
            rm -rf "$OUT/pkg/$p.tmp"
            dpkg-deb -x "$(ls "$CACHE/debs/${p}_"*.deb | tail -n 1)" "$OUT/pkg/$p.tmp" &&
                mv "$OUT/pkg/$p.tmp" "$OUT/pkg/$p" || die "cannot unpack $p"
        fi
    done
    RELEASE=${KPKG#linux-image-}
    KDIR=$OUT/pkg/$KPKG
    VMLINUZ=$KDIR/boot/vmlinuz-$RELEASE
    # The running model is the release text between its first and second '-'.
    MODEL=$(echo "$RELEASE" | cut -d- -f2)
    [ -f "$VMLINUZ" ] || die "no kernel in $KDIR"
}

# ---- device trees: the board's own, with the controller's partitions on the first flash ----

prepare_dtbs() {
    local board=$KDIR/usr/lib/linux-image-$RELEASE/aspeed-ast2600-evb.dtb
    [ -f "$board" ] || die "no aspeed-ast2600-evb.dtb in $KPKG"
    dtc -q -I dtb -O dts -o "$OUT/board.dts" "$board" || die "dtc cannot read $board"
    "$KFLASH" dts "$OUT/board.dts" >"$OUT/parts.dts" &&
        dtc -q -I dts -O dtb -o "$OUT/parts.dtb" "$OUT/parts.dts" || die "parts.dtb"
    # root1 read-only: the kernel refuses every write to it, a write failure for real.
    "$KFLASH" dts "$OUT/board.dts" --read-only root1 >"$OUT/parts-ro.dts" &&
        dtc -q -I dts -O dtb -o "$OUT/parts-ro.dtb" "$OUT/parts-ro.dts" || die "parts-ro.dtb"
}

# ---- the guest's initramfs: busybox, the flash drivers, both C libraries, the device build ----

prepare_initramfs() {
    local r=$OUT/initramfs mods=$KDIR/lib/modules/$RELEASE/kernel m lib
    rm -rf "$r" && mkdir -p "$r"/{bin,lib/modules,lib/arm-linux-gnueabi,lib/arm-linux-gnueabihf,opt/armhf/sbin,kt/img}
    cp "$OUT/pkg/busybox-static/bin/busybox" "$r/bin/" || die "no busybox"
    for m in drivers/mtd/parsers/ofpart drivers/mtd/spi-nor/spi-nor drivers/spi/spi-aspeed-smc \
        drivers/mtd/mtd_blkdevs drivers/mtd/mtdblock fs/fuse/fuse; do
        cp "$mods/$m.ko" "$r/lib/modules/" || die "no module $m"
    done
    cp "$SRC/kernel/guest/init" "$r/init" && cp "$SRC/kernel/guest/steps.sh" "$r/kt/steps.sh"
    # Both loaders in /lib, each C library in its multiarch directory, which its loader searches.
    cp /usr/arm-linux-gnueabi/lib/ld-linux.so.3 /usr/arm-linux-gnueabihf/lib/ld-linux-armhf.so.3 "$r/lib/"
    for lib in libc.so.6 libm.so.6 libstdc++.so.6 libgcc_s.so.1; do
        cp -L /usr/arm-linux-gnueabi/lib/$lib "$r/lib/arm-linux-gnueabi/"
        cp -L /usr/arm-linux-gnueabihf/lib/$lib "$r/lib/arm-linux-gnueabihf/"
    done
    # The device build as the package installs it (usr/sbin/fwupgrade and its command links),
    # the stand-in event library, the progress watcher and the control files' server.
    DESTDIR=$r cmake --install "$ARMEL" --prefix /usr --strip >/dev/null || die "install $ARMEL"
    cp "$ARMEL/lib/libevt.so" "$r/lib/libevt.so" && cp "$ARMEL/bin/kwatch" "$r/bin/kwatch" &&
        cp "$ARMEL/bin/kcontrol" "$r/bin/kcontrol" || die "libevt.so, kwatch or kcontrol missing in $ARMEL"
    if [ -x "$ARMHF/bin/fwupgrade" ]; then
        rm -rf "$OUT/armhf-stage" && mkdir -p "$r/opt/armhf/lib"
        DESTDIR=$OUT/armhf-stage cmake --install "$ARMHF" --prefix /usr --strip >/dev/null &&
            cp -P "$OUT/armhf-stage/usr/sbin/"* "$r/opt/armhf/sbin/" &&
            cp "$ARMHF/lib/libevt.so" "$r/opt/armhf/lib/" || die "install $ARMHF"
    fi
    rm -rf "$OUT/oem" && mkdir -p "$OUT/oem/etc" && echo "kt=1" >"$OUT/oem/etc/oem.conf"
    tar -czf "$r/kt/oem.tgz" -C "$OUT/oem" etc
    (cd "$r" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) | gzip -1 >"$OUT/base.cpio.gz" ||
        die "initramfs"
    # Each boot appends an uncompressed archive with its images; the kernel looks for it at a
    # 4-byte boundary and skips the zeros before it.
    truncate -s %4 "$OUT/base.cpio.gz"
}

# ---- payloads and images ----

# mk_payloads NAME SEED: NAME.k and NAME.r in $OUT/img
mk_payloads() {
    [ -f "$OUT/img/$1.r" ] && return 0
    "$KFLASH" payload "$2" $KERNEL_LEN "$OUT/img/$1.k" &&
        "$KFLASH" payload $(($2 + 100000)) $ROOT_LEN "$OUT/img/$1.r" || die "payload $1"
}

# mk_image NAME SEED [MODEL]: NAME.img from fresh payloads
mk_image() {
    mk_payloads "$1" "$2"
    "$FWTOOL" image create --model "${3:-}" --kernel "$OUT/img/$1.k" --root "$OUT/img/$1.r" \
        -o "$OUT/img/$1.img" >/dev/null || die "image $1"
}

prepare_images() {
    rm -rf "$OUT/img" && mkdir -p "$OUT/img"
    mk_payloads p0 1
    mk_payloads p1 2
    mk_image a 3
    mk_image b 4 "$MODEL"
    mk_image c 5
    mk_image wrongmodel 6 "X$MODEL"
    mk_image badcrc 7
    # One flipped bit in the kernel payload, after the 76-byte header: the digest must catch it.
    printf '\x55' | dd of="$OUT/img/badcrc.img" bs=1 seek=5000 conv=notrunc status=none
}

# ---- boots ----

# new_flash BANK: a fresh flash file; the script names BANK, bank 0 holds p0 and bank 1 p1.
new_flash() {
    "$KFLASH" create "$FLASH" "$1" "$OUT"/img/p0.k "$OUT"/img/p0.r "$OUT"/img/p1.k "$OUT"/img/p1.r ||
        die "flash"
    HOLD=(p0 p1)
}

# judge_flash: the boot loader's judgement of the flash file in VERDICT, BANK and JUDGED (the
# kernel command line, or the reason nothing boots).
judge_flash() {
    { read -r VERDICT BANK && IFS= read -r JUDGED; } < <("$KFLASH" boot "$FLASH")
}

# start_boot NAME STEP DTB IMAGE...: starts the emulator in the background (QPID) with a watcher
# (WPID) of its console and flash. The bank and command line come from the flash file as the boot
# loader reads it; CUT="at|after N DELAY_MS" lets the watcher cut the power at a store. IMAGE is
# GUESTNAME=HOSTNAME (both .img names). Returns 1, with nothing started, when the flash would not
# boot a bank.
start_boot() {
    local name=$1 step=$2 dtb=$3 i run=$OUT/run cmdline
    shift 3
    LOG=$LOGS/$name.log
    judge_flash
    QPID=""
    if [ "$VERDICT" != bank ]; then
        fail "boot $name: the boot loader would not boot ($VERDICT): $JUDGED"
        : >"$LOG" && : >"$LOG.window"
        return 1
    fi
    # The controller's serial console is ttyS0; this board's is ttyS4. The ramdisk is the
    # harness's initramfs, wherever qemu put it: an initrd= word would send the kernel elsewhere.
    cmdline=$(printf '%s\n' "$JUDGED" | sed -e 's/console=ttyS0\([, ]\|$\)/console=ttyS4\1/g' \
        -e 's/\(^\| \)initrd=[^ ]*//g')
    rm -rf "$run" && mkdir -p "$run/kt/img"
    for i in "$@"; do
        ln "$OUT/img/${i#*=}" "$run/kt/img/${i%%=*}" || die "no image ${i#*=}"
    done
    (cd "$run" && find kt | cpio -o -H newc --quiet) >"$OUT/run.cpio"
    cat "$OUT/base.cpio.gz" "$OUT/run.cpio" >"$OUT/initrd"
    say "  boot $name: bank $BANK, step $step; from the script: $JUDGED"
    # Daemonized, so that the emulator is no job of this shell: a SIGKILL is a power cut, not
    # something for the shell to report. The chip's erase commands, and any program that would
    # turn a 0 bit into a 1, go to a trace stamped with the wall clock.
    rm -f "$OUT/qemu.pid" "$LOG.raw"
    # What the chip held before the boot: the erase tally is judged against what changed.
    cp "$FLASH" "$OUT/flash.before" || die "cannot copy $FLASH"
    : >"$LOG.raw"
    BOOT_START=$SECONDS
    qemu-system-arm -M "ast2600-evb${FLASH_MODEL:+,fmc-model=$FLASH_MODEL}" -m 1G -display none -monitor none -nic none -no-reboot \
        -serial "file:$LOG.raw" -kernel "$VMLINUZ" -initrd "$OUT/initrd" -dtb "$dtb" \
        -drive "file=$FLASH,format=raw,if=mtd" -daemonize -pidfile "$OUT/qemu.pid" \
        -trace enable=m25p80_flash_erase -trace enable=m25p80_programming_zero_to_one \
        -D "$LOG.trace" -msg timestamp=on \
        -append "$cmdline bootopt=$BANK vmalloc=512M quiet panic=1 kt=$step" \
        >"$LOG.qemu" 2>&1 || die "qemu-system-arm did not start: $(cat "$LOG.qemu")"
    QPID=$(cat "$OUT/qemu.pid")
    # shellcheck disable=SC2086
    "$KFLASH" watch "$FLASH" "$LOG.raw" "$QPID" "$BOOT_TIMEOUT" ${CUT:-} >"$LOG.watch" &
    WPID=$!
}

# finish_boot: waits for the emulator to end (the guest reboots, or the harness cut it), then
# for the watcher, and prints each upgrade's stores and times (LOG.window).
finish_boot() {
    [ -n "$QPID" ] || return 0
    while kill -0 "$QPID" 2>/dev/null; do
        if [ $((SECONDS - BOOT_START)) -gt "$BOOT_TIMEOUT" ]; then
            kill -9 "$QPID" 2>/dev/null
            fail "the boot did not end within $BOOT_TIMEOUT s"
        fi
        sleep 0.1
    done
    wait "$WPID" 2>/dev/null
    tr -d '\r' <"$LOG.raw" >"$LOG"
    "$KFLASH" window "$LOG.watch" "$LOG.trace" >"$LOG.window" 2>&1
    sed 's/^/    /' "$LOG.window"
    cat "$LOG.window" >>"$LOGS/windows"
    say "    ($((SECONDS - BOOT_START)) s)"
}

# expect_stores NAME COUNT: the upgrade NAME stored the configuration block COUNT times.
expect_stores() {
    local got
    got=$(awk -v n="$1" '$1 == "upgrade" && $2 == n { print $6 }' "$LOG.window" | tail -n 1)
    [ "$got" = "$2" ] || fail "upgrade $1 stored the configuration block ${got:-an unknown number of} times, expected $2"
}

cut_now() {
    kill -9 "$QPID" 2>/dev/null
}

# after_arm STAGE PERCENT: true once kwatch reported STAGE at PERCENT or more after "KT-ARM cut".
after_arm() {
    tr -d "\r" 2>/dev/null <"$LOG.raw" | awk -v st="$1" -v pc="$2" '
        armed && $1 == "KT-P" && $2 == st && $3 + 0 >= pc + 0 { f = 1; exit }
        $0 == "KT-ARM cut" { armed = 1 }
        END { exit !f }'
}

log_has() { tr -d "\r" 2>/dev/null <"$LOG.raw" | grep -q "$1"; }

# wait_for COMMAND...: polls until the command succeeds or the emulator ends.
wait_for() {
    while kill -0 "$QPID" 2>/dev/null; do
        "$@" && return 0
        [ $((SECONDS - BOOT_START)) -gt "$BOOT_TIMEOUT" ] && return 1
        sleep 0.01
    done
    return 1
}

# ---- checks ----

scenario() {
    SCENARIO=$1
    SC_FAIL=0
    say "== $1"
}

fail() {
    say "    FAIL: $*"
    SC_FAIL=1
}

end_scenario() {
    if [ "$SC_FAIL" -eq 0 ]; then
        passed=$((passed + 1))
        say "   pass: $SCENARIO"
    else
        failed=$((failed + 1))
        failures+=("$SCENARIO")
        # What the flash held when the scenario failed, for a look with kflash or a hex dump.
        cp "$FLASH" "$LOG.flash" 2>/dev/null
        say "   FAILED: $SCENARIO (log: $LOGS)"
    fi
}

rc_of() { sed -n "s/^KT-RC $1 \([0-9]*\)\$/\1/p" "$LOG" | tail -n 1; }

expect_rc() { # NAME CODE
    local got
    got=$(rc_of "$1")
    [ "$got" = "$2" ] || fail "$1 exited with ${got:-nothing}, expected $2"
}

# A boot that ran to its end: no guest-side failure, every partition locked again, no control
# request refused, and for each upgrade (in order) the time slice raised to 3 and set back to 0,
# and its start event and then its result event, success exactly when it returned 0.
expect_clean_end() {
    grep -q '^KT-END ' "$LOG" || {
        fail "the guest did not reach its end; last lines:"
        tail -n 15 "$LOG" | sed 's/^/        /'
    }
    grep '^KT-FAIL' "$LOG" | while read -r line; do say "    FAIL: guest: ${line#KT-FAIL }"; done
    grep -q '^KT-FAIL' "$LOG" && SC_FAIL=1
    local unlocked name dte="" evt="" got
    unlocked=$(sed -n 's/^KT-UNLOCKED//p' "$LOG")
    [ -z "$unlocked" ] || fail "partitions left unlocked:$unlocked"
    grep -q '^KT-REFUSED' "$LOG" && fail "control requests refused: $(sed -n 's/^KT-REFUSED //p' "$LOG" | tr '\n' ' ')"
    for name in $(sed -n 's/^KT-ARM //p' "$LOG"); do
        dte="$dte timeslice=3 timeslice=0"
        evt="$evt|4 0x70006 0 0|4 $([ "$(rc_of "$name")" = 0 ] && echo 0x70007 || echo 0x70008) 0 0"
    done
    got=$(sed -n 's/^KT-DTE//p' "$LOG")
    [ "$got" = "$dte" ] || fail "time-slice requests:${got:- none}; expected:${dte:- none}"
    got=$(sed -n 's/^KT-EVT /|/p' "$LOG" | tr -d '\n')
    [ "$got" = "$evt" ] || fail "events: ${got:-none}; expected: ${evt:-none}"
    # An upgrade that wrote a bank or the script unlocked and locked again.
    if awk '$1 == "upgrade" && $6 > 0 { f = 1 } END { exit !f }' "$LOG.window" 2>/dev/null; then
        grep -q '^KT-CTL unlock ' "$LOG" && grep -q '^KT-CTL lock ' "$LOG" ||
            fail "the flash was written with no unlock or lock request"
    fi
}

expect_marker() { grep -q "^KT-MARKER $1\$" "$LOG" || fail "change marker not $1 at the end"; }

expect_boot() { # BANK: the boot loader would boot BANK
    judge_flash
    [ "$VERDICT" = bank ] && [ "$BANK" = "$1" ] ||
        fail "flash: the boot loader would boot $VERDICT $BANK ($JUDGED), expected bank $1"
}

# expect_erases LABEL WRITES: each erase block of the partition whose bytes the boot changed was
# erased exactly WRITES times, and no other block of it; WRITES 0: none at all. A block that
# already held what was written is left unerased, so a payload only partly new erases only its
# new blocks. The tally counts 4 KiB sectors, 16 to a 64 KiB block.
expect_erases() {
    local erases sectors most changed want
    read -r erases sectors most < <(awk -F'\t' -v l="$1" '$1 == l { print $2, $3, $4 }' "$LOG.erases")
    changed=$("$KFLASH" changed "$OUT/flash.before" "$FLASH" $((ERASE / 1024)) |
        awk -F'\t' -v l="$1" '$1 == l { print $2 }')
    want=$((${changed:-0} * (ERASE / 4096)))
    if [ "$2" = 0 ]; then
        [ "$erases" = 0 ] || fail "$1: $erases erases, expected none"
    elif [ "$want" = 0 ] || [ "$sectors" != "$want" ] || [ "$most" != "$2" ] ||
        [ "$erases" != $((want * $2)) ]; then
        fail "$1: $erases erases over $sectors sectors (at most $most on one), expected $2 on each of the $want sectors that changed"
    fi
}

# expect_bank_erases NAME COUNT: the upgrade NAME erased COUNT blocks of the banks' partitions.
expect_bank_erases() {
    local got
    got=$(awk -v n="$1" '$1 == "upgrade" && $2 == n { print $12 }' "$LOG.window" | tail -n 1)
    [ "$got" = "$2" ] || fail "upgrade $1 erased ${got:-an unknown number of} blocks of the banks, expected $2"
}

# The chip's erase tally of the boot: printed, and the configuration block erased whole
# at each store, never a 0 bit programmed to 1.
check_trace() {
    "$KFLASH" erases "$LOG.trace" >"$LOG.erases" || {
        fail "no erase trace"
        return
    }
    local erases sectors most
    read -r erases sectors most < <(awk -F'\t' '$1 == "RedBoot config" { print $2, $3, $4 }' "$LOG.erases")
    say "    erases per partition (label, erases, sectors, most on one sector):"
    awk -F'\t' '$2 != 0 { printf "        %s: %s, %s, %s\n", $1, $2, $3, $4 }' "$LOG.erases"
    [ "$sectors" = 32 ] && [ $((most * 32)) = "$erases" ] ||
        fail "RedBoot config: $erases erases over $sectors sectors, not whole stores"
    grep -q $'^zero-to-one\t0$' "$LOG.erases" || fail "programs that set 0 bits: $(grep zero-to-one "$LOG.erases")"
}

holds() { "$KFLASH" holds "$FLASH" "$1" "$OUT/img/$2.k" "$OUT/img/$2.r" >/dev/null; }

expect_holds() { # BANK NAME
    "$KFLASH" holds "$FLASH" "$1" "$OUT/img/$2.k" "$OUT/img/$2.r" ||
        fail "flash: bank $1 does not hold image $2"
}

# ---- scenarios ----

sc_query() {
    scenario "bank query and switch, redboot_cli edits"
    new_flash 0
    start_boot query query "$OUT/parts.dtb"
    finish_boot
    expect_clean_end
    expect_rc get0 0
    expect_rc set1 0
    expect_rc get1 1
    expect_rc set2 254
    expect_rc set0 0
    expect_rc show 0
    expect_rc nouart 0
    expect_rc exec 0
    expect_rc uart 0
    expect_rc usage 255
    expect_rc get0b 0
    expect_rc locked 1
    grep -q '^KT-OUT show: fis load kernel0$' "$LOG" || fail "redboot_cli show did not print the script"
    expect_boot 0
    local script
    script=$("$KFLASH" script "$FLASH")
    case $script in *'kt_edit=1'*console=*) ;; *) fail "edits not on flash: $script" ;; esac
    # What the next boot's kernel would be given: the edited command line, console included.
    judge_flash
    case $JUDGED in *'kt_edit=1 console=ttyS0,115200') ;; *) fail "the next boot's command line: $JUDGED" ;; esac
    expect_holds 0 p0
    expect_holds 1 p1
    end_scenario
}

sc_upgrade() {
    scenario "upgrade, then a reboot that finds the new bank selected"
    new_flash 0
    start_boot upgrade upgrade "$OUT/parts.dtb" a.img=a.img
    finish_boot
    expect_clean_end
    check_trace
    expect_stores up-a 1
    expect_erases kernel1 1
    expect_erases root1 1
    expect_erases kernel0 0
    expect_erases root0 0
    expect_rc up-a 0
    expect_rc get-a 1
    # The repeat: the script names the bank it writes (two stores), every block already holds its
    # bytes (no erase), and both payloads are still read back.
    expect_stores rep 2
    expect_bank_erases up-a $(((KERNEL_LEN + ERASE - 1) / ERASE + (ROOT_LEN + ERASE - 1) / ERASE))
    expect_bank_erases rep 0
    awk '$0 == "KT-ARM rep" { on = 1 } on && $1 == "KT-P" && $2 == 6 { f = 1 }
         END { exit !f }' "$LOG" || fail "the repeat upgrade did not read the root payload back"
    expect_rc rep 0
    expect_rc get-rep 1
    expect_marker present
    grep -q '^KT-EVT 4 0x70007 0 0$' "$LOG" || fail "no success event logged"
    expect_boot 1
    # The ramdisk is as large as root1, in MiB: the kernel is given the whole image.
    case $JUDGED in *'initrd=0x0a000000,6M '*) ;; *) fail "ramdisk size not root1's 6M: $JUDGED" ;; esac
    expect_holds 1 a
    expect_holds 0 p0
    end_scenario

    scenario "boot from the new bank; two upgrades in one boot"
    start_boot reboot reboot "$OUT/parts.dtb" b.img=b.img c.img=c.img
    [ "$BANK" = 1 ] || fail "the boot loader found bank $BANK"
    finish_boot
    expect_clean_end
    check_trace
    expect_stores up-b 1
    # The second upgrade rewrites the bank the script names: moved off it first, back after.
    expect_stores up-c 2
    expect_erases kernel0 2
    expect_erases root0 2
    expect_erases kernel1 0
    expect_erases root1 0
    expect_rc get 1
    expect_rc up-b 0
    expect_rc get-b 0
    expect_rc up-c 0
    expect_rc get-c 0
    expect_marker present
    expect_boot 0
    expect_holds 0 c
    expect_holds 1 a
    end_scenario
}

sc_fail_write() {
    scenario "failed upgrades: wrong model, bad digest, a write the kernel refuses"
    new_flash 0
    start_boot fail-write fail_write "$OUT/parts-ro.dtb" a.img=a.img wrongmodel.img=wrongmodel.img \
        badcrc.img=badcrc.img
    finish_boot
    expect_clean_end
    expect_rc model 234
    expect_rc crc 235
    expect_rc ro 233
    expect_stores model 0
    expect_stores crc 0
    expect_stores ro 0
    expect_rc get 0
    expect_marker absent
    expect_boot 0
    expect_holds 0 p0
    end_scenario
}

sc_fail_verify() {
    scenario "failed upgrade: a read-back that differs"
    new_flash 0
    start_boot fail-verify fail_verify "$OUT/parts.dtb" a.img=a.img
    finish_boot
    expect_clean_end
    grep -q '^KT-SCRIBBLE' "$LOG" || fail "the scribbler never wrote"
    expect_rc verify 232
    expect_stores verify 0
    expect_rc get 0
    expect_marker absent
    expect_boot 0
    expect_holds 0 p0
    end_scenario
}

sc_armhf() {
    scenario "the armhf build: query, switch, upgrade"
    if [ ! -x "$ARMHF/bin/fwupgrade" ]; then
        fail "no armhf build in $ARMHF"
        end_scenario
        return
    fi
    new_flash 0
    start_boot armhf armhf "$OUT/parts.dtb" a.img=a.img
    finish_boot
    expect_clean_end
    expect_rc get0 0
    expect_rc set1 0
    expect_rc set0 0
    expect_rc up-a 0
    expect_stores up-a 1
    expect_rc get1 1
    grep -q '^KT-EVT 4 0x70007 0 0$' "$LOG" || fail "no success event logged"
    expect_boot 1
    expect_holds 1 a
    expect_holds 0 p0
    end_scenario
}

# cut_attempt STATE TRIGGER ARGS...: one boot into step cut_STATE, cut as the trigger says. HIT
# is 1 when the cut landed in the phase it aimed at; INSTORE is 1 when a store of the
# configuration block was under way when the power went.
cut_attempt() {
    local state=$1 trigger=$2 phase cut=""
    shift 2
    HIT=0
    INSTORE=0
    new_flash 0
    [ "$trigger" = store ] && cut="$1 $2 $3"
    CUT=$cut start_boot "cut$cuts-$state" "cut_$state" "$OUT/parts.dtb" n.img=$new.img a.img=a.img ||
        return
    if wait_for log_has '^KT-ARM cut'; then
        case $trigger in
        console)
            wait_for after_arm "$1" "$2" || fail "the trigger (stage $1 at $2%) never came"
            cut_now
            ;;
        store) wait "$WPID" 2>/dev/null ;;
        exit)
            wait_for log_has '^KT-RC cut ' || fail "the upgrade never returned"
            cut_now
            ;;
        esac
    else
        fail "the upgrade never started"
    fi
    cut_now
    finish_boot
    grep -q ' \(cut\|end\) in-store' "$LOG.watch" && INSTORE=1
    phase=$(grep '^KT-P ' "$LOG" | tail -n 1)
    say "    cut: $(grep ' \(cut\|end\) ' "$LOG.watch" | cut -d' ' -f2- | tail -n 1); last progress: ${phase:-none}$(log_has '^KT-RC cut ' && echo "; the upgrade had returned: $(rc_of cut)")"
    # The phase it hit, from the console and the flash: the aimed stage still running, the store
    # under way or over, the upgrade returned with no store left open.
    case $trigger in
    console) [ "$(echo "$phase" | cut -d' ' -f2)" = "$1" ] && HIT=1 ;;
    store)
        case $1 in
        at) [ $INSTORE = 1 ] && HIT=1 ;;
        after) grep -q ' cut outside' "$LOG.watch" && HIT=1 ;;
        esac
        ;;
    exit) log_has '^KT-RC cut ' && [ $INSTORE = 0 ] && HIT=1 ;;
    esac
}

# sc_cut STATE TRIGGER ARGS...: boots from bank 0 into step cut_STATE, cuts the power, then boots
# again from the same flash and upgrades. Triggers:
#   console STAGE PERCENT   kwatch's line for that point of the transfer
#   store at|after N MS     the Nth store of the configuration block begins / has completed
#   exit                    the upgrade has returned
# A cut that missed its phase is tried once more, then reported as missed (a failure). A boot
# loader left at its prompt passes only when the cut fell inside a store: it is counted.
sc_cut() {
    local state=$1 trigger=$2 try
    shift 2
    cuts=$((cuts + 1))
    local new=n$cuts rec=r$cuts
    mk_image "$new" $((1000 + cuts))
    mk_image "$rec" $((2000 + cuts))
    scenario "power cut ($state state): $trigger $*"
    for try in 1 2; do
        SC_FAIL=0
        cut_attempt "$state" "$trigger" "$@"
        [ "$HIT" = 1 ] && break
        say "    the cut missed its phase (try $try of 2)"
    done
    if [ "$HIT" != 1 ]; then
        missed=$((missed + 1))
        fail "missed: the cut did not land where it aimed ($trigger $*)"
        end_scenario
        return
    fi
    local run=0 tgt=1 first_ok=0 cand found want
    case $state in
    disagree) expect_rc set-other 0 ;;
    second)
        expect_rc first 0
        expect_stores first 1
        [ "$(rc_of first)" = 0 ] && first_ok=1
        ;;
    esac
    # The stores made by the cut upgrade: as many as had begun at the cut, all of them when it
    # returned. Out of the running bank's state it makes one; moved off the target first, two.
    case $trigger in
    console) want=$([ "$state" = plain ] && echo 0 || echo 1) ;;
    store) want=$2 ;;
    exit) want=$([ "$state" = plain ] && echo 1 || echo 2) ;;
    esac
    expect_stores cut "$want"
    if log_has '^KT-RC cut '; then
        expect_rc cut 0
    elif [ "$trigger" = exit ]; then
        fail "the upgrade had not returned"
    fi

    judge_flash
    holds $run "${HOLD[$run]}" || fail "the running bank $run changed"
    found=""
    if [ "$VERDICT" = prompt ]; then
        # The block has one copy and a store rewrites it in place: from its first erase until its
        # last page is programmed the boot loader rejects it. Only a cut inside a store may do so.
        if [ $INSTORE = 1 ]; then
            prompts=$((prompts + 1))
            say "    inside a store: the boot loader would stop at its prompt ($JUDGED); counted"
        else
            fail "the boot loader would stop at its prompt ($JUDGED) after a cut outside any store"
        fi
    elif [ "$VERDICT" != bank ]; then
        fail "the boot loader would start no bank: $JUDGED"
    elif [ "$BANK" = "$run" ]; then
        found=${HOLD[$run]}
    else
        # The other bank holds a whole image that was there before or written in this boot.
        for cand in "${HOLD[$tgt]}" $([ $first_ok = 1 ] && echo a) "$new"; do
            holds $tgt "$cand" && found=$cand && break
        done
        [ -n "$found" ] || fail "the script names bank $tgt, which holds no complete image"
    fi
    if [ -z "$found" ]; then
        end_scenario
        return
    fi
    local b=$BANK other=$((1 - BANK)) kept=$found
    start_boot "cut$cuts-$state-reboot" recover "$OUT/parts.dtb" r.img=$rec.img
    finish_boot
    expect_clean_end
    expect_rc get "$b"
    expect_rc after 0
    expect_stores after 1
    expect_rc get-after "$other"
    expect_boot "$other"
    expect_holds "$other" "$rec"
    expect_holds "$b" "$kept"
    end_scenario
}

# The brick window of every upgrade that ran to its end: the time its stores took against its
# own, which is the share of uniformly random power cuts during it that stop the boot loader at
# its prompt.
window_report() {
    [ -s "$LOGS/windows" ] || return 0
    say "brick window (store time of the upgrade's time, upgrades that returned 0):"
    awk '$1 == "upgrade" && $4 == "0" && $6 > 0 {
            printf "    %-8s %d store(s), %5d ms of %6d ms: %.2f%%\n", $2, $6, $8, $10, 100 * $8 / $10
            s += $8; u += $10 }
         END { if (u > 0) printf "    all:     %d ms of %d ms: %.2f%%\n", s, u, 100 * s / u }' \
        "$LOGS/windows"
}

# ---- main ----

main() {
    command -v qemu-system-arm >/dev/null && command -v dtc >/dev/null && command -v cpio >/dev/null ||
        die "qemu-system-arm, dtc or cpio missing (make test-kernel installs them)"
    [ -x "$KFLASH" ] && [ -x "$FWTOOL" ] && [ -x "$ARMEL/bin/fwupgrade" ] && [ -x "$ARMEL/bin/kcontrol" ] ||
        die "build first (make test-kernel builds what is needed)"
    mkdir -p "$OUT" && rm -rf "$LOGS" && mkdir -p "$LOGS"
    local t0=$SECONDS e
    prepare_packages
    prepare_dtbs
    prepare_initramfs
    prepare_images
    say "kernel $RELEASE (model \"$MODEL\"), busybox-static; flash ${FLASH_MODEL:-of the board} with $((ERASE / 1024)) KiB erase blocks; prepared in $((SECONDS - t0)) s"
    # Every point of one store at which a cut can fall, judged on 4 KiB sectors and on 64 KiB
    # erase blocks (the controller's): all but the last stop at the prompt.
    scenario "every cut point inside one store"
    for e in 4 64; do
        "$KFLASH" enumerate $e 256 | sed 's/^/    /'
        [ "${PIPESTATUS[0]}" = 0 ] || fail "a cut inside the store boots something"
    done
    end_scenario

    [ "$MODE" = one ] || sc_query
    [ "$MODE" = one ] || sc_upgrade
    if [ "$MODE" = one ]; then
        "${ARGS[@]}"
    elif [ "$MODE" = quick ]; then
        # The risky ones: a cut inside the store, and the script naming the bank to be written.
        # The second is also a cut whose outcome does not hang on the instant it lands: in the
        # middle of the root payload's write, the script names the running bank (it was moved
        # there first) whatever the emulator had written, and the next boot must recover.
        sc_cut plain store at 1 0
        sc_cut disagree console 4 50
    else
        sc_fail_write
        sc_fail_verify
        sc_armhf
        sc_cut plain console 3 25
        sc_cut plain console 4 50
        sc_cut plain console 6 50
        # The switch: its store begins, is under way, has completed (the pause before exit).
        sc_cut plain store at 1 0
        sc_cut plain store at 1 15
        sc_cut plain store after 1 0
        sc_cut plain exit
        # The script names the bank about to be written: it is moved off it first (store 1),
        # and switched back after the read-back (store 2).
        sc_cut disagree console 3 50
        sc_cut disagree console 4 50
        sc_cut disagree store at 1 0
        sc_cut disagree store at 2 0
        sc_cut disagree exit
        # A second upgrade of the same boot rewrites the bank the first one selected.
        sc_cut second console 3 50
        sc_cut second store at 1 0
        sc_cut second console 4 50
        sc_cut second store at 2 0
    fi

    say ""
    window_report
    say "power cuts: $cuts; inside a store, leaving the boot loader at its prompt: $prompts; missed their phase: $missed"
    [ ${#failures[@]} -eq 0 ] || printf 'failed: %s\n' "${failures[@]}"
    say "test-kernel ($MODE): $((SECONDS - t0)) s"
    say "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

# One line, read whole before it runs: an edit of this file during a run cannot reach it.
main; exit
