// SPDX-License-Identifier: MIT
// fwtool: host and device companion of the firmware tool. Each sub-command family has its own
// entry; the result is the exit status (0 success, 1 a failed check, 2 bad usage or I/O).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

struct upgrade_progress;

enum : int {
    FWTOOL_OK = 0,
    FWTOOL_FAILED = 1, // the thing checked is bad, or the operation did not succeed
    FWTOOL_USAGE = 2,  // bad arguments or unreadable input
};

// argv[0] is the family name ("image", "sandbox", "progress", "status").
int fwtool_image(int argc, char **argv);
int fwtool_sandbox(int argc, char **argv);
int fwtool_progress(int argc, char **argv);
int fwtool_status(int argc, char **argv);
int fwtool_key(int argc, char **argv);

// The signing commands of fwtool image (fwtool_sign.cpp); argv[0] is the command's name.
int fwtool_image_manifest(int argc, char **argv);
int fwtool_image_sign(int argc, char **argv);
int fwtool_image_verify(int argc, char **argv);

// True when `arg` asks for help ("--help" or "-h").
bool fwtool_is_help(const char *arg);

// Reports a bad argument of `command` ("image create", or "" for fwtool itself) in the one
// wording every command uses: "fwtool COMMAND: MESSAGE; try 'fwtool COMMAND --help'".
void fwtool_usage_error(const char *command, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Lower-case hex of a 16-byte MD5 digest and a NUL: 33 bytes at `out`.
void fwtool_md5_hex(const uint8_t *md5, char *out);

// Runs the checks of `fwtool image info` on the file at `path`: true when every one is good, else
// false with the first that failed in `why` (one line, cut to `why_len` bytes).
bool fwtool_image_check(const char *path, char *why, size_t why_len);

// True when `dir` holds a simulated device (a plain-file proc/mtd, not the kernel's).
bool fwtool_is_sandbox(const char *dir);

// The command list of one family ("image", "sandbox"), from its table of sub-commands (each with
// `name` and `summary`).
template <typename Sub, size_t N>
void fwtool_family_usage(FILE *out, const char *family, const Sub (&subs)[N])
{
    fprintf(out, "usage: fwtool %s <command> [args]\n\ncommands:\n", family);
    for (const Sub &s : subs)
        fprintf(out, "  %-8s %s\n", s.name, s.summary);
    fprintf(out, "\n'fwtool %s <command> --help' describes each command.\n", family);
}

// The sub-command argv[1] names in a family's table. A missing or unknown command and every
// --help (the family's or the sub-command's, anywhere among its arguments) are answered here:
// then null comes back with the exit status in `status`.
template <typename Sub, size_t N>
const Sub *fwtool_pick_sub(const char *family, const Sub (&subs)[N], int argc, char **argv,
                           void (*sub_usage)(FILE *, const Sub &), int *status)
{
    *status = FWTOOL_USAGE;
    if (argc < 2) {
        fwtool_usage_error(family, "a command is needed");
        return nullptr;
    }
    // "fwtool image help [CMD]" answers as "fwtool help image" and "fwtool image CMD --help" do.
    const bool help_word = strcmp(argv[1], "help") == 0;
    if (fwtool_is_help(argv[1]) || (help_word && argc == 2)) {
        fwtool_family_usage(stdout, family, subs);
        *status = FWTOOL_OK;
        return nullptr;
    }
    const char *name = help_word ? argv[2] : argv[1];
    for (const Sub &s : subs) {
        if (strcmp(name, s.name) != 0)
            continue;
        if (help_word) {
            sub_usage(stdout, s);
            *status = FWTOOL_OK;
            return nullptr;
        }
        for (int i = 2; i < argc; i++) {
            if (fwtool_is_help(argv[i])) {
                sub_usage(stdout, s);
                *status = FWTOOL_OK;
                return nullptr;
            }
        }
        return &s;
    }
    fwtool_usage_error(family, "unknown command '%s'", name);
    return nullptr;
}

// ---- JSON output (fwtool_json.cpp): one object per line, written as it goes.

enum : int {
    JSON_MAX_DEPTH = 8, // nesting of objects and arrays
};

struct json_writer {
    FILE *out;                       // where the text goes
    int depth;                       // open objects and arrays below the outermost object
    bool need_comma[JSON_MAX_DEPTH]; // per level: a value was written, the next needs a comma
};

// Writes `len` bytes of `text` as a JSON string: quotes, backslashes and control characters
// escaped; bytes that are not well-formed UTF-8 written as \u00XX.
void json_quote(FILE *out, const char *text, size_t len);
// Opens the outermost object; json_finish closes it and ends the line.
void json_begin(json_writer *w, FILE *out);
void json_finish(json_writer *w);
// Members of the object (or, with `key` null, elements of the array) being written.
void json_object(json_writer *w, const char *key);
void json_end_object(json_writer *w);
void json_array(json_writer *w, const char *key);
void json_end_array(json_writer *w);
void json_string(json_writer *w, const char *key, const char *value); // null: JSON null
void json_int(json_writer *w, const char *key, long long value);
void json_bool(json_writer *w, const char *key, bool value);

// What `fwtool image info` adds when IMAGE.sig sits beside the image: the signed manifest and
// whether it describes the image, as text lines or (with `w`) a "signature" member. Nothing
// when there is no such file.
void fwtool_sig_info(const char *image, json_writer *w);
void json_null(json_writer *w, const char *key);
void json_number(json_writer *w, const char *key, double value);

// ---- The progress record (fwtool_progress.cpp), shared with fwtool status.

enum : int {
    PROGRESS_READ_OK = 0,
    PROGRESS_ABSENT = 1,     // no segment under the key: no upgrade since the system started
    PROGRESS_UNREADABLE = 2, // the segment exists but cannot be read; the reason is given
};

// What the record says of its run, with the upgrade lock: a record that is not final while no
// upgrade holds the lock belongs to a run that died (killed, or the power went).
enum run_state : int { RUN_GOING, RUN_DONE, RUN_FAILED, RUN_INTERRUPTED };

// The device whose record `fwtool progress` reads: the sandbox FWUP_SYSROOT names, else this
// machine ("").
const char *fwtool_progress_root(void);
// The key of the progress record of the device under `root`: the one a sandbox records, else the
// device's fixed key.
unsigned fwtool_progress_key(const char *root);
// Whether an upgrade holds its lock on the device under `root` ("" for this machine): 1 yes,
// 0 no, -1 when it cannot be told.
int fwtool_upgrade_running(const char *root);
// Takes one snapshot of the record of the device under `root`, attached read-only, and judges
// its run. PROGRESS_UNREADABLE comes with a one-line reason (no newline) in `why`, cut to
// `why_len` bytes.
int fwtool_progress_snapshot(const char *root, upgrade_progress *out, run_state *state, char *why,
                             size_t why_len);
// The run's progress over both passes, weighted by bytes: writing is the first half, comparing
// the second. 0..100, or -1 for a failed run (the record then holds the failure code).
int fwtool_overall_percent(const upgrade_progress &r);
// The line `fwtool progress --watch` redraws on a terminal `columns` wide: never longer than
// columns - 1 characters, dropping detail to fit.
void fwtool_bar_line(char *out, size_t len, int columns, int percent, const upgrade_progress &r);
// One line: stage, byte counts and the percent of the whole run, the failure or the interruption.
void fwtool_progress_summary(FILE *out, const upgrade_progress &r, run_state state);
// The record's fields, its stage name, the run's state, both percentages and, for a failed run,
// the failure code and its meaning, as members of the JSON object being written.
void fwtool_progress_json(json_writer *w, const upgrade_progress &r, run_state state);
