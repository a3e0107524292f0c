// SPDX-License-Identifier: MIT
// The firmware upgrade of the staged image.
#pragma once

// Runs the whole procedure: 0 or an UPGRADE_ERR_* code (progress.h), told once on standard error.
int upgrade_main(void);
