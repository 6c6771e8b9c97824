// aetconv: converts a Texsim AET trace into VCD text on standard output.
#include "aet.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string status_message(const Status &s, const char *path) {
    char line[512];
    switch (s.fault) {
    case Fault::none:
        return {};
    case Fault::not_aet:
        return "Not a Texsim format AET, exiting.\n";
    case Fault::truncated:
        std::snprintf(line, sizeof line, "Trace truncated at offset %" PRIu64 ", exiting.\n",
                      s.offset);
        break;
    case Fault::bad_facbytes:
        std::snprintf(line, sizeof line, "Negative name table size %d, exiting.\n", s.value);
        break;
    case Fault::unknown_tag:
        std::snprintf(line, sizeof line, "[%02x] Unknown tag, exiting.\n", s.value);
        break;
    case Fault::cut_record:
        std::snprintf(line, sizeof line,
                      "Trace truncated inside the record at offset %" PRIu64 ", exiting.\n",
                      s.offset);
        break;
    case Fault::read_error:
        std::snprintf(line, sizeof line, "Could not read '%s': %s, exiting.\n", path,
                      std::strerror(s.err));
        break;
    case Fault::write_error:
        std::snprintf(line, sizeof line, "Could not write the VCD: %s, exiting.\n",
                      std::strerror(s.err));
        break;
    }
    return line;
}

namespace {

// One self-updating line on a terminal's standard error for conversions
// that take more than a second: bytes read (of the total, for files), rate
// and elapsed time.  Nothing at all when standard error is not a terminal.
struct Progress {
    const AetState *st = nullptr;
    uint64_t total = 0; // 0: size unknown (a pipe)
    timespec start{};
    double last = 0;
    bool shown = false;
};

double seconds_since(const timespec &t0) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - t0.tv_sec) + double(now.tv_nsec - t0.tv_nsec) / 1e9;
}

void show_progress(void *ctx) {
    auto &p = *static_cast<Progress *>(ctx);
    double t = seconds_since(p.start);
    if (t < 1.0 || t - p.last < 0.2) return;
    p.last = t;
    double read = double(in_offset(p.st->handle));
    char line[160];
    int n;
    auto secs = static_cast<unsigned>(t);
    if (p.total > 0)
        n = std::snprintf(line, sizeof line,
                          "\raetconv: %.1f of %.1f MB (%.0f%%), %.0f MB/s, %u:%02u elapsed\033[K",
                          read / 1e6, double(p.total) / 1e6, 100.0 * read / double(p.total),
                          read / 1e6 / t, secs / 60, secs % 60);
    else
        n = std::snprintf(line, sizeof line, "\raetconv: %.1f MB read, %.0f MB/s, %u:%02u elapsed\033[K",
                          read / 1e6, read / 1e6 / t, secs / 60, secs % 60);
    if (n > 0 && write(STDERR_FILENO, line, std::min<size_t>(size_t(n), sizeof line - 1)) > 0)
        p.shown = true;
}

void erase_progress(const Progress &p) {
    if (p.shown && write(STDERR_FILENO, "\r\033[K", 4) < 0) {
        // Nothing more can be done for a terminal that went away.
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage:\n------\n%s filename\n\nVCD is then output to stdout.\n",
                     argc > 0 ? argv[0] : "aetconv");
        return 1;
    }
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "Could not open '%s', exiting.\n", argv[1]);
        return 1;
    }
    AetState st;
    in_open_fd(st.handle, fd);
    out_open(st.out, STDOUT_FILENO);
    Progress progress;
    if (isatty(STDERR_FILENO)) {
        progress.st = &st;
        struct stat sb;
        if (fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode)) progress.total = uint64_t(sb.st_size);
        clock_gettime(CLOCK_MONOTONIC, &progress.start);
        st.handle.progress = {show_progress, &progress};
        st.out.progress = {show_progress, &progress};
    }
    Status s = convert(st);
    // Whatever was converted reaches standard output, failures included.
    if (!out_finish(st.out) && s.fault == Fault::none)
        s = Status{Fault::write_error, 0, 0, st.out.error};
    close(fd);
    erase_progress(progress);
    if (s.fault == Fault::none) return 0;
    std::fputs(status_message(s, argv[1]).c_str(), stderr);
    return 1;
}
