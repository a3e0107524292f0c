// SPDX-License-Identifier: MIT
// The RedBoot configuration block on flash: finding the partition, reading the whole block,
// finding the boot script entry, running one operation on the script and storing the block back;
// and the wrappers other modules use.
#include "rb_config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "bank_record.h"
#include "bank_state.h"
#include "byteorder.h"
#include "crc32.h"
#include "lock_files.h"
#include "mtd_part.h"
#include "paths.h"
#include "platform.h"

namespace
{

// The quoted label matches exactly one partition: /proc/mtd prints every name in double quotes.
const char g_redboot_conf_name[] = "\"RedBoot config\"";
const char g_rb_boot_script_data_key[] = "boot_script_data";

enum : int {
    RB_TYPE_END = 0, // type byte that ends the entry list
    RB_TYPE_BOOL = 1,
    RB_TYPE_INT = 2,
    RB_TYPE_STRING = 3,
    RB_TYPE_SCRIPT = 4,
    RB_TYPE_IP = 5,
    RB_TYPE_ESA = 6,
    RB_TYPE_NETPORT = 7,
};

enum : int {
    RB_ENTRY_HEADER_LEN = 4, // type, name length, enable sense, enable-key length
    RB_ENTRY_NAME_LEN = 1,   // offset of the name length in the header
    RB_ENTRY_KEY_LEN = 3,    // offset of the enable-key length in the header
    RB_LEN_WORD = 4,         // boolean, integer, IP address
    RB_LEN_ESA = 8,
    RB_LEN_STRING = 128, // string and network port
};

enum : int {
    VERIFY_CHUNK_LEN = 4096, // read-back of a stored block, piece by piece
};

// The read-back compares whole pieces.
static_assert(RB_CONFIG_SIZE % VERIFY_CHUNK_LEN == 0, "block is a whole number of pieces");

enum : int {
    // How long an operation waits for another's hold on the device before it gives up: long
    // enough for any edit (one 128 KiB block), short enough that a hung holder is reported.
    LOCK_WAIT_MS = 10000,
};

// The frame's own operation: the bank and its ramdisk size in one edit. Outside the codes that
// do_flash_boot_idx takes, so that its callers can never ask for it by number.
enum : int {
    OP_SELECT_BANK = 0x100,
};

// One operation on the block.
struct boot_request {
    int operation;   // BOOT_OP_* code, or OP_SELECT_BANK
    int argument;    // the bank (set, select) or the ramdisk size (set ramdisk)
    int ramdisk_mib; // OP_SELECT_BANK: the new ramdisk size
    char *text;      // an edit's value, or the output of BOOT_OP_GET_SCRIPT
};

enum boot_access { ACCESS_UNKNOWN_OP, ACCESS_BAD_INDEX, ACCESS_READ_ONLY, ACCESS_READ_WRITE };

int config_length(unsigned type)
{
    switch (type) {
    case RB_TYPE_BOOL:
    case RB_TYPE_INT:
    case RB_TYPE_IP:
        return RB_LEN_WORD;
    case RB_TYPE_STRING:
    case RB_TYPE_NETPORT:
        return RB_LEN_STRING;
    case RB_TYPE_SCRIPT:
        return RB_SCRIPT_LEN;
    case RB_TYPE_ESA:
        return RB_LEN_ESA;
    default:
        return 0;
    }
}

const uint8_t *next_config(const uint8_t *entry)
{
    return entry + RB_ENTRY_HEADER_LEN + entry[RB_ENTRY_NAME_LEN] + entry[RB_ENTRY_KEY_LEN] +
           config_length(entry[0]);
}

// The name must be the key with its NUL inside the entry's name field.
bool is_script_name(const uint8_t *name, int name_len)
{
    int key_size = (int)sizeof(g_rb_boot_script_data_key);

    return name_len >= key_size && memcmp(name, g_rb_boot_script_data_key, key_size) == 0;
}

boot_access access_of(int operation, int argument)
{
    switch (operation) {
    case BOOT_OP_GET_IDX:
    case BOOT_OP_GET_RAMDISK_SIZE:
    case BOOT_OP_SHOW:
    case BOOT_OP_GET_SCRIPT:
        return ACCESS_READ_ONLY;
    case BOOT_OP_SET_IDX:
    case OP_SELECT_BANK:
        return argument < 0 || argument > 1 ? ACCESS_BAD_INDEX : ACCESS_READ_WRITE;
    case BOOT_OP_SET_RAMDISK_SIZE:
    case BOOT_OP_ENABLE_UART:
    case BOOT_OP_DISABLE_UART:
    case BOOT_OP_UPDATE_EXEC:
    case BOOT_OP_UPDATE_SCRUB:
    case BOOT_OP_UPDATE_LOAD:
        return ACCESS_READ_WRITE;
    default:
        return ACCESS_UNKNOWN_OP;
    }
}

// Reads until `len` bytes are in or the device ends or fails; returns the count read.
int read_full(int fd, uint8_t *buf, int len)
{
    int total = 0;

    while (total < len) {
        ssize_t n = read(fd, buf + total, (size_t)(len - total));
        if (n <= 0)
            break;
        total += (int)n;
    }
    return total;
}

int write_full(int fd, const uint8_t *buf, int len)
{
    int total = 0;

    while (total < len) {
        ssize_t n = write(fd, buf + total, (size_t)(len - total));
        if (n <= 0)
            break;
        total += (int)n;
    }
    return total;
}

// Reads the stored block back from the device and compares it with `block`: 0 when equal.
int verify_block(int fd, const uint8_t *block)
{
    uint8_t chunk[VERIFY_CHUNK_LEN];

    // Drop the cached pages first so that the comparison sees the device, not the copy just
    // written (a hint only: where it is not honoured the cache is compared).
    posix_fadvise(fd, 0, RB_CONFIG_SIZE, POSIX_FADV_DONTNEED);
    if (lseek(fd, 0, SEEK_SET) != 0)
        return -1;
    for (int done = 0; done < RB_CONFIG_SIZE; done += VERIFY_CHUNK_LEN) {
        if (read_full(fd, chunk, VERIFY_CHUNK_LEN) != VERIFY_CHUNK_LEN ||
            memcmp(chunk, block + done, VERIFY_CHUNK_LEN) != 0)
            return -1;
    }
    return 0;
}

// New CRC, the whole block written from offset 0, synced and read back. 0, or BOOT_ERR_STORE.
int store_block(int fd, uint8_t *block)
{
    put_le32(block + RB_CONFIG_CRC_OFFSET, cyg_crc32(block, RB_CONFIG_CRC_OFFSET));
    if (lseek(fd, 0, SEEK_SET) != 0 || write_full(fd, block, RB_CONFIG_SIZE) != RB_CONFIG_SIZE ||
        fsync(fd) != 0 || verify_block(fd, block) != 0)
        return BOOT_ERR_STORE;
    return 0;
}

int script_bank(char *field)
{
    int modified = 0;

    return boot_script_run(field, BOOT_OP_GET_IDX, 0, nullptr, &modified, nullptr);
}

// The boot loader must never be handed a bank whose payloads are half written, nor one whose
// record cannot be trusted (only the upgrade writes it, whole). 0 when the script may name `bank`;
// else BOOT_ERR_BANK_RECORD with the reason in `report`. A bank without a record boots as it
// always did.
int check_bank_record(int bank, boot_report *report)
{
    char buf[PLATFORM_PATH_MAX];
    const char *path = platform_path(g_bank_record_paths[bank], buf, sizeof(buf));
    int check = path == nullptr ? BANK_RECORD_ERR_READ : bank_record_boot_check(path);

    if (check == 0)
        return 0;
    report->record_bank = bank;
    report->record_check = check;
    return BOOT_ERR_BANK_RECORD;
}

// Whether the edit just run points the script at a bank: a switch or a select asks for it, and
// any other edit that changed the bank the script names did it all the same.
bool points_at_bank(const boot_request *req, int before, int after)
{
    if (after != 0 && after != 1)
        return false;
    return req->operation == BOOT_OP_SET_IDX || req->operation == OP_SELECT_BANK || after != before;
}

// Runs the request on the block read through `fd`, and stores the block when the edit changed
// its bytes: a store rewrites a whole erase block of flash, and one that writes back what the
// flash holds would only wear it and open a window for a torn block.
int run_on_block(int fd, uint8_t *block, const boot_request *req, boot_report *report)
{
    char before[RB_SCRIPT_LEN];
    int modified = 0;
    int script = boot_config_find_script(block);
    int result;

    if (script < 0)
        return BOOT_ERR_NO_SCRIPT;
    char *field = (char *)block + script;
    memcpy(before, field, sizeof(before));
    report->bank_before = script_bank(field);
    if (req->operation == OP_SELECT_BANK)
        result =
            boot_script_select(field, req->argument, req->ramdisk_mib, &modified, &report->refusal);
    else
        result = boot_script_run(field, req->operation, req->argument, req->text, &modified,
                                 &report->refusal);
    if (modified) {
        uint32_t crc = cyg_crc32(block, RB_CONFIG_CRC_OFFSET);
        bool same = memcmp(before, field, sizeof(before)) == 0 &&
                    get_le32(block + RB_CONFIG_CRC_OFFSET) == crc;
        int after = script_bank(field);
        // The bank's record is checked, then the running bank is recorded before the first
        // change of the boot, both under this lock, so that no other edit can change the script
        // between them and the store; a refusal leaves no marker behind.
        int pinned = same || !points_at_bank(req, report->bank_before, after)
                         ? 0
                         : check_bank_record(after, report);
        if (pinned == 0 && !same)
            pinned = boot_state_before_store(report->bank_before);
        if (pinned != 0) {
            memcpy(field, before, sizeof(before));
            result = pinned;
        } else if (!same && store_block(fd, block) != 0) {
            result = BOOT_ERR_STORE;
        }
        report->stored = same || pinned != 0 ? 0 : 1;
    }
    report->bank_after = script_bank(field);
    return result;
}

// The device `path` opened with `flags`, or -1.
int open_device(const char *path, int flags)
{
    char resolved[PLATFORM_PATH_MAX];
    const char *dev = platform_path(path, resolved, sizeof(resolved));

    return dev == nullptr ? -1 : open(dev, flags);
}

// The block is used whatever its CRC says, as it always was; but the boot loader ignores a block
// whose CRC does not match and stops at its prompt, so the user hears of it. Checked at the first
// read of a run only: an upgrade reads the block several times, and after that only its own
// stores (with a matching CRC) change it.
void tell_bad_crc(const uint8_t *block, const char *device)
{
    static bool checked = false;

    if (checked)
        return;
    checked = true;
    uint32_t stored = get_le32(block + RB_CONFIG_CRC_OFFSET);
    uint32_t computed = cyg_crc32(block, RB_CONFIG_CRC_OFFSET);
    if (stored != computed)
        fprintf(stderr,
                "%s: the configuration block on %s has CRC 0x%08lx stored but 0x%08lx computed: "
                "the boot loader would ignore this block\n",
                program_invocation_short_name, device, (unsigned long)stored,
                (unsigned long)computed);
}

// Reads the block through `fd` and runs the request on it.
int run_on_device(int fd, const boot_request *req, boot_report *report)
{
    uint8_t *block = nullptr;
    int result;

    if ((block = (uint8_t *)malloc(RB_CONFIG_SIZE)) == nullptr ||
        read_full(fd, block, RB_CONFIG_SIZE) < RB_CONFIG_SIZE) {
        // No buffer fails like a short device: either way the block never reached memory.
        result = BOOT_ERR_READ;
    } else {
        tell_bad_crc(block, report->device);
        result = run_on_block(fd, block, req, report);
    }
    free(block);
    return result;
}

// An edit between unlock and relock: the device opened for writing, the request run, and the
// descriptor closed before the caller locks the partition again (the driver writes its cached
// data back at the close).
int edit_on_device(const char *path, const boot_request *req, boot_report *report)
{
    int fd = open_device(path, O_RDWR);
    int result = fd < 0 ? BOOT_ERR_OPEN : run_on_device(fd, req, report);

    if (fd >= 0)
        close(fd);
    return result;
}

// The frame: finds the partition, takes the device's lock, reads the block and runs the request
// (an edit between unlock and relock).
int run_request(const boot_request *req, boot_report *report)
{
    boot_access access = access_of(req->operation, req->argument);
    char *path = report->device;
    int lock_fd = -1;
    int result;

    if (access == ACCESS_UNKNOWN_OP) {
        printf("Unknown operation: %d\n", req->operation);
        return BOOT_ERR_UNKNOWN_OP;
    }
    if (access == ACCESS_BAD_INDEX)
        return BOOT_ERR_BAD_INDEX;
    if (lookup_mtd_block_device(g_redboot_conf_name, path) <= 0) {
        path[0] = '\0';
        return BOOT_ERR_NO_PARTITION;
    }
    // The device's lock serialises every use of the block: a query holds it shared so that it
    // never reads a block half stored; an edit holds it exclusive from before the unlock to after
    // the relock, so that no two edits each store a copy missing the other's change, and none
    // writes a partition that another has just locked again. It is taken on a read-only
    // descriptor of its own: the edit's read-write one must not ask for it a second time.
    lock_fd = open_device(path, O_RDONLY);
    if (lock_fd < 0 || boot_config_flock(lock_fd, access == ACCESS_READ_ONLY ? LOCK_SH : LOCK_EX,
                                         LOCK_WAIT_MS) != 0) {
        result = BOOT_ERR_OPEN;
    } else if (access == ACCESS_READ_ONLY) {
        result = run_on_device(lock_fd, req, report);
    } else if (unlock_mtd_device(path) != 0) {
        result = BOOT_ERR_UNLOCK;
    } else {
        result = edit_on_device(path, req, report);
        // Locked again whatever happened: a failed edit must not leave the boot loader's settings
        // open to stray writes.
        lock_mtd_device(path);
    }
    if (lock_fd >= 0)
        close(lock_fd); // releases the device's lock
    return result;
}

void empty_report(boot_report *report)
{
    report->bank_before = BOOT_ERR_NOT_FOUND;
    report->bank_after = BOOT_ERR_NOT_FOUND;
    report->stored = 0;
    report->refusal = BOOT_REFUSE_NONE;
    report->record_bank = -1;
    report->record_check = 0;
    report->device[0] = '\0';
}

} // namespace

int boot_config_find_script(const uint8_t *block)
{
    int pos = RB_CONFIG_LIST_OFFSET;

    // Erased flash has no end marker: the walk stops where an entry would reach the CRC word.
    while (pos + RB_ENTRY_HEADER_LEN <= RB_CONFIG_CRC_OFFSET && block[pos] != RB_TYPE_END) {
        const uint8_t *entry = block + pos;
        int value = pos + RB_ENTRY_HEADER_LEN + entry[RB_ENTRY_NAME_LEN] + entry[RB_ENTRY_KEY_LEN];

        if (value > RB_CONFIG_CRC_OFFSET)
            break;
        if (entry[0] == RB_TYPE_SCRIPT &&
            is_script_name(entry + RB_ENTRY_HEADER_LEN, entry[RB_ENTRY_NAME_LEN]))
            return value + RB_SCRIPT_LEN <= RB_CONFIG_CRC_OFFSET ? value : BOOT_ERR_NO_SCRIPT;
        pos = (int)(next_config(entry) - block);
    }
    return BOOT_ERR_NO_SCRIPT;
}

int boot_config_run(int operation, int argument, char *text, boot_report *report)
{
    boot_request req = {operation, argument, 0, text};

    empty_report(report);
    // Only the codes of the operation table: the frame's own select is not one of them.
    if (operation < BOOT_OP_GET_IDX || operation > BOOT_OP_GET_SCRIPT) {
        printf("Unknown operation: %d\n", operation);
        return BOOT_ERR_UNKNOWN_OP;
    }
    return run_request(&req, report);
}

int boot_config_select(int bank, int ramdisk_mib, boot_report *report)
{
    boot_request req = {OP_SELECT_BANK, bank, ramdisk_mib, nullptr};

    empty_report(report);
    return run_request(&req, report);
}

int do_flash_boot_idx(int operation, int argument, char *text)
{
    boot_report report;

    return boot_config_run(operation, argument, text, &report);
}

int set_boot_idx(int bank)
{
    return do_flash_boot_idx(BOOT_OP_SET_IDX, bank, nullptr);
}

int get_boot_bank(void)
{
    return do_flash_boot_idx(BOOT_OP_GET_IDX, 0, nullptr);
}

int select_boot_bank(int bank, int ramdisk_mib)
{
    boot_report report;
    int result = boot_config_select(bank, ramdisk_mib, &report);

    // A script without the anchors takes no edit: the bank it names is what counts.
    if (result == 0 && report.bank_after != bank)
        result = BOOT_ERR_NOT_FOUND;
    return result;
}
