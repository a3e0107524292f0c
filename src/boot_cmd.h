// SPDX-License-Identifier: MIT
// The get_boot_idx, set_boot_idx and redboot_cli commands.
#pragma once

// Commands: the result becomes the exit status. Arguments asking for help or the version are
// answered before the commands run (main).
int get_boot_idx_main(int argc, char **argv);
int set_boot_idx_main(int argc, char **argv);
int redboot_cli_main(int argc, char **argv);
// The usage of `command` ("get_boot_idx", "set_boot_idx", or redboot_cli's for any other name)
// on standard output.
void boot_command_usage(const char *command);
void redboot_cli_print_usage(void);
