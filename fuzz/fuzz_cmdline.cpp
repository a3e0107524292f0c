// SPDX-License-Identifier: MIT
// The boot override on arbitrary kernel command lines: any bytes, NULs included, read in a buffer
// of exactly their length, checked against a plain search of the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "boot_idx.h"

namespace
{

bool holds(const uint8_t *data, size_t size, const char *word)
{
    size_t n = strlen(word);

    for (size_t i = 0; i + n <= size; i++) {
        if (memcmp(data + i, word, n) == 0)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy of exactly `size` bytes: a read past the command line is caught, not hidden by the
    // fuzzer's own buffer.
    char *buf = static_cast<char *>(malloc(size > 0 ? size : 1));

    if (buf == nullptr)
        return 0;
    if (size > 0)
        memcpy(buf, data, size);
    int got = boot_cmdline_override(buf, size);
    int want = holds(data, size, "bootopt=1") ? 1 : holds(data, size, "bootopt=0") ? 0 : -2;
    if (got != want)
        abort();
    free(buf);
    return 0;
}
