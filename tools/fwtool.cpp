// SPDX-License-Identifier: MIT
#include "fwtool.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fw_version.h"
#include "md5.h"

namespace
{

struct family {
    const char *name;
    int (*run)(int argc, char **argv);
    const char *summary;
};

const family g_families[] = {
    {"image", fwtool_image, "create, inspect, sign and verify firmware images"},
    {"key", fwtool_key, "make Ed25519 keys that sign images"},
    {"sandbox", fwtool_sandbox, "create, stage and reboot simulated devices"},
    {"status", fwtool_status, "show a simulated device's banks, boot script and last upgrade"},
    {"progress", fwtool_progress, "show the upgrade's shared-memory progress record"},
};

void usage(FILE *out)
{
    fprintf(out, "usage: fwtool <command> [args]\n       fwtool --help | --version\n\n"
                 "commands:\n");
    for (const family &f : g_families)
        fprintf(out, "  %-9s %s\n", f.name, f.summary);
    fprintf(out, "\n'fwtool <command> --help' describes each command.\n"
                 "Exit status: 0 success, 1 a failed check, 2 bad usage or unreadable input.\n");
}

// As the device program says it: the package name, the version and the commit it was built from.
void version()
{
    printf("fwtool (fwupgrade) %s%s%s\n", g_fw_version, g_fw_commit[0] != '\0' ? " commit " : "",
           g_fw_commit);
}

} // namespace

bool fwtool_is_help(const char *arg)
{
    return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0;
}

void fwtool_usage_error(const char *command, const char *format, ...)
{
    va_list ap;
    const char *sep = command[0] != '\0' ? " " : "";

    fprintf(stderr, "fwtool%s%s: ", sep, command);
    va_start(ap, format);
    vfprintf(stderr, format, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
    fprintf(stderr, "; try 'fwtool%s%s --help'\n", sep, command);
}

void fwtool_md5_hex(const uint8_t *md5, char *out)
{
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < MD5_DIGEST_LEN; i++) {
        out[2 * i] = kDigits[md5[i] >> 4];
        out[2 * i + 1] = kDigits[md5[i] & 0xF];
    }
    out[2 * MD5_DIGEST_LEN] = '\0';
}

int main(int argc, char **argv)
{
    static char help_flag[] = "--help";

    if (argc < 2) {
        fwtool_usage_error("", "a command is needed");
        return FWTOOL_USAGE;
    }
    if (fwtool_is_help(argv[1]) || (strcmp(argv[1], "help") == 0 && argc == 2)) {
        usage(stdout);
        return FWTOOL_OK;
    }
    if (strcmp(argv[1], "--version") == 0) {
        version();
        return FWTOOL_OK;
    }
    // "fwtool help CMD" is "fwtool CMD --help".
    const bool help_of = strcmp(argv[1], "help") == 0;
    char *help_argv[] = {argv[help_of ? 2 : 1], help_flag, nullptr};
    for (const family &f : g_families) {
        if (strcmp(help_argv[0], f.name) != 0)
            continue;
        return help_of ? f.run(2, help_argv) : f.run(argc - 1, argv + 1);
    }
    fwtool_usage_error("", "unknown command '%s'", help_argv[0]);
    return FWTOOL_USAGE;
}
