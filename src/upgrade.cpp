// SPDX-License-Identifier: MIT
// The front end: the command chosen by the invocation name, and the firmware upgrade procedure.
#include "upgrade.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "boot_idx.h"
#include "data_blk.h"
#include "image.h"
#include "mtd_part.h"
#include "fw_version.h"
#include "platform.h"
#include "upgrade_run.h"

namespace
{

enum command_id { CMD_GET_BOOT_IDX, CMD_SET_BOOT_IDX, CMD_REDBOOT_CLI, CMD_UPGRADE };

struct command_entry {
    const char *name;
    command_id id;
};

const command_entry g_commands[] = {
    {"get_boot_idx", CMD_GET_BOOT_IDX},
    {"set_boot_idx", CMD_SET_BOOT_IDX},
    {"redboot_cli", CMD_REDBOOT_CLI},
};

// The name is what follows the last '/', so a path that ends in '/' gives the empty name.
const char *invocation_name(const char *arg0)
{
    const char *name = arg0;

    for (const char *p = arg0; *p != '\0'; p++) {
        if (*p == '/')
            name = p + 1;
    }
    return name;
}

command_id choose_command(const char *name)
{
    for (const command_entry &c : g_commands) {
        if (strcmp(name, c.name) == 0)
            return c.id;
    }
    return CMD_UPGRADE;
}

// ---- the upgrade ----

const char g_remove_staging_cmd[] = "rm -rf /tmpfs/upgrading";

// Labels with the quotes /proc/mtd prints around them, so that each matches one partition only.
const char *const g_kernel_name[] = {"\"kernel0\"", "\"kernel1\""};
const char *const g_root_name[] = {"\"root0\"", "\"root1\""};

enum : int {
    TIMESLICE_UPGRADING = 3,
    TIMESLICE_IDLE = 0,
    RAMDISK_SIZE_SHIFT = 20, // the boot script counts the ramdisk in MiB
    SUCCESS_PAUSE_SECONDS = 1,
};

// True when the unresolved `dev` names a device node that a payload can be written through.
bool device_present(const char *dev)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(dev, buf, sizeof(buf));

    return path != nullptr && platform_is_device(path) != 0;
}

// The label without its quotes, for messages.
const char *bare_label(const char *label, char *buf, size_t size)
{
    snprintf(buf, size, "%.*s", (int)strlen(label) - 2, label + 1);
    return buf;
}

// The target partition `label` of a payload of `payload_size` bytes: looked up, large enough, with
// a device node. 0 or UPGRADE_ERR_RESOURCE, told on standard error.
int check_partition(const char *what, const char *label, uint32_t payload_size, uint32_t *part_size,
                    char *dev)
{
    char name[MTD_PATH_LEN];

    bare_label(label, name, sizeof(name));
    if (lookup_mtd_size(label, part_size) != 0)
        return upgrade_fail(UPGRADE_ERR_RESOURCE, "no %s partition in /proc/mtd", name);
    if (payload_size > *part_size)
        return upgrade_fail(UPGRADE_ERR_RESOURCE,
                            "the %s payload (%u bytes) does not fit partition %s (%u bytes)", what,
                            payload_size, name, *part_size);
    if (lookup_mtd_block_device(label, dev) <= 0)
        return upgrade_fail(UPGRADE_ERR_RESOURCE, "partition %s has no usable device number", name);
    // Opening a missing node for writing would create a plain file in /dev; it would read back
    // intact, and the script would switch to a bank whose flash was never written.
    if (!device_present(dev))
        return upgrade_fail(UPGRADE_ERR_RESOURCE, "%s of partition %s is not a block device", dev,
                            name);
    return UPGRADE_OK;
}

// Finds the bank to write, checks that the payloads fit and that both partitions have their
// device nodes, and unlocks both partitions. A device enters the run only with its unlock
// request: the exit steps lock what the run holds, and a partition that was never unlocked
// (its partner missing, too small) is no business of this run.
int prepare_target(upgrade_run *run)
{
    const char *kernel_name;
    const char *root_name;
    char kernel_dev[MTD_PATH_LEN] = "";
    char root_dev[MTD_PATH_LEN] = "";
    int result;
    int kernel_unlock;
    int root_unlock;

    result = get_boot_idx(&run->current_idx, &run->target_idx, &run->fallback_idx);
    if (result == BOOT_ERR_FOREIGN)
        return upgrade_fail(UPGRADE_ERR_MARKER,
                            "/var/lock/bootidx_changed is not the change marker this tool makes "
                            "and the kernel command line names no bank: the running bank is "
                            "unknown");
    if (result != 0)
        return upgrade_fail(UPGRADE_ERR_RESOURCE,
                            "the boot script names no bank, or the configuration block cannot be "
                            "read");
    kernel_name = g_kernel_name[run->target_idx != 0];
    root_name = g_root_name[run->target_idx != 0];
    result = check_partition("kernel", kernel_name, run->payloads[PAYLOAD_KERNEL].size,
                             &run->kernel_part_size, kernel_dev);
    if (result == UPGRADE_OK)
        result = check_partition("root", root_name, run->payloads[PAYLOAD_ROOT].size,
                                 &run->root_part_size, root_dev);
    if (result != UPGRADE_OK)
        return result;
    // Without an erase size (0) every chunk is synced, as on a flash with small blocks.
    (void)lookup_mtd_erasesize(kernel_name, &run->kernel_erase_size);
    (void)lookup_mtd_erasesize(root_name, &run->root_erase_size);
    // A refused request is locked again all the same: the driver may have acted on part of it.
    memcpy(run->kernel_dev, kernel_dev, sizeof(run->kernel_dev));
    kernel_unlock = unlock_mtd_device(run->kernel_dev);
    memcpy(run->root_dev, root_dev, sizeof(run->root_dev));
    root_unlock = unlock_mtd_device(run->root_dev);
    if (kernel_unlock != 0 || root_unlock != 0)
        return upgrade_fail(UPGRADE_ERR_RESOURCE, "the flash driver refused to unlock %s",
                            kernel_unlock != 0 ? run->kernel_dev : run->root_dev);
    return UPGRADE_OK;
}

// Moves the script to `bank` (with the ramdisk size `ramdisk_mib`, or -1 to leave it). 0,
// UPGRADE_ERR_MARKER (the store needs a change marker that cannot be made), or
// UPGRADE_ERR_BOOT_SWITCH, told on standard error.
int point_script_at(int bank, int ramdisk_mib, const char *why)
{
    int rc = select_boot_bank(bank, ramdisk_mib);

    if (rc == BOOT_ERR_MARKER || rc == BOOT_ERR_FOREIGN)
        return upgrade_fail(UPGRADE_ERR_MARKER,
                            "the running bank could not be recorded in /var/lock/bootidx_changed; "
                            "the boot script still names bank %d",
                            1 - bank);
    if (rc != 0)
        return upgrade_fail(UPGRADE_ERR_BOOT_SWITCH,
                            "could not point the boot script at bank %d %s (code %d)", bank, why,
                            rc);
    return UPGRADE_OK;
}

// The script must never name the bank about to be written: a power cut during the writes would
// boot it half-written. It names it after an earlier upgrade of this boot, or a manual switch to
// it; the bank the script really names decides, not what the bank state assumed.
int leave_target(upgrade_run *run)
{
    int script_bank = get_boot_bank();

    if (script_bank != run->target_idx)
        return script_bank == 0 || script_bank == 1
                   ? UPGRADE_OK
                   : upgrade_fail(UPGRADE_ERR_RESOURCE, "the boot script names no bank");
    return point_script_at(run->fallback_idx, -1, "before writing the other one");
}

// After a failed write or verify: the boot script names the fall-back bank, as it has since
// leave_target unless something moved it; read, not assumed.
int roll_back(const upgrade_run *run, int code)
{
    if (get_boot_bank() == run->fallback_idx)
        return code;
    if (point_script_at(run->fallback_idx, -1, "after the failure") != UPGRADE_OK)
        return UPGRADE_ERR_BOOT_SWITCH;
    return code;
}

// Points the boot script at the written bank, with a ramdisk as large as its root partition: one
// edit, one store of the configuration block.
int select_target(const upgrade_run *run)
{
    int ramdisk_mib = (int)(run->root_part_size >> RAMDISK_SIZE_SHIFT);

    return point_script_at(run->target_idx, ramdisk_mib, "after writing it");
}

// Steps after the run holds the lock and the record; the exit steps follow in the caller.
int upgrade_body(upgrade_run *run)
{
    int result = load_staged_image(run);

    if (result == UPGRADE_OK)
        result = prepare_target(run);
    if (result == UPGRADE_OK)
        result = leave_target(run);
    if (result != UPGRADE_OK)
        return result;

    result = write_payloads(run);
    if (result == UPGRADE_OK) {
        install_oem(run->target_idx);
        result = verify_payloads(run);
    }
    if (result != UPGRADE_OK)
        return roll_back(run, result);

    result = select_target(run);
    if (result == UPGRADE_OK)
        sleep(SUCCESS_PAUSE_SECONDS);
    return result;
}

bool is_help(const char *arg)
{
    return strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0;
}

bool is_version(const char *arg)
{
    return strcmp(arg, "--version") == 0;
}

// The index of the help or version flag the command answers, 0 when there is none. redboot_cli
// takes one in its value's place too: stored as a kernel command line it would leave the next
// boot without its root.
int info_flag_index(command_id command, int argc, char **argv)
{
    int last = argc - 1;
    int answered = command == CMD_UPGRADE ? last : command == CMD_REDBOOT_CLI ? 2 : 1;

    if (last > answered)
        last = answered;

    for (int i = 1; i <= last; i++) {
        if (argv[i] != nullptr && (is_help(argv[i]) || is_version(argv[i])))
            return i;
    }
    return 0;
}

void print_version(const char *name)
{
    printf("%s (fwupgrade) %s%s%s\n", name[0] != '\0' ? name : "fwupgrade", g_fw_version,
           g_fw_commit[0] != '\0' ? " commit " : "", g_fw_commit);
}

// The first argument that looks like an option the upgrade does not know, 0 when there is none.
int unknown_option_index(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (argv[i] != nullptr && argv[i][0] == '-' && !is_help(argv[i]) && !is_version(argv[i]))
            return i;
    }
    return 0;
}

void upgrade_usage(FILE *out)
{
    fprintf(out,
            "Usage: fwupgrade [-h|--help] [--version]\n"
            "Installs the firmware image staged at /tmpfs/upgrading/fw.bin into the bank that is\n"
            "not running, reads it back, carries the OEM customisation along and points the boot\n"
            "script at it; the new firmware runs after the next reboot. Progress is published in\n"
            "shared memory (key 0x13578642). Exit status: 0 success; 240 image unreadable; 239\n"
            "boot switch failed; 238 another upgrade is running; 237 image missing or short, or\n"
            "target partition missing, too small or locked; 236 bad magic; 235 bad checksum; 234\n"
            "wrong model; 233 write failed; 232 verify failed; 231 the change marker\n"
            "/var/lock/bootidx_changed is not the tool's or cannot be made (without bootopt= on\n"
            "the kernel command line); 230 an unknown option, nothing done.\n");
}

} // namespace

void run_command(const char *cmd)
{
    char buf[PLATFORM_PATH_MAX];
    const char *resolved = platform_command(cmd, buf, sizeof(buf));

    if (resolved != nullptr) {
        int status = system(resolved);
        (void)status;
    }
}

int upgrade_fail(int code, const char *format, ...)
{
    va_list ap;

    fputs("fwupgrade: ", stderr);
    va_start(ap, format);
    // clang-tidy 14 takes `ap` for uninitialised when it checks several files in one run.
    vfprintf(stderr, format, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    fputc('\n', stderr);
    return code;
}

int upgrade_main(void)
{
    upgrade_run run;
    int result;

    // Taken before anything is touched: a run that does not get it leaves the holder's time
    // slice, record, events, partitions and staged files alone.
    if (try_upgrade_lock() != 0)
        return UPGRADE_ERR_LOCKED;

    update_timeslice(TIMESLICE_UPGRADING);
    evt_upgrade_start();
    memset(&run, 0, sizeof(run));
    run.progress = upgrade_progress_attach();
    progress_start(run.progress);

    result = upgrade_body(&run);

    (void)lock_mtd_device(run.kernel_dev);
    (void)lock_mtd_device(run.root_dev);
    release_payloads(&run);
    run_command(g_remove_staging_cmd);
    progress_finish(run.progress, result);
    evt_upgrade_result(result == UPGRADE_OK);
    upgrade_progress_detach(run.progress);
    update_timeslice(TIMESLICE_IDLE);
    upgrade_unlock();
    return result;
}

int fwupgrade_main(int argc, char **argv)
{
    // Without an invocation name there is no command to choose; do nothing rather than upgrade.
    if (argc < 1 || argv == nullptr || argv[0] == nullptr)
        return -1;
    const char *name = invocation_name(argv[0]);
    command_id command = choose_command(name);

    // Asked for help or the version, every command answers and touches nothing: no device root,
    // no lock, no record, no flash. The upgrade otherwise ignores its arguments, so a flag among
    // them is still an answer, never an upgrade; the boot commands read only their first.
    int flag = info_flag_index(command, argc, argv);
    if (flag != 0 && is_version(argv[flag])) {
        print_version(name);
        return 0;
    }
    if (flag != 0) {
        if (command == CMD_UPGRADE)
            upgrade_usage(stdout);
        else
            boot_command_usage(name);
        return 0;
    }
    // A mistyped option (--dry-run, -n) must not run a real upgrade: refused before the lock,
    // the record, the events or the staged files are touched. Words without a '-' stay ignored.
    int unknown = command == CMD_UPGRADE ? unknown_option_index(argc, argv) : 0;
    if (unknown != 0) {
        fprintf(stderr, "fwupgrade: unknown option %s\n", argv[unknown]);
        upgrade_usage(stderr);
        return UPGRADE_ERR_USAGE;
    }
    if (platform_init() != 0)
        return -1;

    switch (command) {
    case CMD_GET_BOOT_IDX:
        return get_boot_idx_main(argc, argv);
    case CMD_SET_BOOT_IDX:
        return set_boot_idx_main(argc, argv);
    case CMD_REDBOOT_CLI:
        return redboot_cli_main(argc, argv);
    case CMD_UPGRADE:
        break;
    }
    return upgrade_main();
}
