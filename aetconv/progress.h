// The progress line: one self-updating line on a terminal's standard error
// for conversions that take more than a second, with the trace read (of its
// size, for files), the output written, their rates and the elapsed time.
#pragma once

#include "input.h"

#include <cstdint>
#include <ctime>

struct Progress {
    const char *program = nullptr;
    const Input *in = nullptr;
    bool wanted = false; // standard error is a terminal that does not show the output
    timespec start{};
    double last = 0;
    bool shown = false;
};

// Starts the clock; the line is drawn only if `wanted`.
void progress_start(Progress &p, const char *program, const Input &in, bool wanted);
// Draws the line, at most five times a second, while the process is in the
// terminal's foreground: a background job neither writes over what the
// user types nor stops on a terminal that forbids it (stty tostop).
void progress_show(Progress &p, uint64_t written);
// Erases the line, if it was drawn.
void progress_end(Progress &p);
