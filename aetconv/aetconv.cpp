// aetconv: converts a Texsim AET trace into VCD text on standard output.
#include "aet.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// One self-updating line on a terminal's standard error for conversions
// that take more than a second: bytes read (of the total, for files), rate
// and elapsed time.
struct Progress {
    const Input *in = nullptr;
    timespec start{};
    double last = 0;
    bool shown = false;
};

double seconds_since(const timespec &t0) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - t0.tv_sec) + double(now.tv_nsec - t0.tv_nsec) / 1e9;
}

void show_progress(void *ctx) {
    auto &p = *static_cast<Progress *>(ctx);
    double t = seconds_since(p.start);
    if (t < 1.0 || t - p.last < 0.2) return;
    p.last = t;
    double read = double(in_offset(*p.in)), total = double(p.in->size);
    char line[160];
    int n = 0;
    auto secs = static_cast<unsigned>(t);
    if (total > 0) {
        n = std::snprintf(line, sizeof line,
                          "\raetconv: %.1f of %.1f MB (%.0f%%), %.0f MB/s, %u:%02u elapsed\033[K",
                          read / 1e6, total / 1e6, 100.0 * read / total, read / 1e6 / t, secs / 60,
                          secs % 60);
    } else {
        n = std::snprintf(line, sizeof line,
                          "\raetconv: %.1f MB read, %.0f MB/s, %u:%02u elapsed\033[K", read / 1e6,
                          read / 1e6 / t, secs / 60, secs % 60);
    }
    if (n > 0 && write(STDERR_FILENO, line, std::min<size_t>(size_t(n), sizeof line - 1)) > 0)
        p.shown = true;
}

// A whole message on standard error, however long the path in it.
void say(const std::string &line) {
    int fd = STDERR_FILENO;
    write_fd(&fd, line.data(), line.size());
}

// Converts the trace open at fd onto standard output; the state and its
// tables are gone when it returns, so that a message can always be made.
Status run(int fd) {
    // A larger pipe lets the conversion run on while the reader catches up,
    // instead of both taking turns on a 64 KiB pipe.
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
    int out_fd = STDOUT_FILENO;
    AetState st;
    Status s{Fault::no_memory};
    Progress progress;
    if (in_open_fd(st.handle, fd) && out_open(st.out, Sink{write_fd, &out_fd})) {
        // Only where the screen shows standard error and not the VCD itself.
        if (isatty(STDERR_FILENO) && !isatty(STDOUT_FILENO)) {
            progress.in = &st.handle;
            clock_gettime(CLOCK_MONOTONIC, &progress.start);
            st.handle.progress = st.out.progress = show_progress;
            st.handle.progress_ctx = st.out.progress_ctx = &progress;
        }
        s = convert(st);
    }
    // Whatever was converted reaches standard output, failures included; a
    // failed write is reported before any fault of the trace, since it is
    // what lost data.
    if (!out_close(st.out)) s = write_failed(st.out);
    if (progress.shown) say("\r\033[K");
    return s;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        say("Usage:\n------\n" + std::string(argc > 0 ? argv[0] : "aetconv") +
            " filename\n\nVCD is then output to stdout.\n");
        return 1;
    }
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        say("Could not open '" + std::string(argv[1]) + "', exiting.\n");
        return 1;
    }
    Status s = run(fd);
    close(fd);
    if (s.fault == Fault::none) return 0;
    say(status_message(s, argv[1]));
    return 1;
}
