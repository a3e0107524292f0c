// SPDX-License-Identifier: MIT
// Every file, directory and command the device program names, in one table. Each is the path on
// the controller; platform_path() and platform_command() resolve it where the program runs.
#pragma once

// The change marker: the bank that was running when the boot index last changed.
constexpr char g_bootidx_changed_path[] = "/var/lock/bootidx_changed";
constexpr char g_cmdline_path[] = "/proc/cmdline";
constexpr char g_mtab_path[] = "/etc/mtab";

// The flash partitions and the driver's write-protect controls.
constexpr char g_proc_mtd[] = "/proc/mtd";
constexpr char g_lock_ctl[] = "/proc/strata/lock";
constexpr char g_unlock_ctl[] = "/proc/strata/unlock";
constexpr char g_chr_prefix[] = "/dev/mtd";
constexpr char g_blk_prefix[] = "/dev/mtdblock";

// Event reporting and the front-panel display.
constexpr char g_evt_library[] = "/lib/libevt.so";
constexpr char g_dte_path[] = "/proc/dte";

// What the caller stages for an upgrade.
constexpr char g_fw_image_path[] = "/tmpfs/upgrading/fw.bin";
constexpr char g_nooem_path[] = "/tmpfs/upgrading/.nooem";
constexpr char g_oem_archive_path[] = "/tmpfs/upgrading/oem.bin";

// The OEM install's helpers. The decompressor reads the archive from its standard input: the
// descriptor opened by the program, never the path again.
constexpr char g_gunzip_cmd[] = "gzip -dc";
constexpr char g_shell[] = "/bin/sh";
constexpr char g_null_device[] = "/dev/null";

struct oem_bank {
    const char *config; // directory that holds the bank's OEM directory
    const char *clean;  // removes the private directories a cut or refused run left
};

constexpr oem_bank g_oem_banks[] = {
    {"/kelpvar/config0", "rm -rf /kelpvar/config0/.oem_root.new /kelpvar/config0/.oem_root.old"},
    {"/kelpvar/config1", "rm -rf /kelpvar/config1/.oem_root.new /kelpvar/config1/.oem_root.old"},
};

// Image signing: the detached signature beside the staged image, and the trusted keys (one
// Ed25519 public key per "*.pem" file; without any, unsigned images are installed).
constexpr char g_fw_sig_path[] = "/tmpfs/upgrading/fw.sig";
constexpr char g_keyring_dir[] = "/etc/fwupgrade/keys";

// What each bank holds (bank_record.h), beside the bank's OEM directory.
constexpr const char *g_bank_record_paths[] = {
    "/kelpvar/config0/bank_record",
    "/kelpvar/config1/bank_record",
};
