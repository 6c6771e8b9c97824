// aetfst: converts a Texsim AET trace into an FST file.
//
// The file is written under a temporary name beside the output, checked
// by reading it back, and renamed into place: a failed run never leaves a
// half-written file under the output's name, and the library, which
// replaces whatever its path names, never touches anything but a regular
// file of the user's.
#include "fstapi.h"
#include "fstlib_checks.h"
#include "fstwriter.h"
#include "output.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A whole message on standard error.
void say(const std::string &line) {
    int fd = STDERR_FILENO;
    write_fd(&fd, line.data(), line.size());
}

std::string could_not_write(const char *out, const std::string &reason) {
    return "Could not write '" + std::string(out) + "': " + reason + ", exiting.\n";
}

// The file that the FST replaces: the output itself, a regular file or a
// name not yet taken, or the regular file a link names.  Anything else (a
// device, a FIFO, a directory, a link to one or to nothing) is refused
// with the reason.
bool output_file(const char *out, std::string &file, std::string &reason) {
    struct stat sb {};
    if (stat(out, &sb) == 0) {
        char *real = S_ISREG(sb.st_mode) ? realpath(out, nullptr) : nullptr;
        if (real == nullptr) {
            reason = S_ISREG(sb.st_mode) ? std::strerror(errno) : "not a regular file";
            return false;
        }
        file = real;
        std::free(real);
        return true;
    }
    if (errno != ENOENT || lstat(out, &sb) == 0) {
        reason = errno == ENOENT ? "not a regular file" : std::strerror(errno);
        return false;
    }
    file = out;
    return true;
}

// The temporary folder, the file in it and the library's hierarchy file
// beside that, removed on every way out (the folder and the hierarchy file
// on success too); they and the messages of the handlers below are kept in
// fixed buffers, for the handlers.
char temp_dir[PATH_MAX + 16], temp[PATH_MAX + 32], temp_hier[PATH_MAX + 48];
struct Message {
    char text[PATH_MAX + 128];
    size_t size;
};
Message no_space, no_memory;

void remove_temp() {
    unlink(temp);
    unlink(temp_hier);
    rmdir(temp_dir);
}

[[noreturn]] void abandon(const Message &m) {
    remove_temp();
    (void)!write(STDERR_FILENO, m.text, m.size);
    _exit(1);
}
// The library maps its working files into memory: where no space backs
// them, touching them raises SIGBUS.  Where an allocation fails it ends the
// process, or leaves a null pointer that it touches later (SIGSEGV).  Each
// ends here, with the message and nothing left behind.
void on_bus(int) {
    abandon(no_space);
}
void on_fault(int) {
    abandon(no_memory);
}
void on_exit_call() {
    abandon(no_memory);
}
// A signal that ends the process: the files go, then the signal does what
// it would have done.
void on_end(int sig) {
    remove_temp();
    signal(sig, SIG_DFL);
    raise(sig);
}

void set_message(Message &m, const std::string &text) {
    m.size = std::min(text.size(), sizeof m.text);
    std::memcpy(m.text, text.data(), m.size);
}

void handle(int sig, void (*handler)(int)) {
    struct sigaction was {};
    sigaction(sig, nullptr, &was);
    if (was.sa_handler == SIG_IGN) return; // ignored (nohup, a script's background job)
    struct sigaction now {};
    now.sa_handler = handler;
    sigaction(sig, &now, nullptr);
}

// A folder of its own in the output's folder, which no other user can
// write in (the library replaces the names it writes, and the reader makes
// its own beside the file), so that the rename stays on one file system;
// the file in it has a short name, so that the library's ".hier" beside it
// is never too long.
bool make_temp(const std::string &file, const char *out, std::string &reason) {
    const size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash);
    if (folder.size() > PATH_MAX) {
        reason = std::strerror(ENAMETOOLONG);
        return false;
    }
    std::snprintf(temp_dir, sizeof temp_dir, "%s/.aetfst-XXXXXX", folder.c_str());
    if (mkdtemp(temp_dir) == nullptr) {
        reason = std::strerror(errno);
        return false;
    }
    std::snprintf(temp, sizeof temp, "%s/t.fst", temp_dir);
    std::snprintf(temp_hier, sizeof temp_hier, "%s.hier", temp);
    set_message(no_space, could_not_write(out, std::strerror(ENOSPC)));
    set_message(no_memory, could_not_write(out, std::strerror(ENOMEM)));
    aet_fst_on_exit = on_exit_call;
    handle(SIGBUS, on_bus);
    handle(SIGSEGV, on_fault);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ, SIGALRM, SIGUSR1, SIGUSR2})
        handle(sig, on_end);
    return true;
}

// Whether the library's reader opens the finished file.  The reader, too,
// may end the process or fault on a file it cannot read, so it runs in a
// child of its own; 0, or the errno of a failed fork.
int reads_back(bool &ok) {
    const pid_t child = fork();
    if (child < 0) return errno;
    if (child == 0) {
        for (int sig : {SIGBUS, SIGSEGV, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            signal(sig, SIG_DFL);
        aet_fst_on_exit = nullptr;
        _exit(fstReaderOpen(temp) != nullptr ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return 0;
}

void notices(const FstNotes &n) {
    if (n.times_back > 0) {
        say("aetfst: " + std::to_string(n.times_back) +
            " time records went back; the changes after them were written at the largest time "
            "so far.\n");
    }
    if (n.undeclared > 0) {
        say("aetfst: " + std::to_string(n.undeclared) +
            " value changes for identifiers that no facility declares were left out.\n");
    }
}

// Converts the trace open at fd into the temporary file; true when the
// file is complete and reads back.  The status is the trace's.
bool convert(int fd, Status &s, FstNotes &notes, std::string &reason) {
    AetState st;
    s = in_open_fd(st.handle, fd) ? read_design(st) : Status{Fault::no_memory};
    if (s.fault != Fault::none) return false;
    void *fst = fstWriterCreate(temp, 1);
    if (fst == nullptr) {
        reason = std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    Progress progress;
    progress_start(progress, "aetfst", st.handle, isatty(STDERR_FILENO) != 0);
    s = write_fst(st, fst, temp, notes, progress);
    fstWriterClose(fst);
    progress_end(progress);
    if (!notes.declared) return false;
    if (aet_fst_error != 0) {
        s = Status{};
        reason = std::strerror(aet_fst_error);
        return false;
    }
    bool ok = false;
    if (int err = reads_back(ok); err != 0 || !ok) {
        s = Status{};
        reason = err != 0 ? std::strerror(err) : "the finished file does not read back";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        say("Usage:\n------\n" + std::string(argc > 0 ? argv[0] : "aetfst") +
            " filename fstfile\n\nFST is then written to fstfile.\n");
        return 1;
    }
    const char *trace = argv[1], *out = argv[2];
    std::string file, reason;
    if (!output_file(out, file, reason)) {
        say(could_not_write(out, reason));
        return 1;
    }
    int fd = open(trace, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        say("Could not open '" + std::string(trace) + "', exiting.\n");
        return 1;
    }
    if (!make_temp(file, out, reason)) {
        say(could_not_write(out, reason));
        return 1;
    }
    Status s;
    FstNotes notes;
    const bool written = convert(fd, s, notes, reason);
    close(fd);
    if (written && rename(temp, file.c_str()) != 0) reason = std::strerror(errno);
    const bool kept = written && reason.empty();
    remove_temp(); // after the rename, only the folder is left
    notices(notes);
    if (s.fault != Fault::none) {
        say(status_message(s, trace, ("'" + std::string(out) + "'").c_str()));
        return 1;
    }
    if (!kept) {
        say(could_not_write(out, reason));
        return 1;
    }
    return 0;
}
