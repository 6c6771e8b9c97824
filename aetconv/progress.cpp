// The progress line on standard error.
#include "progress.h"

#include "output.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

double seconds_since(const timespec &t0) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - t0.tv_sec) + double(now.tv_nsec - t0.tv_nsec) / 1e9;
}

// Whether the process may draw on its standard error now: not when that is
// its controlling terminal and another process group has the foreground.
// (A terminal that is not the controlling one has no foreground for us.)
bool in_foreground() {
    const pid_t group = tcgetpgrp(STDERR_FILENO);
    return group < 0 || group == getpgrp();
}

void put(const char *line, size_t n) {
    int fd = STDERR_FILENO;
    write_fd(&fd, line, n);
}

} // namespace

void progress_start(Progress &p, const char *program, const Input &in, bool wanted) {
    p = Progress{program, &in, wanted};
    clock_gettime(CLOCK_MONOTONIC, &p.start);
}

void progress_show(Progress &p, uint64_t written) {
    if (!p.wanted) return;
    const double t = seconds_since(p.start);
    if (t < 1.0 || t - p.last < 0.2 || !in_foreground()) return;
    p.last = t;
    const double read = double(in_offset(*p.in)) / 1e6, total = double(p.in->size) / 1e6,
                 out = double(written) / 1e6;
    char of[48] = "";
    if (total > 0)
        std::snprintf(of, sizeof of, " (%.0f%%) of %.1f MB", 100.0 * read / total, total);
    const auto secs = static_cast<unsigned>(t);
    char line[200];
    const int n = std::snprintf(
        line, sizeof line,
        "\r%s: %.1f MB%s read, %.0f MB/s; %.1f MB written, %.0f MB/s; %u:%02u elapsed\033[K",
        p.program, read, of, read / t, out, out / t, secs / 60, secs % 60);
    if (n <= 0) return;
    put(line, std::min<size_t>(size_t(n), sizeof line - 1));
    p.shown = true;
}

void progress_end(Progress &p) {
    if (p.shown && in_foreground()) put("\r\033[K", 4);
    p.shown = false;
}
