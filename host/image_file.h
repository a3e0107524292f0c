// SPDX-License-Identifier: MIT
// Image files made from and read into payloads in memory, for the host tools and the tests.
#pragma once

#include <cstdint>

#include "datablk.h"
#include "image.h"

// Loads both payloads (blocks[0] kernel, blocks[1] root, both empty) from an image file and
// copies the model name into the 16-byte `name_out` (may be null). 0, a DATA_ERR_* code of the
// transfer, or an IMAGE_ERR_* code. Buffers stay attached to the records on every path. A header
// whose payload offset or size exceeds 2^31 - 1 is refused as short (DATA_ERR_READ), records
// untouched; an empty payload loads without a buffer.
int load_image_from_file(char *name_out, datablk *blocks, const char *path);
// Fills the 76 bytes at `header` from the model name (may be null) and the two records. Always 0.
int image_to_header(const char *name, const datablk *blocks, uint8_t *header);
// Writes a complete image file. 0, DATA_ERR_OPEN, or DATA_ERR_WRITE for any failed write (and
// for payloads that would not end below 2^31).
int dump_image_to_file(const char *name, const datablk *blocks, const char *path);
// Loads the kernel from the whole of one file and the root from another; digests untouched.
// 0, DATA_ERR_OPEN, DATA_ERR_NOMEM, a read's code, or DATA_ERR_SEEK when the opened file's
// length cannot be had or exceeds 2^31 - 1. An empty file loads without a buffer.
int load_image_from_file331(datablk *blocks, const char *kernel_path, const char *root_path);
