// SPDX-License-Identifier: MIT
// The one program behind every command: chosen by the name it is invoked under; help and the
// version are answered here, before any command touches the device.
#include <cstdio>
#include <cstring>

#include "boot_cmd.h"
#include "fw_version.h"
#include "platform.h"
#include "progress.h"
#include "status.h"
#include "upgrade.h"

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

// --status [--json] as the first argument and the rest (redboot_cli: also in its value's place,
// as help is): 1 text, 2 JSON; 0 when there is no --status there; -1 when something else
// follows it.
int status_request(command_id command, int argc, char **argv)
{
    int at = 1;

    if (command == CMD_REDBOOT_CLI && argc >= 3 && argv[2] != nullptr &&
        strcmp(argv[2], "--status") == 0)
        at = 2;
    if (argc <= at || argv[at] == nullptr || strcmp(argv[at], "--status") != 0)
        return 0;
    if (argc == at + 1)
        return 1;
    return argc == at + 2 && argv[at + 1] != nullptr && strcmp(argv[at + 1], "--json") == 0 ? 2
                                                                                            : -1;
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
            "the kernel command line); 230 an unknown option, nothing done; 229 the image is\n"
            "not signed by a key of /etc/fwupgrade/keys (when that keyring exists); 228 the\n"
            "target bank's record in /kelpvar/configN/bank_record could not be written.\n"
            "fwupgrade --status [--json] prints the banks, their records, the change marker and\n"
            "the last upgrade's progress, and changes nothing.\n");
}

} // namespace

int main(int argc, char **argv)
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
    // The state is read like a query: nothing locked for long, made, stored or created.
    int status = status_request(command, argc, argv);
    if (status < 0) {
        fprintf(stderr, "%s: --status takes only --json after it\n",
                name[0] != '\0' ? name : "fwupgrade");
        return command == CMD_UPGRADE ? (int)UPGRADE_ERR_USAGE : -1;
    }
    if (status > 0)
        return platform_init() != 0
                   ? -1
                   : status_main(name[0] != '\0' ? name : "fwupgrade", status == 2);
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
