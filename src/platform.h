// SPDX-License-Identifier: MIT
// Where the program finds the device's files. On the controller every path is the compiled-in
// constant; the simulated build (sim/platform_sim.cpp) resolves the same constants under the
// directory named by FWUP_SYSROOT, so that the real program runs end to end on a machine without
// MTD flash.
#pragma once

#include <cstddef>

enum : int {
    PLATFORM_PATH_MAX = 4096, // room for any resolved path or command line
};

// Checks the platform before any command runs. Returns 0, or -1 when the simulated root is
// unusable (unset, empty or not a directory); the one-line reason is printed here.
int platform_init(void);

// Resolves an absolute device path. Returns `path` itself on the device; in the simulated build
// the path under the root, written into `buf`, or nullptr when it does not fit in `size` bytes.
const char *platform_path(const char *path, char *buf, size_t size);

// Resolves the absolute paths inside a shell command line (words that begin with '/'). Returns
// `cmd` itself on the device; in the simulated build each such word is put under the root and
// shell-quoted (a trailing "/*" stays outside the quotes), or nullptr when it does not fit or
// when another word holds a '/' (a path it could not move under the root).
const char *platform_command(const char *cmd, char *buf, size_t size);

// 1 when the resolved path names a device a partition is written through (a block device on
// the controller; in the simulated build the regular file that stands for it), else 0.
int platform_is_device(const char *resolved_path);

// Copies the running kernel's release name (at most size - 1 characters and a NUL).
// Returns 0, or -1 when it cannot be read (a failing uname).
int platform_release(char *buf, size_t size);

// The key of the upgrade's shared-memory progress record: the fixed key on the controller; in the
// simulated build the one the simulated device records in g_sim_key_file (so that devices never
// see each other's runs), else the fixed key.
int platform_progress_key(void);

// Where a simulated device records its progress key: "0x" and eight hex digits.
constexpr char g_sim_key_file[] = "/etc/fwupgrade-sim.key";
