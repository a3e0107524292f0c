// SPDX-License-Identifier: MIT
// The upgrade's one line on standard error, and the shell commands it runs.
#pragma once

// Prints "fwupgrade: " and the formatted reason on standard error, and returns `code`: every
// failing result is told once, where its facts are known.
int upgrade_fail(int code, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Runs one of the compiled-in command lines; its exit status never matters to the upgrade.
void run_command(const char *cmd);
