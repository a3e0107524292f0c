# SPDX-License-Identifier: MIT
# Steps of the real-kernel tests, one per boot, chosen by kt=<step> on the kernel command line.
# Each prints what the host judges: "KT-RC <name> <exit status>" for every command it runs and
# "KT-FAIL <reason>" for anything the guest itself finds wrong. The host reads the flash file.

# kt_rc NAME COMMAND...: runs the command, prints its output and its exit status.
kt_rc() {
    name=$1
    shift
    "$@" >/tmp/out 2>&1
    rc=$?
    sed "s/^/KT-OUT $name: /" /tmp/out
    echo "KT-RC $name $rc"
}

# kt_upgrade NAME IMAGE [oem|nooem]: stages /kt/img/IMAGE (and the OEM request) and upgrades.
# "KT-ARM NAME" tells the host that this upgrade starts now, for cuts timed from it.
kt_upgrade() {
    mkdir -p /tmpfs/upgrading
    cp "/kt/img/$2" /tmpfs/upgrading/fw.bin || echo "KT-FAIL $1: no image $2"
    case ${3:-} in
    oem) cp /kt/oem.tgz /tmpfs/upgrading/oem.bin ;;
    nooem) : >/tmpfs/upgrading/.nooem ;;
    esac
    echo "KT-ARM $1"
    kt_rc "$1" fwupgrade
    [ -e /tmpfs/upgrading ] && echo "KT-FAIL $1: the staging directory is still there"
}

# The partition number of a label in the kernel's table.
kt_mtd() {
    sed -n "s/^mtd\([0-9]*\):.*\"$1\"\$/\1/p" /proc/mtd
}

# What the host judges at the end of a boot: the partitions left writable (of those that started
# locked), the time-slice requests in order, refused control requests, the marker, the events.
kt_summary() {
    unlocked=""
    for d in $KT_LOCKED; do
        [ "$(blockdev --getro "/dev/$d")" = 1 ] || unlocked="$unlocked $d"
    done
    echo "KT-UNLOCKED${unlocked}"
    echo "KT-DTE$(sed -n 's/^dte / /p' /var/log/control.log | tr -d '\n')"
    grep '^refused' /var/log/control.log | sed 's/^/KT-REFUSED /'
    [ -e /var/lock/bootidx_changed ] && echo "KT-MARKER present" || echo "KT-MARKER absent"
    [ -f /var/log/evt.log ] && sed 's/^/KT-EVT /' /var/log/evt.log
}

# Bank query and switch, and redboot_cli edits. Booted from bank 0.
step_query() {
    kt_rc get0 get_boot_idx
    kt_rc set1 set_boot_idx 1
    kt_rc get1 get_boot_idx
    kt_rc set2 set_boot_idx 2
    kt_rc set0 set_boot_idx 0
    kt_rc show redboot_cli show
    kt_rc nouart redboot_cli disable_uart
    kt_rc exec redboot_cli update_exec "root=/dev/ram0 initrd=0x0a000000,10M kt_edit=1"
    kt_rc uart redboot_cli enable_uart
    kt_rc usage redboot_cli frobnicate
    kt_rc get0b get_boot_idx
    # The flash lock stand-in holds: a partition nobody unlocked refuses a write.
    kt_rc locked dd if=/dev/zero of="/dev/mtdblock$(kt_mtd kernel1)" bs=4096 count=1 conv=notrunc,fsync
}

# An ordinary upgrade with an OEM archive; the new bank is selected, not yet running. Then a repeat
# of it in the same boot.
step_upgrade() {
    kt_upgrade up-a a.img oem
    kt_rc get-a get_boot_idx
    [ -f /kelpvar/config1/oem_root/etc/oem.conf ] ||
        echo "KT-FAIL up-a: the OEM archive was not unpacked for bank 1"
    # The same image again, onto the bank that already holds it: nothing to erase.
    kt_upgrade rep a.img
    kt_rc get-rep get_boot_idx
}

# The reboot after it, from the new bank: no marker, an upgrade of the other bank, and a second
# upgrade in the same boot (the marker is present then; the same bank is written again).
step_reboot() {
    [ -e /var/lock/bootidx_changed ] && echo "KT-FAIL reboot: the change marker survived the reboot"
    kt_rc get get_boot_idx
    mkdir -p /kelpvar/config0/oem_root && : >/kelpvar/config0/oem_root/stale
    kt_upgrade up-b b.img nooem
    [ -e /kelpvar/config0/oem_root/stale ] && echo "KT-FAIL up-b: .nooem did not clear bank 0's OEM files"
    kt_rc get-b get_boot_idx
    kt_upgrade up-c c.img
    kt_rc get-c get_boot_idx
}

# Failures before and during the writes. root1 is read-only in this boot's device tree.
step_fail_write() {
    kt_upgrade model wrongmodel.img
    kt_upgrade crc badcrc.img
    kt_upgrade ro a.img
    kt_rc get get_boot_idx
}

# A read-back that differs: another writer scribbles on kernel1 once the root write has begun,
# after the kernel payload reached the flash and before it is read back.
step_fail_verify() {
    kdev=/dev/mtdblock$(kt_mtd kernel1)
    (kwatch | while read -r tag stage pct; do
        if [ "$tag" = KT-P ] && [ "$stage" = 4 ]; then
            dd if=/dev/zero of="$kdev" bs=4096 seek=64 count=1 conv=notrunc,fsync 2>/dev/null
            echo "KT-SCRIBBLE $kdev"
            break
        fi
    done) &
    scribbler=$!
    kt_upgrade verify a.img
    kill $scribbler 2>/dev/null
    kt_rc get get_boot_idx
}

# The armhf build of the same sources, on the same flash.
step_armhf() {
    PATH=/opt/armhf/sbin:$PATH
    grep -q ld-linux-armhf.so.3 "$(command -v fwupgrade)" || echo "KT-FAIL armhf: $(command -v fwupgrade) is not the armhf build"
    # Its own event library in the place of the armel one.
    mount -o bind /opt/armhf/lib/libevt.so /lib/libevt.so
    kt_rc get0 get_boot_idx
    kt_rc set1 set_boot_idx 1
    kt_rc set0 set_boot_idx 0
    kt_upgrade up-a a.img
    kt_rc get1 get_boot_idx
}

# Upgrades that the host cuts short (it kills the emulator after "KT-ARM cut").
step_cut_plain() {
    kt_upgrade cut n.img
}

# The script names the other bank than the one the system booted from.
step_cut_disagree() {
    kt_rc set-other set_boot_idx "$(( 1 - $(sed -n 's/.*bootopt=\([01]\).*/\1/p' /proc/cmdline) ))"
    kt_upgrade cut n.img
}

# A second upgrade in the same boot; the first one completes.
step_cut_second() {
    kt_upgrade first a.img
    kt_upgrade cut n.img
}

# The boot after a cut: the bank the script names runs, and an upgrade completes.
step_recover() {
    kt_rc get get_boot_idx
    kt_upgrade after r.img
    kt_rc get-after get_boot_idx
}
