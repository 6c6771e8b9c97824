// portlines: prints every line received on the serial port /dev/ttyS1,
// framed by colons and followed by its byte count, until a line that begins
// with 'z'; then puts the port's previous settings back.
//
// The port's settings are restored from one place, restore_port(), on every
// way out: the stop line, a failed read, a hang-up and the signals that
// normally end a monitor (Ctrl-C, kill, a closed terminal or pipe).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char *device = "/dev/ttyS1";

int STOP = 0; // set by the stop line

int port = -1;
termios saved; // the settings found at start; read before anything restores them

int restore_port() { return tcsetattr(port, TCSANOW, &saved); }

// Restores the port, then lets the signal end the process as it would have
// (the handler is reset to the default action on entry).
void on_signal(int sig) {
    int saved_errno = errno;
    restore_port();
    errno = saved_errno;
    raise(sig);
}

void catch_ending_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&sa.sa_mask, sig);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaction(sig, &sa, nullptr);
}

// Canonical input at 38400 baud, 8N1, RTS/CTS, built from a cleared record.
termios monitor_settings() {
    termios t;
    std::memset(&t, 0, sizeof t);
    t.c_cflag = CRTSCTS | CS8 | CLOCAL | CREAD;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    t.c_iflag = IGNPAR | ICRNL;
    t.c_oflag = 0;
    t.c_lflag = ICANON;
    t.c_cc[VINTR] = 0;
    t.c_cc[VQUIT] = 0;
    t.c_cc[VERASE] = 0;
    t.c_cc[VKILL] = 0;
    t.c_cc[VEOF] = 4; // control-D
    t.c_cc[VTIME] = 0;
    t.c_cc[VMIN] = 1;
    t.c_cc[VSWTC] = 0;
    t.c_cc[VSTART] = 0;
    t.c_cc[VSTOP] = 0;
    t.c_cc[VSUSP] = 0;
    t.c_cc[VEOL] = 0;
    t.c_cc[VREPRINT] = 0;
    t.c_cc[VDISCARD] = 0;
    t.c_cc[VWERASE] = 0;
    t.c_cc[VLNEXT] = 0;
    t.c_cc[VEOL2] = 0;
    return t;
}

// A read of 0 bytes is a control-D at the start of a line while the line is
// up; after a hang-up every read returns 0 at once.
bool hung_up() {
    pollfd p{port, POLLIN, 0};
    termios now;
    return (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP)) || tcgetattr(port, &now) != 0;
}

int fail(const char *what) {
    if (what) std::fprintf(stderr, "%s: %s\n", device, what);
    else std::perror(device);
    restore_port();
    return -1;
}

} // namespace

int main() {
    port = open(device, O_RDWR | O_NOCTTY);
    if (port < 0) {
        std::perror(device);
        return -1;
    }
    // Without readable settings there is nothing to restore: change nothing.
    if (tcgetattr(port, &saved) != 0) {
        std::perror(device);
        return -1;
    }
    catch_ending_signals();

    termios newtio = monitor_settings();
    tcflush(port, TCIFLUSH);
    tcsetattr(port, TCSANOW, &newtio);

    char buf[256];
    while (STOP == 0) {
        ssize_t res = read(port, buf, 255);
        if (res < 0) {
            if (errno == EINTR) continue;
            return fail(nullptr);
        }
        if (res == 0 && hung_up()) return fail("Hangup");
        buf[res] = '\0';
        std::printf(":%s:%d\n", buf, static_cast<int>(res));
        std::fflush(stdout); // each entry as it arrives, into pipes and files too
        if (buf[0] == 'z') STOP = 1;
    }
    return restore_port();
}
