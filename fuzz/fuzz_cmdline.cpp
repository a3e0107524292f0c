// SPDX-License-Identifier: MIT
// The boot override on arbitrary kernel command lines: any bytes, NULs included, read in a buffer
// of exactly their length, checked against a plain backward search of the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bank_state.h"

namespace
{

// The bank of the last "bootopt=0" or "bootopt=1", searched backwards; -2 when neither occurs.
int last_bank(const uint8_t *data, size_t size)
{
    const char word[] = "bootopt=";
    const size_t n = strlen(word);

    for (size_t i = size; i-- > 0;) {
        if (i + n < size && memcmp(data + i, word, n) == 0 &&
            (data[i + n] == '0' || data[i + n] == '1'))
            return data[i + n] - '0';
    }
    return -2;
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
    int want = last_bank(data, size);
    if (got != want)
        abort();
    free(buf);
    return 0;
}
