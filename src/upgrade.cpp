#include "upgrade.h"

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

const char g_nooem_path[] = "/tmpfs/upgrading/.nooem";
const char g_oem_archive_path[] = "/tmpfs/upgrading/oem.bin";
const char g_remove_staging_cmd[] = "rm -rf /tmpfs/upgrading";

// Labels with the quotes /proc/mtd prints around them, so that each matches one partition only.
const char *const g_kernel_name[] = {"\"kernel0\"", "\"kernel1\""};
const char *const g_root_name[] = {"\"root0\"", "\"root1\""};

// The OEM customisation commands of one bank.
struct oem_commands {
    const char *clear;  // empty the bank's OEM directory
    const char *create; // make the directory when it is absent
    const char *unpack; // unpack the staged archive into it
};

const oem_commands g_oem_commands[] = {
    {"rm -rf /kelpvar/config0/oem_root/*",
     "[ -d /kelpvar/config0/oem_root ] || mkdir /kelpvar/config0/oem_root",
     "tar zxf /tmpfs/upgrading/oem.bin -C /kelpvar/config0/oem_root/"},
    {"rm -rf /kelpvar/config1/oem_root/*",
     "[ -d /kelpvar/config1/oem_root ] || mkdir /kelpvar/config1/oem_root",
     "tar zxf /tmpfs/upgrading/oem.bin -C /kelpvar/config1/oem_root/"},
};

enum : int {
    TIMESLICE_UPGRADING = 3,
    TIMESLICE_IDLE = 0,
    OEM_ARCHIVE_MAX = 131071, // a larger archive is ignored
    RAMDISK_SIZE_SHIFT = 20,  // the boot script counts the ramdisk in MiB
    SUCCESS_PAUSE_SECONDS = 1,
};

// Runs one of the compiled-in command lines; its exit status never matters to the upgrade.
void run_command(const char *cmd)
{
    char buf[PLATFORM_PATH_MAX];
    const char *resolved = platform_command(cmd, buf, sizeof(buf));

    if (resolved != nullptr) {
        int status = system(resolved);
        (void)status;
    }
}

// True when the unresolved `dev` names a device node that a payload can be written through.
bool device_present(const char *dev)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(dev, buf, sizeof(buf));

    return path != nullptr && platform_is_device(path) != 0;
}

// Finds the bank to write, checks that the payloads fit and that both partitions have their
// device nodes, and unlocks both partitions.
int prepare_target(upgrade_run *run)
{
    const char *kernel_name;
    const char *root_name;
    int kernel_len;
    int root_len;
    int kernel_unlock;
    int root_unlock;

    if (get_boot_idx(&run->current_idx, &run->target_idx, &run->fallback_idx) != 0)
        return UPGRADE_ERR_RESOURCE;
    kernel_name = g_kernel_name[run->target_idx != 0];
    root_name = g_root_name[run->target_idx != 0];
    if (lookup_mtd_size(kernel_name, &run->kernel_part_size) != 0 ||
        lookup_mtd_size(root_name, &run->root_part_size) != 0)
        return UPGRADE_ERR_RESOURCE;
    if (run->payloads[PAYLOAD_KERNEL].size > run->kernel_part_size ||
        run->payloads[PAYLOAD_ROOT].size > run->root_part_size)
        return UPGRADE_ERR_RESOURCE;
    // Without an erase size (0) every chunk is synced, as on a flash with small blocks.
    (void)lookup_mtd_erasesize(kernel_name, &run->kernel_erase_size);
    (void)lookup_mtd_erasesize(root_name, &run->root_erase_size);
    kernel_len = lookup_mtd_block_device(kernel_name, run->kernel_dev);
    root_len = lookup_mtd_block_device(root_name, run->root_dev);
    if (kernel_len <= 0 || root_len <= 0)
        return UPGRADE_ERR_RESOURCE;
    // Opening a missing node for writing would create a plain file in /dev; it would read back
    // intact, and the script would switch to a bank whose flash was never written.
    if (!device_present(run->kernel_dev) || !device_present(run->root_dev))
        return UPGRADE_ERR_RESOURCE;
    kernel_unlock = unlock_mtd_device(run->kernel_dev);
    root_unlock = unlock_mtd_device(run->root_dev);
    if (kernel_unlock != 0 || root_unlock != 0)
        return UPGRADE_ERR_RESOURCE;
    return UPGRADE_OK;
}

// The bank's OEM directory follows the staged request; nothing here changes the result.
void install_oem(int bank)
{
    const oem_commands *cmds = &g_oem_commands[bank != 0];
    char buf[PLATFORM_PATH_MAX];
    const char *path;
    FILE *marker = nullptr;
    struct stat st;

    path = platform_path(g_nooem_path, buf, sizeof(buf));
    if (path != nullptr)
        marker = fopen(path, "r");
    if (marker != nullptr) {
        run_command(cmds->clear);
        fclose(marker);
        return;
    }
    path = platform_path(g_oem_archive_path, buf, sizeof(buf));
    if (path != nullptr && stat(path, &st) == 0 && st.st_size <= OEM_ARCHIVE_MAX) {
        run_command(cmds->create);
        run_command(cmds->unpack);
    }
}

// An earlier upgrade of this boot left the script naming the bank about to be rewritten; a power
// cut during the writes would then boot a half-written bank. Point the script at the fall-back
// bank first, so that the ordinary road follows and the switch comes only after verification.
int leave_target(upgrade_run *run)
{
    if (run->current_idx != run->target_idx)
        return UPGRADE_OK;
    if (set_boot_idx(run->fallback_idx) != 0)
        return UPGRADE_ERR_BOOT_SWITCH;
    (void)clear_bootidx_changed();
    run->current_idx = run->fallback_idx;
    return UPGRADE_OK;
}

// After a failed write or verify: the boot script names the fall-back bank again.
int roll_back(const upgrade_run *run, int code)
{
    if (run->current_idx == run->fallback_idx)
        return code;
    if (set_boot_idx(run->fallback_idx) != 0)
        return UPGRADE_ERR_BOOT_SWITCH;
    (void)clear_bootidx_changed();
    return code;
}

// Points the boot script at the written bank, with a ramdisk as large as its root partition.
int select_target(const upgrade_run *run)
{
    int ramdisk_size = -1;
    int new_size = (int)(run->root_part_size >> RAMDISK_SIZE_SHIFT);

    if (run->current_idx == run->target_idx)
        return UPGRADE_OK;
    if (set_boot_idx(run->target_idx) != 0)
        return UPGRADE_ERR_BOOT_SWITCH;
    if (get_boot_ramdisk_size(&ramdisk_size) < 0 || ramdisk_size != new_size)
        (void)set_boot_ramdisk_size(new_size);
    (void)set_bootidx_changed();
    return UPGRADE_OK;
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

    // From here the script names the fall-back bank, never the target: roll_back has nothing to
    // move back and select_target always switches. Both keep their checks as cheap defence.
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

} // namespace
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
    if (platform_init() != 0)
        return -1;

    switch (choose_command(invocation_name(argv[0]))) {
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
