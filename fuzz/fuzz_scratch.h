// SPDX-License-Identifier: MIT
// A scratch directory for fuzz targets that touch files for every input.
#pragma once

#include <cstdlib>
#include <string>
#include <sys/stat.h>

// Makes a fresh directory named after `name` in $TMPDIR, else in /dev/shm when it exists (every
// input is written and removed again: memory-backed storage keeps that cheap), else in /tmp.
// Returns its path, or "" when it cannot be made.
inline std::string fuzz_scratch_dir(const char *name)
{
    const char *tmp = getenv("TMPDIR");
    struct stat st;
    if (tmp == nullptr || *tmp == '\0')
        tmp = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string templ = std::string(tmp) + "/" + name + ".XXXXXX";
    return mkdtemp(&templ[0]) != nullptr ? templ : std::string();
}
