// SPDX-License-Identifier: MIT
// Reading strace output (-f -ttt -T) of one run of the upgrade or of the floor program, and
// finding the landmark calls that divide the run into phases. Host-side code.
#pragma once

#include <cmath>
#include <string>
#include <vector>

namespace fwbench
{

struct event {
    int pid;
    double start;    // entry time of the call (s, wall clock)
    double duration; // from -T; 0 when unknown
    std::string name;
    std::string text; // the whole line after the timestamp
};

// Reads the trace at `path`: one event per system call (entry time, and duration once resumed),
// and the process exits as events named "+++". Empty when the file cannot be read.
std::vector<event> read_trace(const std::string &path);

// Phase boundaries, as entry times of landmark calls of the traced program. Time between two
// landmarks belongs to the phase that the first one opens.
struct landmarks {
    double exec = NAN, first_own = NAN, image = NAN, after_image = NAN, write = NAN, verify = NAN,
           after_verify = NAN, pause = NAN, pause_end = NAN, exit = NAN, gone = NAN;
    double shell = 0; // time inside system(): spawn to reaped shell
    int shells = 0;
};

// The landmarks of the first process of the trace. `root` is the device root, `kernel` and
// `rootfs` the target bank's device files; `ours` tells the upgrade from the floor program,
// which has no phases of its own before reading the image.
landmarks find_landmarks(const std::vector<event> &ev, const std::string &root,
                         const std::string &kernel, const std::string &rootfs, bool ours);

} // namespace fwbench
