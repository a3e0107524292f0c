// SPDX-License-Identifier: MIT
// The files that keep runs apart: the upgrade lock (flock on the configuration partition's
// character device, one bounded wait) and the change marker of the boot.
#pragma once

// What the change marker's path holds, besides the running bank (0 or 1) of a marker this tool
// made.
enum : int {
    BOOT_MARKER_ABSENT = -1,  // nothing: the script has not changed this boot
    BOOT_MARKER_FOREIGN = -2, // something else: another type, owner, mode, link count or content
};

// How boot_config_flock waits.
enum : int {
    FLOCK_WAIT_ANY = 0,    // while anyone holds the lock
    FLOCK_WAIT_SHARED = 1, // only while every holder shares it: an exclusive holder fails at once
    FLOCK_ERR_EXCLUSIVE = -2, // the result when FLOCK_WAIT_SHARED met an exclusive holder
};

// The one bounded wait for a lock on a device: takes flock `how` (LOCK_SH or LOCK_EX) on `fd`,
// polling for at most about `wait_ms` milliseconds while another holds it, as `wait_for` says
// (the routine waits 10 seconds for the device's lock, then fails with BOOT_ERR_OPEN). 0; -1
// when the lock was still held (errno EWOULDBLOCK) or flock failed otherwise;
// FLOCK_ERR_EXCLUSIVE when FLOCK_WAIT_SHARED met an exclusive holder (an upgrade's).
int boot_config_flock(int fd, int how, int wait_ms, int wait_for = FLOCK_WAIT_ANY);

// The upgrade lock: the "RedBoot config" partition's character device, which only root can open
// (the block device's own lock serialises each query and store of the block). An upgrade holds it
// exclusive for its whole run, the boot commands' edits shared. The open descriptor
// (close-on-exec), or -1 with errno set (ENOENT: no such partition or device node).
int upgrade_lock_open(void);

// 0 when this run may upgrade (the upgrade lock held exclusive until upgrade_unlock or the end of
// the process; edits in progress are waited for), non-zero when another run holds it or it
// cannot be taken at all; the reason is told on standard error.
int try_upgrade_lock(void);
// Releases the lock if this process holds it. Always 0.
int upgrade_unlock(void);

// What stands at the change marker's path: the running bank (0 or 1) a marker of this tool
// recorded, or a BOOT_MARKER_* value.
int boot_marker_read(void);
// Makes the marker recording `bank` (written and synced under a name of its own, then renamed
// into place). 0 or BOOT_ERR_MARKER.
int boot_marker_make(int bank);
