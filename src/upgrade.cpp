#include "upgrade.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "boot_idx.h"
#include "data_blk.h"
#include "image.h"
#include "mtd_part.h"
#include "platform.h"

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

// ---- notifications ----

const char g_evt_library[] = "/lib/libevt.so";
const char g_evt_symbol[] = "Evt_log_event";
const char g_dte_path[] = "/proc/dte";
// Lives in the directory that a reboot empties, so a lock never outlives the boot it was taken in.
const char g_upgrade_lock_path[] = "/var/lock/fwupgrade.lock";

enum : int {
    TIMESLICE_TEXT_LEN = 16, // "timeslice=%d" is cut to 15 characters and its NUL
    TIMESLICE_UPGRADING = 3,
    TIMESLICE_IDLE = 0,
    UPGRADE_LOCK_MODE = 0644,
    UPGRADE_LOCK_BUSY = 1, // another run holds the lock, or it cannot be had at all
};

typedef int (*evt_log_fn)(int, int, int, int);

// Descriptor of the held upgrade lock, -1 when this process holds none.
int g_upgrade_lock_fd = -1;

// ---- the upgrade ----

const char g_fw_image_path[] = "/tmpfs/upgrading/fw.bin";
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

const char g_model_tag_first[] = "ZEPH";
const char g_model_tag_second[] = "KOVAX";

enum : int {
    RELEASE_LEN = 65,         // a kernel release name, NUL included
    LOAD_ERR_MODEL = -12,     // load code of a model mismatch
    OEM_ARCHIVE_MAX = 131071, // a larger archive is ignored
    RAMDISK_SIZE_SHIFT = 20,  // the boot script counts the ramdisk in MiB
    SUCCESS_PAUSE_SECONDS = 1,
};

// Everything one upgrade run holds; the exit steps are valid for it from the moment it exists.
struct upgrade_run {
    upgrade_progress *progress;    // attached record, or null: the run goes on without one
    datablk blocks[PAYLOAD_COUNT]; // kernel and root payloads, owned for the whole run
    char image_model[FW_NAME_LEN]; // model name from the image header
    int current_idx;               // bank the boot script is taken to name now
    int target_idx;                // bank written and then selected
    int fallback_idx;              // bank the script must name again after a failure
    uint32_t kernel_part_size;     // bytes of the target kernel partition
    uint32_t root_part_size;       // bytes of the target root partition
    char kernel_dev[MTD_PATH_LEN]; // empty until looked up: the lock routine refuses it
    char root_dev[MTD_PATH_LEN];   // likewise
};

// Readers in other processes follow the record field by field, so every store goes through a
// volatile view and lands in the order written.
void progress_start(upgrade_progress *progress)
{
    volatile upgrade_progress *p = progress;

    if (p == nullptr)
        return;
    p->stage = UPGRADE_STAGE_LOADING;
    p->kernel_total = 0;
    p->kernel_done = 0;
    p->root_total = 0;
    p->root_done = 0;
    p->percent = 0;
}

void progress_stage(upgrade_progress *progress, int32_t stage)
{
    volatile upgrade_progress *p = progress;

    if (p != nullptr)
        p->stage = stage;
}

void progress_begin_write(upgrade_progress *progress, uint32_t kernel_total, uint32_t root_total)
{
    volatile upgrade_progress *p = progress;

    if (p == nullptr)
        return;
    p->stage = UPGRADE_STAGE_WRITE_KERNEL;
    p->kernel_total = kernel_total;
    p->root_total = root_total;
}

void progress_begin_verify(upgrade_progress *progress)
{
    volatile upgrade_progress *p = progress;

    if (p == nullptr)
        return;
    p->stage = UPGRADE_STAGE_VERIFY_KERNEL;
    p->kernel_done = 0;
    p->root_done = 0;
    p->percent = 0;
}

void progress_finish(upgrade_progress *progress, int result)
{
    volatile upgrade_progress *p = progress;

    if (p == nullptr)
        return;
    if (result == UPGRADE_OK) {
        p->stage = UPGRADE_STAGE_DONE;
        return;
    }
    p->stage = UPGRADE_STAGE_FAILED;
    p->percent = static_cast<uint8_t>(result); // the low 8 bits: read as signed, the code
}

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

// Points `*model` at the running model inside `release`: the text after the first '-', up to
// the next one. Null when the release has no '-' or cannot be read.
void find_running_model(char *release, size_t size, char **model)
{
    char *start;
    char *end;

    *model = nullptr;
    if (platform_release(release, size) != 0)
        return;
    start = strchr(release, '-');
    if (start == nullptr)
        return;
    start++;
    end = strchr(start, '-');
    if (end != nullptr)
        *end = '\0';
    *model = start;
}

// Model families share firmware: the text from the first family tag on does not count.
void cut_model_tag(char *model)
{
    char *tag = strstr(model, g_model_tag_first);

    if (tag == nullptr)
        tag = strstr(model, g_model_tag_second);
    if (tag != nullptr)
        *tag = '\0';
}

int map_load_code(int code)
{
    switch (code) {
    case LOAD_ERR_MODEL:
        return UPGRADE_ERR_MODEL;
    case IMAGE_ERR_CHECKSUM:
        return UPGRADE_ERR_CHECKSUM;
    case IMAGE_ERR_MAGIC:
        return UPGRADE_ERR_MAGIC;
    case DATA_ERR_READ:
    case DATA_ERR_OPEN:
    case DATA_ERR_NOMEM:
        return UPGRADE_ERR_RESOURCE;
    default:
        return UPGRADE_ERR_IMAGE;
    }
}

// Loads the staged image and checks it against the running model. 0 or an UPGRADE_ERR_* code.
int load_staged_image(upgrade_run *run)
{
    char release[RELEASE_LEN];
    char path_buf[PLATFORM_PATH_MAX];
    char *running_model = nullptr;
    const char *path;
    int code;

    find_running_model(release, sizeof(release), &running_model);
    path = platform_path(g_fw_image_path, path_buf, sizeof(path_buf));
    if (path == nullptr)
        return UPGRADE_ERR_RESOURCE;
    code = load_image_from_file(run->image_model, run->blocks, path);
    if (code == 0 && running_model != nullptr && run->image_model[0] != '\0') {
        // The loader leaves a NUL within the 16 bytes; keep the buffer terminated regardless.
        run->image_model[FW_NAME_LEN - 1] = '\0';
        cut_model_tag(running_model);
        cut_model_tag(run->image_model);
        if (strcasecmp(running_model, run->image_model) != 0)
            code = LOAD_ERR_MODEL;
    }
    return code == 0 ? UPGRADE_OK : map_load_code(code);
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
    if (run->blocks[PAYLOAD_KERNEL].size > run->kernel_part_size ||
        run->blocks[PAYLOAD_ROOT].size > run->root_part_size)
        return UPGRADE_ERR_RESOURCE;
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

// Writes a payload to the block device at the unresolved `dev`; 0 or the transfer's code.
int write_payload(const datablk *blk, const char *dev, upgrade_progress *progress)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(dev, buf, sizeof(buf));

    if (path == nullptr)
        return DATA_ERR_OPEN;
    return dump_datablk_to_file(blk, path, 0, progress);
}

int verify_payload(const datablk *blk, const char *dev, upgrade_progress *progress)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(dev, buf, sizeof(buf));

    if (path == nullptr)
        return DATA_ERR_OPEN;
    return verify_datablk_with_file(blk, path, progress);
}

// Both payloads are written even when the first fails. 0 or UPGRADE_ERR_WRITE.
int write_payloads(upgrade_run *run)
{
    int kernel_rc;
    int root_rc;

    progress_begin_write(run->progress, run->blocks[PAYLOAD_KERNEL].size,
                         run->blocks[PAYLOAD_ROOT].size);
    kernel_rc = write_payload(&run->blocks[PAYLOAD_KERNEL], run->kernel_dev, run->progress);
    progress_stage(run->progress, UPGRADE_STAGE_WRITE_ROOT);
    root_rc = write_payload(&run->blocks[PAYLOAD_ROOT], run->root_dev, run->progress);
    return kernel_rc != 0 || root_rc != 0 ? UPGRADE_ERR_WRITE : UPGRADE_OK;
}

// Both partitions are compared even when the first differs. 0 or UPGRADE_ERR_VERIFY.
int verify_payloads(upgrade_run *run)
{
    int kernel_rc;
    int root_rc;

    progress_begin_verify(run->progress);
    kernel_rc = verify_payload(&run->blocks[PAYLOAD_KERNEL], run->kernel_dev, run->progress);
    progress_stage(run->progress, UPGRADE_STAGE_VERIFY_ROOT);
    root_rc = verify_payload(&run->blocks[PAYLOAD_ROOT], run->root_dev, run->progress);
    return kernel_rc != 0 || root_rc != 0 ? UPGRADE_ERR_VERIFY : UPGRADE_OK;
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

int evt_log_event(int a, int b, int c, int d)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_evt_library, buf, sizeof(buf));
    void *lib;
    void *sym;
    int ret = -1;

    if (path == nullptr)
        return -1;
    lib = dlopen(path, RTLD_LAZY);
    if (lib == nullptr)
        return -1;
    (void)dlerror();
    sym = dlsym(lib, g_evt_symbol);
    // A symbol that resolves to null is as missing as one that does not resolve.
    if (dlerror() == nullptr && sym != nullptr)
        ret = reinterpret_cast<evt_log_fn>(sym)(a, b, c, d);
    dlclose(lib);
    return ret;
}

void evt_upgrade_start(void)
{
    (void)evt_log_event(UPGRADE_EVT_CLASS, UPGRADE_EVT_START, 0, 0);
}

void evt_upgrade_result(int ok)
{
    (void)evt_log_event(UPGRADE_EVT_CLASS, ok != 0 ? UPGRADE_EVT_SUCCESS : UPGRADE_EVT_FAILURE, 0,
                        0);
}

void update_timeslice(int value)
{
    char text[TIMESLICE_TEXT_LEN];
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_dte_path, buf, sizeof(buf));
    int fd;

    if (path == nullptr || snprintf(text, sizeof(text), "timeslice=%d", value) < 0)
        return;
    fd = open(path, O_WRONLY);
    if (fd == -1)
        return;
    // The control takes the text with its NUL, in one write.
    ssize_t written = write(fd, text, strlen(text) + 1);
    (void)written;
    close(fd);
}

int try_upgrade_lock(void)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path;
    int fd;

    if (g_upgrade_lock_fd >= 0)
        return 0;
    path = platform_path(g_upgrade_lock_path, buf, sizeof(buf));
    if (path == nullptr)
        return UPGRADE_LOCK_BUSY;
    // A lock that cannot be had at all keeps the upgrade out as well: nothing would keep a
    // second run away.
    fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, UPGRADE_LOCK_MODE);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        g_upgrade_lock_fd = fd;
        return 0;
    }
    if (fd >= 0)
        close(fd);
    return UPGRADE_LOCK_BUSY;
}

int upgrade_unlock(void)
{
    if (g_upgrade_lock_fd >= 0) {
        (void)flock(g_upgrade_lock_fd, LOCK_UN);
        close(g_upgrade_lock_fd);
        g_upgrade_lock_fd = -1;
    }
    return 0;
}

upgrade_progress *upgrade_progress_attach(void)
{
    int id = shmget(UPGRADE_PROGRESS_KEY, sizeof(upgrade_progress), UPGRADE_PROGRESS_SHMFLG);
    void *addr;

    if (id == -1)
        return nullptr;
    addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1))
        return nullptr;
    return static_cast<upgrade_progress *>(addr);
}

void upgrade_progress_detach(upgrade_progress *progress)
{
    if (progress != nullptr)
        (void)shmdt(progress);
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
    init_datablk(&run.blocks[PAYLOAD_KERNEL]);
    init_datablk(&run.blocks[PAYLOAD_ROOT]);

    result = upgrade_body(&run);

    (void)lock_mtd_device(run.kernel_dev);
    (void)lock_mtd_device(run.root_dev);
    cleanup_datablk(&run.blocks[PAYLOAD_KERNEL]);
    cleanup_datablk(&run.blocks[PAYLOAD_ROOT]);
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
