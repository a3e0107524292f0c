// The commands over the boot script: get_boot_idx, set_boot_idx and redboot_cli.
#include "boot_idx.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

enum : int {
    CMD_ERR_USAGE = -1,   // a command's argument count is wrong
    CMD_ERR_NO_BANK = -1, // get_boot_idx: no usable bank in the script
    DECIMAL_BASE = 10,
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

// The bank argument read as atoi reads it (leading white space, one sign, digits up to the first
// other character, 0 without digits). A value beyond int is clamped instead of left to the
// platform's conversion, so that it stays a bank the set operation refuses on every build.
int parse_bank_arg(const char *text)
{
    long value = strtol(text, nullptr, DECIMAL_BASE);

    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return (int)value;
}

[[noreturn]] void redboot_cli_usage(void)
{
    printf("Usage:\n");
    for (const cli_command &c : g_cli_commands) {
        if (c.value != nullptr)
            printf("    redboot_cli %s <%s>\n", c.name, c.value);
        else
            printf("    redboot_cli %s\n", c.name);
    }
    printf("Example:\n");
    printf("    redboot_cli update_exec \"root=/dev/ram0 initrd=0x0a000000,10M "
           "console=ttyS0,115200\"\n");
    printf("    redboot_cli update_load 0x0c000000\n");
    printf("    redboot_cli update_scrub 0x0a000000\n");
    printf("\n");
    exit(-1);
}

} // namespace

int get_boot_idx_main(int /*argc*/, char ** /*argv*/)
{
    int bank = do_flash_boot_idx(BOOT_OP_GET_IDX, 0, nullptr);

    return bank == 0 || bank == 1 ? bank : CMD_ERR_NO_BANK;
}

int set_boot_idx_main(int argc, char **argv)
{
    if (argc != 2)
        return CMD_ERR_USAGE;
    return do_flash_boot_idx(BOOT_OP_SET_IDX, parse_bank_arg(argv[1]), nullptr);
}

int redboot_cli_main(int argc, char **argv)
{
    if (argc <= 1)
        redboot_cli_usage();
    for (const cli_command &c : g_cli_commands) {
        if (strcmp(argv[1], c.name) != 0)
            continue;
        if (c.value == nullptr)
            return do_flash_boot_idx(c.operation, 0, nullptr);
        if (argc <= 2)
            redboot_cli_usage();
        // Every sub-command reports its operation's result, so a failed edit never exits 0.
        return do_flash_boot_idx(c.operation, 0, argv[2]);
    }
    redboot_cli_usage();
}
