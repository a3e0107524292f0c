// SPDX-License-Identifier: MIT
// The front end: command dispatch, the firmware upgrade, and its notifications (the shared-memory
// progress record, the event log, the scheduler time slice and the upgrade lock).
#pragma once

#include <cstddef>
#include <cstdint>

#include "progress.h"

enum : int {
    UPGRADE_EVT_CLASS = 4, // first argument of every upgrade event
    UPGRADE_EVT_START = 0x70006,
    UPGRADE_EVT_SUCCESS = 0x70007,
    UPGRADE_EVT_FAILURE = 0x70008,
};

enum : int {
    UPGRADE_OK = 0,
    UPGRADE_ERR_IMAGE = -16,
    UPGRADE_ERR_BOOT_SWITCH = -17,
    UPGRADE_ERR_LOCKED = -18,
    UPGRADE_ERR_RESOURCE = -19,
    UPGRADE_ERR_MAGIC = -20,
    UPGRADE_ERR_CHECKSUM = -21,
    UPGRADE_ERR_MODEL = -22,
    UPGRADE_ERR_WRITE = -23,
    UPGRADE_ERR_VERIFY = -24,
    UPGRADE_ERR_MARKER = -25, // the running bank could not be trusted or recorded: nothing stored
    UPGRADE_ERR_USAGE = -26,  // an argument that is an option the upgrade does not know
};

// Loads /lib/libevt.so around one call of its Evt_log_event. Its result, or -1 when the library
// or the function cannot be loaded.
int evt_log_event(int a, int b, int c, int d);
void evt_upgrade_start(void);
void evt_upgrade_result(int ok); // non-zero: success event
// Writes "timeslice=%d" and its NUL to /proc/dte; failures are not reported.
void update_timeslice(int value);
// 0 when this run may upgrade (the upgrade lock held exclusive until upgrade_unlock or the end of
// the process; edits in progress are waited for), non-zero when another run holds it or it
// cannot be taken at all.
int try_upgrade_lock(void);
// Releases the lock if this process holds it. Always 0.
int upgrade_unlock(void);

// Creates or opens the shared record and attaches it; nullptr when that fails.
upgrade_progress *upgrade_progress_attach(void);
void upgrade_progress_detach(upgrade_progress *progress);

// The firmware upgrade of the staged image: 0 or an UPGRADE_ERR_* code.
int upgrade_main(void);

// Chooses the command by the invocation name and returns its result (the process exit status).
int fwupgrade_main(int argc, char **argv);
