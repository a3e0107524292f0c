#include "upgrade.h"

#include <cstring>

#include "boot_idx.h"
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

} // namespace

int upgrade_main(void)
{
    return UPGRADE_ERR_IMAGE; // not built yet: never report success
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
