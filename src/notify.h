// SPDX-License-Identifier: MIT
// The upgrade's notifications to the rest of the controller: the event library and the scheduler
// time slice. Neither result ever changes the upgrade's.
#pragma once

enum : int {
    UPGRADE_EVT_CLASS = 4, // first argument of every upgrade event
    UPGRADE_EVT_START = 0x70006,
    UPGRADE_EVT_SUCCESS = 0x70007,
    UPGRADE_EVT_FAILURE = 0x70008,
};

// Loads /lib/libevt.so around one call of its Evt_log_event. Its result, or -1 when the library
// or the function cannot be loaded.
int evt_log_event(int a, int b, int c, int d);
void evt_upgrade_start(void);
void evt_upgrade_result(int ok); // non-zero: success event
// Writes "timeslice=%d" and its NUL to /proc/dte; failures are not reported.
void update_timeslice(int value);
