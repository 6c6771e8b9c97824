// portlines: prints every line received on the serial port /dev/ttyS1,
// framed by colons and followed by its byte count, until a line that begins
// with 'z'; then puts the port's previous settings back.
//
// Once the port's settings are changed, every way out restores them through
// restore_port(): the stop line, a failure (of the settings, a read, a
// hang-up, the output) and every signal that would end the process.  The
// port is restored before anything is reported, so that a standard error
// that blocks cannot hold the port in the monitor's settings.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char *device = "/dev/ttyS1";

int STOP = 0; // set by the stop line

int port = -1;
dev_t port_device = 0; // the device opened at start: only it gets the settings back
termios saved;         // the settings found at start; read before anything restores them

constexpr int other_device = -1;
constexpr char not_restored[] = "/dev/ttyS1: could not put the previous settings back";

// Puts the saved settings back: 0, else an errno or other_device.  After a
// hang-up the descriptor no longer reaches the port, which is then opened
// anew, if its name still leads to the same device: one plugged in since
// must not get the port's settings.
int restore_port() {
    if (tcsetattr(port, TCSANOW, &saved) == 0) return 0;
    if (errno != EIO) return errno;
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat sb {};
    int result = fstat(fd, &sb) != 0 ? errno : sb.st_rdev != port_device ? other_device : 0;
    if (result == 0 && tcsetattr(fd, TCSANOW, &saved) != 0) result = errno;
    close(fd);
    return result;
}

// The end of a run: restores the port, then says why the monitor stops
// (for a failure, subject and reason) and whether the settings could not
// be put back.  The status: 0 after the stop line with the settings back,
// else 255.
int leave(const char *subject = nullptr, const char *reason = nullptr) {
    int restored = restore_port();
    if (subject != nullptr) std::fprintf(stderr, "%s: %s\n", subject, reason);
    if (restored != 0) {
        std::fprintf(stderr, "%s: %s\n", not_restored,
                     restored == other_device ? "another device now has its name"
                                              : std::strerror(restored));
    }
    return subject != nullptr || restored != 0 ? -1 : 0;
}

// Restores the port, then lets the signal end the process as it would have
// (the handler is reset to the default action on entry).
void on_signal(int sig) {
    int saved_errno = errno;
    if (restore_port() != 0) {
        [[maybe_unused]] ssize_t n = write(STDERR_FILENO, not_restored, sizeof not_restored - 1);
        n = write(STDERR_FILENO, "\n", 1);
    }
    errno = saved_errno;
    raise(sig);
}

// Every catchable signal whose default action ends the process, the real-time
// ones included.  One that is ignored at start stays ignored, so that nohup
// and the background jobs of scripts keep working.
void catch_ending_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESETHAND;
    sigfillset(&sa.sa_mask);
    auto catch_one = [&sa](int sig) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
    };
    for (int sig : {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,
                    SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
                    SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS})
        catch_one(sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        catch_one(sig);
}

// Canonical input at 38400 baud, 8N1, RTS/CTS, built from a cleared record:
// control-D ends a line, reads take at least one byte, and every other
// control character is disabled.
termios monitor_settings() {
    termios t;
    std::memset(&t, 0, sizeof t);
    t.c_cflag = CRTSCTS | CS8 | CLOCAL | CREAD;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    t.c_iflag = IGNPAR | ICRNL;
    t.c_oflag = 0;
    t.c_lflag = ICANON;
    for (int cc : {VINTR, VQUIT, VERASE, VKILL, VTIME, VSWTC, VSTART, VSTOP, VSUSP, VEOL, VREPRINT,
                   VDISCARD, VWERASE, VLNEXT, VEOL2})
        t.c_cc[cc] = 0;
    t.c_cc[VEOF] = 4;
    t.c_cc[VMIN] = 1;
    return t;
}

// Applies the settings and reads them back: a driver may accept the call
// yet keep some settings of its own.  The reason on failure, else null.
const char *apply(const termios &want) {
    termios got;
    if (tcsetattr(port, TCSANOW, &want) != 0 || tcgetattr(port, &got) != 0)
        return std::strerror(errno);
    constexpr tcflag_t line = CSIZE | CSTOPB | PARENB | CRTSCTS | CLOCAL | CREAD;
    if ((got.c_cflag & line) != (want.c_cflag & line) || got.c_iflag != want.c_iflag ||
        got.c_oflag != want.c_oflag || got.c_lflag != want.c_lflag || cfgetispeed(&got) != B38400 ||
        cfgetospeed(&got) != B38400)
        return "the port kept settings of its own";
    return nullptr;
}

// Descriptors 0, 1 and 2 are opened onto /dev/null where they are closed,
// so that the port can never become standard output and receive the entries.
bool open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) return false;
    return true;
}

// A read of 0 bytes is a control-D at the start of a line while the line is
// up; after a hang-up every read returns 0 at once.
bool hung_up() {
    pollfd p{port, POLLIN, 0};
    termios now;
    return (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP)) || tcgetattr(port, &now) != 0;
}

// True when fd is the port itself, which the monitor never writes: by its
// own device number, or as a terminal that stands for it under a name of its
// own (/dev/tty for the controlling terminal, /dev/console), whose device
// TIOCGDEV gives, encoded as stat encodes it.
bool is_port(int fd) {
    struct stat sb {};
    unsigned int dev = 0;
    return fstat(fd, &sb) == 0 && S_ISCHR(sb.st_mode) &&
           (sb.st_rdev == port_device || (ioctl(fd, TIOCGDEV, &dev) == 0 && dev == port_device));
}

// One entry, ":<line up to its first NUL>:<count>\n", written whole; a
// standard output left non-blocking by another program is waited for.
bool print_entry(const char *line, ssize_t count) {
    char entry[320];
    int n = std::snprintf(entry, sizeof entry, ":%s:%d\n", line, static_cast<int>(count));
    pollfd ready{STDOUT_FILENO, POLLOUT, 0};
    for (const char *p = entry; n > 0;) {
        ssize_t w = write(STDOUT_FILENO, p, static_cast<size_t>(n));
        if (w < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (w < 0) poll(&ready, 1, -1); // for room, after an interruption or on a full output
        p += w < 0 ? 0 : w;
        n -= w < 0 ? 0 : static_cast<int>(w);
    }
    return true;
}

// Opens the port for the monitor's sole use and reads the settings to put
// back, changing nothing; on failure says why and gives false.
bool take_port() {
    if (!open_standard_descriptors()) {
        std::perror("/dev/null");
        return false;
    }
    // Not blocking on open: a port whose settings lack CLOCAL would wait for
    // a carrier; the monitor's own settings set CLOCAL.
    port = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct stat sb {};
    if (port < 0 || fstat(port, &sb) != 0) {
        std::perror(device);
        return false;
    }
    // An output redirected onto the port would send the entries out on the
    // line: refuse, with a message only where it does not go to the port.
    port_device = sb.st_rdev;
    if (is_port(STDERR_FILENO)) return false;
    if (is_port(STDOUT_FILENO)) {
        std::fprintf(stderr, "standard output: is the port %s itself\n", device);
        return false;
    }
    // Exclusive use, before anything is read or changed: a second monitor
    // would split the lines with this one and save its settings as the
    // port's own.  The lock ends with the process.
    if (flock(port, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "%s: %s\n", device,
                     errno == EWOULDBLOCK ? "in use by another program" : std::strerror(errno));
        return false;
    }
    // Without readable settings there is nothing to restore: change nothing.
    if (tcgetattr(port, &saved) != 0) {
        std::perror(device);
        return false;
    }
    return true;
}

} // namespace

int main() {
    if (!take_port()) return -1;
    catch_ending_signals();

    tcflush(port, TCIFLUSH);
    if (const char *why = apply(monitor_settings())) return leave(device, why);
    int flags = fcntl(port, F_GETFL);
    if (flags < 0 || fcntl(port, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return leave(device, std::strerror(errno));

    char buf[256];
    while (STOP == 0) {
        ssize_t res = read(port, buf, 255);
        if (res < 0 && errno == EINTR) continue;
        // The line hung up: the kernel says so by EIO, or by reads of 0 bytes.
        if ((res < 0 && errno == EIO) || (res == 0 && hung_up())) return leave(device, "Hangup");
        if (res < 0) return leave(device, std::strerror(errno));
        buf[res] = '\0';
        if (!print_entry(buf, res)) return leave("standard output", std::strerror(errno));
        if (buf[0] == 'z') STOP = 1;
    }
    return leave();
}
