// aetconv: converts a Texsim AET trace into VCD text on standard output.
#include "aet.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

double seconds_since(const timespec &t0) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - t0.tv_sec) + double(now.tv_nsec - t0.tv_nsec) / 1e9;
}

// The sink onto standard output that also keeps one self-updating line on
// a terminal's standard error for conversions that take more than a
// second: bytes read (of the total, for files), rate and elapsed time.
struct ProgressSink {
    int fd = STDOUT_FILENO;
    const Input *in = nullptr;
    timespec start{};
    double last = 0;
    bool shown = false;
};

void show_progress(ProgressSink &p) {
    double t = seconds_since(p.start);
    if (t < 1.0 || t - p.last < 0.2) return;
    p.last = t;
    double read = double(in_offset(*p.in)) / 1e6, total = double(p.in->size) / 1e6;
    char of[48] = " read";
    if (total > 0)
        std::snprintf(of, sizeof of, " (%.0f%%) of %.1f MB", 100.0 * read / total, total);
    auto secs = static_cast<unsigned>(t);
    char line[160];
    int n =
        std::snprintf(line, sizeof line, "\raetconv: %.1f MB%s, %.0f MB/s, %u:%02u elapsed\033[K",
                      read, of, read / t, secs / 60, secs % 60);
    if (n > 0 && write(STDERR_FILENO, line, std::min<size_t>(size_t(n), sizeof line - 1)) > 0)
        p.shown = true;
}

int write_with_progress(void *ctx, const char *text, size_t n) {
    auto &p = *static_cast<ProgressSink *>(ctx);
    int err = write_fd(&p.fd, text, n);
    show_progress(p);
    return err;
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
    AetState st;
    ProgressSink progress;
    progress.in = &st.handle;
    clock_gettime(CLOCK_MONOTONIC, &progress.start);
    // The progress line only where the screen shows standard error and not
    // the VCD itself.
    Sink sink{write_fd, &progress.fd};
    if (isatty(STDERR_FILENO) && !isatty(STDOUT_FILENO))
        sink = Sink{write_with_progress, &progress};
    Status s{Fault::no_memory};
    if (in_open_fd(st.handle, fd) && out_open(st.out, sink)) s = convert(st);
    // Whatever was converted reaches standard output, failures included; a
    // failed write is reported before any fault of the trace, since it is
    // what lost data.
    if (!out_flush(st.out)) s = write_failed(st.out);
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
