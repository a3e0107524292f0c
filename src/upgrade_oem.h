// SPDX-License-Identifier: MIT
// The OEM customisation of the bank an upgrade writes.
#pragma once

// The target bank's OEM customisation, as the staging directory asks; never changes the result.
void install_oem(int bank);

struct oem_tar;
// Unpacks the tar stream read from `tar_fd` into the directory `dir_fd` through the reader `t`,
// which names the member of a refusal. With `durable`, each file and directory entry is synced
// as it is made. Returns 0 or an OEM_TAR_ERR_* code; a refused stream may leave members behind.
int oem_unpack(int dir_fd, int tar_fd, oem_tar *t, bool durable);
