// SPDX-License-Identifier: MIT
// --status under every command name: what the device holds and would boot, read without changing
// anything (no lock file, no marker, no store, no unlock; the progress record is only attached
// when it exists, read-only).
#pragma once

#include <cstddef>

#include "bank_record.h"

enum : int {
    STATUS_JSON_STRING_MAX = 256, // room for any escaped string value --status writes
};

// Prints the running bank and how it was decided, the bank the script names, each bank's record,
// the change marker and the last upgrade's progress record: one field per line, or with `json`
// one JSON object on one line. 0 when the configuration block was read (also when its script
// names neither bank); else the BOOT_ERR_* code of the read, told on standard error by `command`.
int status_main(const char *command, bool json);

// The state --status names for a bank record that bank_record_read answered `read_rc` for (and,
// when 0, filled `r` with): "none", "being-written", "verified", "unreadable" or "malformed".
const char *status_record_state(int read_rc, const bank_record *r);

// Writes `text` as a JSON string (quotes included, NUL-terminated) into `out`: quote, backslash
// and control characters escaped, other bytes as they are. Returns the length, or -1 when it does
// not fit in `size` bytes (nothing is written then but a NUL when `size` > 0).
int status_json_quote(const char *text, char *out, size_t size);
