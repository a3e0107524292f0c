// SPDX-License-Identifier: MIT
// The firmware upgrade procedure: lock, target bank, writes, read-back, OEM customisation, the
// boot switch, and the exit steps that always run.
#include "upgrade.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "bank_record.h"
#include "bank_state.h"
#include "lock_files.h"
#include "mtd_part.h"
#include "notify.h"
#include "paths.h"
#include "platform.h"
#include "progress.h"
#include "rb_config.h"
#include "report.h"
#include "upgrade_image.h"
#include "upgrade_oem.h"

namespace
{

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

// Replaces the target bank's record with one of `state`: "being written" before the first
// payload byte, so that nothing boots a half-written bank on its word; "verified" with what the
// bank then holds. 0 or UPGRADE_ERR_RECORD (told by bank_record_write, or here).
int record_target(const upgrade_run *run, int state)
{
    bank_record r;
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bank_record_paths[run->target_idx != 0], buf, sizeof(buf));

    if (path == nullptr)
        return upgrade_fail(UPGRADE_ERR_RECORD, "the bank record path %s is too long",
                            g_bank_record_paths[run->target_idx != 0]);
    memset(&r, 0, sizeof(r));
    r.state = state;
    r.installed = (int64_t)time(nullptr);
    if (r.installed < 0)
        r.installed = 0;
    if (state == BANK_VERIFIED) {
        memcpy(r.kernel_md5, run->payloads[PAYLOAD_KERNEL].md5, MD5_DIGEST_LEN);
        memcpy(r.root_md5, run->payloads[PAYLOAD_ROOT].md5, MD5_DIGEST_LEN);
        memcpy(r.image_sha256, run->image_sha256, SHA256_LEN);
        memcpy(r.kernel_sha256, run->payloads[PAYLOAD_KERNEL].sha256, SHA256_LEN);
        memcpy(r.root_sha256, run->payloads[PAYLOAD_ROOT].sha256, SHA256_LEN);
        memcpy(r.version, run->version, sizeof(r.version));
        r.is_signed = run->is_signed;
        memcpy(r.signer, run->signer, KEY_ID_LEN);
    }
    return bank_record_write(path, &r) == 0 ? UPGRADE_OK : UPGRADE_ERR_RECORD;
}

// Steps after the run holds the lock and the record; the exit steps follow in the caller. The
// image and its signature are judged before anything is unlocked; the bank's record says "being
// written" before its first byte changes, and "verified" before the script names it.
int upgrade_body(upgrade_run *run)
{
    int result = load_staged_image(run);

    if (result == UPGRADE_OK)
        result = check_image_signature(run);
    if (result == UPGRADE_OK)
        result = prepare_target(run);
    if (result == UPGRADE_OK)
        result = leave_target(run);
    if (result == UPGRADE_OK)
        result = record_target(run, BANK_BEING_WRITTEN);
    if (result != UPGRADE_OK)
        return result;

    result = write_payloads(run);
    if (result == UPGRADE_OK) {
        install_oem(run->target_idx);
        result = verify_payloads(run);
    }
    if (result == UPGRADE_OK)
        result = record_target(run, BANK_VERIFIED);
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
