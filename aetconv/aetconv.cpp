// aetconv: converts a Texsim AET trace into VCD text on standard output.
#include "output.h"
#include "progress.h"
#include "vcd.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// The sink onto standard output, which also draws the progress line.
struct ProgressSink {
    int fd = STDOUT_FILENO;
    uint64_t written = 0;
    Progress progress;
};

int write_with_progress(void *ctx, const char *text, size_t n) {
    auto &p = *static_cast<ProgressSink *>(ctx);
    int err = write_fd(&p.fd, text, n);
    p.written += n;
    progress_show(p.progress, p.written);
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
    Output out;
    ProgressSink sink;
    // The progress line only where the screen shows standard error and not
    // the VCD itself.
    progress_start(sink.progress, "aetconv", st.handle,
                   isatty(STDERR_FILENO) && !isatty(STDOUT_FILENO));
    Status s{Fault::no_memory};
    if (in_open_fd(st.handle, fd) && out_open(out, Sink{write_with_progress, &sink}))
        s = convert(st, out);
    // Whatever was converted reaches standard output, failures included; a
    // failed write is reported before any fault of the trace, since it is
    // what lost data.
    if (!out_flush(out)) s = write_failed(out);
    progress_end(sink.progress);
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
