// SPDX-License-Identifier: MIT
// The OEM archive's extractor on arbitrary tar streams, unpacking for real into a fresh directory
// each time. After every input, whatever it made must be plain files and directories inside that
// directory, with no set-id, sticky or group/other write bit, and nothing beside it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_scratch.h"
#include "oem_tar.h"
#include "upgrade_oem.h"

namespace
{

enum : int {
    WALK_FDS = 16,
};

std::string g_base; // holds only the output directory
std::string g_out;
int g_stream = -1; // the input, as the extractor reads it from gzip's pipe

void check(bool ok)
{
    if (!ok)
        abort();
}

int check_entry(const char *path, const struct stat *st, int /*flag*/, struct FTW * /*ftw*/)
{
    check(g_base == path || g_out == path ||
          (strncmp(path, g_out.c_str(), g_out.size()) == 0 && path[g_out.size()] == '/'));
    check(S_ISDIR(st->st_mode) || S_ISREG(st->st_mode));
    if (g_base != path)
        check((st->st_mode & 07022) == 0);
    return 0;
}

int remove_entry(const char *path, const struct stat * /*st*/, int /*flag*/, struct FTW *ftw)
{
    if (ftw->level > 0)
        check(remove(path) == 0);
    return 0;
}

void remove_base()
{
    nftw(g_base.c_str(), remove_entry, WALK_FDS, FTW_DEPTH | FTW_PHYS);
    rmdir(g_base.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    g_base = fuzz_scratch_dir("fuzz_oem_tar");
    check(!g_base.empty());
    g_out = g_base + "/out";
    g_stream = memfd_create("oem_tar", MFD_CLOEXEC);
    check(g_stream >= 0);
    atexit(remove_base);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check(ftruncate(g_stream, 0) == 0 && pwrite(g_stream, data, size, 0) == (ssize_t)size);
    check(lseek(g_stream, 0, SEEK_SET) == 0);
    check(mkdir(g_out.c_str(), 0700) == 0);
    int dir = open(g_out.c_str(), O_RDONLY | O_DIRECTORY);
    check(dir >= 0);

    static oem_tar t;
    int rc = oem_unpack(dir, g_stream, &t, false);
    check(rc <= 0 && rc >= OEM_TAR_ERR_SINK);
    check(strlen(oem_tar_member(&t)) <= OEM_TAR_NAME_MAX);
    close(dir);

    check(nftw(g_base.c_str(), check_entry, WALK_FDS, FTW_PHYS) == 0);
    nftw(g_base.c_str(), remove_entry, WALK_FDS, FTW_DEPTH | FTW_PHYS);
    return 0;
}
