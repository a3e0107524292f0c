// SPDX-License-Identifier: MIT
// The commands over the boot script: get_boot_idx, set_boot_idx and redboot_cli. Each failure is
// told once, on standard error, with the device and the reason; the exit status is the result.
#include "boot_cmd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/file.h>
#include <unistd.h>

#include "bank_record.h"
#include "lock_files.h"
#include "paths.h"
#include "rb_config.h"

namespace
{

enum : int {
    CMD_ERR_USAGE = -1,   // a command's argument count is wrong
    CMD_ERR_NO_BANK = -1, // get_boot_idx: no usable bank in the script
};

// redboot_cli sub-commands; the usage is printed from this table too.
struct cli_command {
    const char *name;  // sub-command as typed
    int operation;     // BOOT_OP_* it runs
    const char *value; // placeholder of its required value in the usage, or nullptr for none
};

const cli_command g_cli_commands[] = {
    {"show", BOOT_OP_SHOW, nullptr},
    {"enable_uart", BOOT_OP_ENABLE_UART, nullptr},
    {"disable_uart", BOOT_OP_DISABLE_UART, nullptr},
    {"update_exec", BOOT_OP_UPDATE_EXEC, "exec_cmd"},
    {"update_load", BOOT_OP_UPDATE_LOAD, "start_addr"},
    {"update_scrub", BOOT_OP_UPDATE_SCRUB, "length"},
};

// Why an edit was refused, as the user is told.
const char *const g_refusal_text[] = {
    "",
    "the edited script would not fit in its 512 bytes",
    "the value holds a double quote, a newline or another control character",
    "the value is not a number (0x followed by hex digits, or decimal digits)",
    "\"kernel\" or \"root\" in the script is not followed by a bank digit",
    "the ramdisk size in the script is not a number followed by its unit letter",
    "the text to replace runs across a line end",
    "another part of the script names the other bank, which would still win",
    "the edit would change the bank the script names",
    "the kernel command line is empty: the kernel would find no root",
    "the command line holds \"bootopt=\", which the boot loader appends itself",
    "what the edit writes to is found only on another line than its own",
    "the value is too large for the boot loader's 32 bits (at most 0xffffffff)",
};
static_assert(sizeof(g_refusal_text) / sizeof(g_refusal_text[0]) == BOOT_REFUSE_COUNT,
              "one text per refusal");

const char g_config_label[] = "\"RedBoot config\"";

void set_boot_idx_usage(FILE *out)
{
    fprintf(out,
            "Usage: set_boot_idx 0|1\n"
            "Points the boot script at bank 0 or bank 1 for the next boot; a bank whose record\n"
            "says it is being written is refused (242).\n"
            "       set_boot_idx --status [--json] shows the banks and changes nothing.\n");
}

// Why the bank's record stopped a switch to it.
void report_record(const char *command, const boot_report *r)
{
    int bank = r->record_bank == 1 ? 1 : 0;

    if (r->record_check == BANK_RECORD_ERR_INCOMPLETE)
        fprintf(stderr,
                "%s: bank %d is being written: %s says its firmware was never verified; the boot "
                "script is unchanged\n",
                command, bank, g_bank_record_paths[bank]);
    else
        fprintf(stderr,
                "%s: bank %d cannot be trusted: %s is unreadable or not a bank record; the boot "
                "script is unchanged\n",
                command, bank, g_bank_record_paths[bank]);
}

// The one line that tells why an operation on the block failed.
void report_failure(const char *command, int result, const boot_report *r)
{
    const char *dev = r->device[0] != '\0' ? r->device : "the configuration partition";

    switch (result) {
    case BOOT_ERR_NO_PARTITION:
        fprintf(stderr, "%s: no %s partition in /proc/mtd\n", command, g_config_label);
        break;
    case BOOT_ERR_UNLOCK:
        fprintf(stderr, "%s: the flash driver refused to unlock %s\n", command, dev);
        break;
    case BOOT_ERR_OPEN:
        fprintf(stderr, "%s: %s did not open, or another process kept it busy\n", command, dev);
        break;
    case BOOT_ERR_READ:
        fprintf(stderr, "%s: %s is shorter than the %d-byte configuration block\n", command, dev,
                RB_CONFIG_SIZE);
        break;
    case BOOT_ERR_NO_SCRIPT:
        fprintf(stderr, "%s: the configuration block on %s holds no boot script\n", command, dev);
        break;
    case BOOT_ERR_NOT_FOUND:
        fprintf(stderr, "%s: the boot script names neither bank\n", command);
        break;
    case BOOT_ERR_STORE:
        fprintf(stderr, "%s: storing the configuration block on %s failed\n", command, dev);
        break;
    case BOOT_ERR_MARKER:
        fprintf(stderr,
                "%s: the change marker /var/lock/bootidx_changed could not be made; the boot "
                "script is unchanged\n",
                command);
        break;
    case BOOT_ERR_FOREIGN:
        fprintf(stderr,
                "%s: /var/lock/bootidx_changed is not the change marker this tool makes and the "
                "kernel command line names no bank; the boot script is unchanged\n",
                command);
        break;
    case BOOT_ERR_BANK_RECORD:
        report_record(command, r);
        break;
    case BOOT_ERR_REFUSED:
        fprintf(stderr, "%s: refused: %s; the boot script is unchanged\n", command,
                r->refusal > BOOT_REFUSE_NONE && r->refusal < BOOT_REFUSE_COUNT
                    ? g_refusal_text[r->refusal]
                    : "the edit would break the script");
        break;
    default:
        fprintf(stderr, "%s: failed with code %d\n", command, result);
        break;
    }
}

// Boot commands stay out of a running upgrade: an edit takes the upgrade lock shared, which an
// upgrade holds exclusive for its whole run. Without the configuration partition or its device
// no upgrade can hold it either (and the edit itself tells what is missing). 0 with `*fd` the
// held lock (or -1), or BOOT_ERR_BUSY, told on standard error.
int stay_out_of_upgrades(const char *command, int *fd)
{
    *fd = upgrade_lock_open();
    if (*fd < 0 && errno == ENOENT)
        return 0;
    if (*fd < 0) {
        fprintf(stderr, "%s: cannot open the upgrade lock: %s; the boot script is unchanged\n",
                command, strerror(errno));
        return BOOT_ERR_BUSY;
    }
    if (flock(*fd, LOCK_SH | LOCK_NB) != 0) {
        fprintf(stderr, "%s: a firmware upgrade is running; the boot script is unchanged\n",
                command);
        close(*fd);
        *fd = -1;
        return BOOT_ERR_BUSY;
    }
    return 0;
}

// One edit on behalf of a user. The change marker it may make records the running bank, which a
// switch by hand does not change: it stays.
int run_edit(const char *command, int operation, int argument, const char *text)
{
    boot_report report;
    int lock_fd = -1;
    int result = stay_out_of_upgrades(command, &lock_fd);

    if (result != 0)
        return result;
    result = boot_config_run(operation, argument, const_cast<char *>(text), &report);
    if (lock_fd >= 0)
        close(lock_fd);
    if (result == 0 && operation == BOOT_OP_SET_IDX && report.bank_after != argument) {
        // The script has no bank digits to set: saying success would be a lie.
        result = BOOT_ERR_NOT_FOUND;
    }
    if (result != 0)
        report_failure(command, result, &report);
    else if (!report.stored && operation != BOOT_OP_SET_IDX)
        fprintf(stderr, "%s: nothing to change in the boot script\n", command);
    return result;
}

int run_query(const char *command, int operation)
{
    boot_report report;
    int result = boot_config_run(operation, 0, nullptr, &report);

    if (result < 0)
        report_failure(command, result, &report);
    return result;
}

[[noreturn]] void redboot_cli_usage(void)
{
    redboot_cli_print_usage();
    exit(-1);
}

} // namespace

void redboot_cli_print_usage(void)
{
    printf("Usage:\n");
    for (const cli_command &c : g_cli_commands) {
        if (c.value != nullptr)
            printf("    redboot_cli %s <%s>\n", c.name, c.value);
        else
            printf("    redboot_cli %s\n", c.name);
    }
    printf("    redboot_cli --status [--json]\n");
    printf("Example:\n");
    printf("    redboot_cli update_exec \"root=/dev/ram0 initrd=0x0a000000,10M "
           "console=ttyS0,115200\"\n");
    printf("    redboot_cli update_load 0x0c000000\n");
    printf("    redboot_cli update_scrub 0x0a000000\n");
    printf("\n");
}

void boot_command_usage(const char *command)
{
    if (strcmp(command, "get_boot_idx") == 0)
        printf("Usage: get_boot_idx\n"
               "Exits with the bank (0 or 1) that the boot script loads; 255 when it names "
               "neither\nor cannot be read.\n"
               "       get_boot_idx --status [--json] shows the banks and changes nothing.\n");
    else if (strcmp(command, "set_boot_idx") == 0)
        set_boot_idx_usage(stdout);
    else
        redboot_cli_print_usage();
}

int get_boot_idx_main(int /*argc*/, char ** /*argv*/)
{
    int bank = run_query("get_boot_idx", BOOT_OP_GET_IDX);

    return bank == 0 || bank == 1 ? bank : CMD_ERR_NO_BANK;
}

int set_boot_idx_main(int argc, char **argv)
{
    // Exactly one bank digit: anything else (a word, a sign, "1x", "0x1") is not a bank.
    if (argc != 2 || (strcmp(argv[1], "0") != 0 && strcmp(argv[1], "1") != 0)) {
        set_boot_idx_usage(stderr);
        return argc != 2 ? (int)CMD_ERR_USAGE : (int)BOOT_ERR_BAD_INDEX;
    }
    return run_edit("set_boot_idx", BOOT_OP_SET_IDX, argv[1][0] - '0', nullptr);
}

int redboot_cli_main(int argc, char **argv)
{
    if (argc <= 1)
        redboot_cli_usage();
    for (const cli_command &c : g_cli_commands) {
        if (strcmp(argv[1], c.name) != 0)
            continue;
        if (c.operation == BOOT_OP_SHOW)
            return run_query("redboot_cli show", c.operation);
        if (c.value != nullptr && argc <= 2)
            redboot_cli_usage();
        char command[64];
        snprintf(command, sizeof(command), "redboot_cli %s", c.name);
        // Every sub-command reports its operation's result, so a failed edit never exits 0.
        return run_edit(command, c.operation, 0, c.value != nullptr ? argv[2] : nullptr);
    }
    redboot_cli_usage();
}
