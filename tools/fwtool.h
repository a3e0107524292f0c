// fwtool: host and device companion of the firmware tool. Each sub-command family has its own
// entry; the result is the exit status (0 success, 1 a failed check, 2 bad usage or I/O).
#pragma once

#include <cstddef>
#include <cstdio>

enum : int {
    FWTOOL_OK = 0,
    FWTOOL_FAILED = 1, // the thing checked is bad, or the operation did not succeed
    FWTOOL_USAGE = 2,  // bad arguments or unreadable input
};

// argv[0] is the family name ("image", "sandbox", "progress").
int fwtool_image(int argc, char **argv);
int fwtool_sandbox(int argc, char **argv);
int fwtool_progress(int argc, char **argv);

// True when `arg` asks for help ("--help" or "-h").
bool fwtool_is_help(const char *arg);

// The command list of one family ("image", "sandbox"), from its table of sub-commands (each with
// `name` and `summary`).
template <typename Sub, size_t N>
void fwtool_family_usage(FILE *out, const char *family, const Sub (&subs)[N])
{
    fprintf(out, "usage: fwtool %s <command> [args]\n\ncommands:\n", family);
    for (const Sub &s : subs)
        fprintf(out, "  %-7s %s\n", s.name, s.summary);
    fprintf(out, "\n'fwtool %s <command> --help' describes each command.\n", family);
}
