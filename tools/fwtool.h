// fwtool: host and device companion of the firmware tool. Each sub-command family has its own
// entry; the result is the exit status (0 success, 1 a failed check, 2 bad usage or I/O).
#pragma once

enum : int {
    FWTOOL_OK = 0,
    FWTOOL_FAILED = 1, // the thing checked is bad, or the operation did not succeed
    FWTOOL_USAGE = 2,  // bad arguments or unreadable input
};

// argv[0] is the family name ("image", "sandbox", "progress").
int fwtool_image(int argc, char **argv);
int fwtool_sandbox(int argc, char **argv);
int fwtool_progress(int argc, char **argv);
