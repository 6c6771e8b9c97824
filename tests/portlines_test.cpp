// portlines against a pseudo-terminal: the kernel's own terminal line
// discipline, the same code that serves real serial ports.  Each run puts
// the pty's slave at /dev/ttyS1 inside a private mount namespace (root only;
// elsewhere the tests report themselves skipped).
#include "run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace {

const std::string portlines_bin = PORTLINES_PATH;

// Mounts an empty /dev holding only null, ttyS1 and spare (the given
// devices, if any), each held open while /dev is replaced, runs the given
// shell step (a limit, a redirection), then becomes portlines.
const char *const namespace_script =
    "set -e; [ -z \"$1\" ] || exec 3<>\"$1\"; [ -z \"$3\" ] || exec 5<>\"$3\"; exec 4<>/dev/null; "
    "mount -t tmpfs none /dev; touch /dev/null; mount --bind /proc/self/fd/4 /dev/null; "
    "if [ -n \"$1\" ]; then touch /dev/ttyS1; mount --bind /proc/self/fd/3 /dev/ttyS1; fi; "
    "if [ -n \"$3\" ]; then touch /dev/spare; mount --bind /proc/self/fd/5 /dev/spare; fi; "
    "exec 3>&- 4>&- 5>&-; eval \"$2\"; exec \"$0\"";

#define REQUIRE_NAMESPACES()                                                                       \
    REQUIRE_OR_SKIP(geteuid() == 0 && std::system("unshare --mount true >/dev/null 2>&1") == 0,    \
                    "root with unshare --mount")

struct Pty {
    int master = -1;
    int slave = -1; // kept open by the test to give the port its settings
    std::string name;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        fcntl(master, F_SETFL, O_NONBLOCK);
        grantpt(master);
        unlockpt(master);
        name = ptsname(master);
        slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty() {
        close(master);
        close(slave);
    }
    // Sends the bytes, or gives up after ten seconds in which the line
    // takes none (the monitor is gone).
    void send(const std::string &s) const {
        for (size_t done = 0, idle = 0; done < s.size() && idle < 1000;) {
            ssize_t n = write(master, s.data() + done, s.size() - done);
            done += n > 0 ? static_cast<size_t>(n) : 0;
            idle = n > 0 ? 0 : idle + 1;
            if (n <= 0) usleep(10000);
        }
    }
    // The port's settings now, through a descriptor of its own (the test's
    // first one is gone after a hang-up).
    termios settings() const {
        termios t{};
        int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        tcgetattr(fd, &t);
        close(fd);
        return t;
    }
};

// A monitor started in its own mount namespace; its run so far in r.
struct Monitor {
    aet::Child child;
    aet::RunResult r;
    explicit Monitor(const std::string &device, const aet::RunOptions &how = {},
                     const std::string &step = "", const std::string &spare = "")
        : child(aet::start({"unshare", "--mount", "--", "/bin/sh", "-c", namespace_script,
                            portlines_bin, device, step, spare},
                           how)) {}
    ~Monitor() {
        if (child.pid > 0) kill(child.pid, SIGKILL);
        if (child.pid > 0) aet::finish(child);
    }
    // Reads standard output until it holds `want` in all (or nothing comes
    // for ms milliseconds).
    bool read_until(const std::string &want, int ms = 5000) {
        for (int waited = 0; r.out.find(want) == std::string::npos;) {
            pollfd p{child.out, POLLIN, 0};
            if (waited >= ms) return false;
            if (poll(&p, 1, 10) <= 0) {
                waited += 10;
                continue;
            }
            char buf[65536];
            ssize_t n = read(child.out, buf, sizeof buf);
            if (n <= 0) return false;
            r.out.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    // Waits for the end (and the rest of the output); false when it does
    // not come within ms.
    bool finish(int ms = 5000) {
        for (int waited = 0; waited < ms; waited += 10) {
            siginfo_t info{};
            if (waitid(P_PID, child.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid != 0) {
                r = aet::finish(child, {}, r);
                return true;
            }
            usleep(10000);
        }
        return false;
    }
};

// Settings the test gives the port before the monitor starts, so that
// their return can be told apart from anything the monitor sets.
termios distinctive(const Pty &pty, speed_t speed = B9600) {
    termios t;
    tcgetattr(pty.slave, &t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_lflag |= ECHO | ISIG;
    t.c_cc[VINTR] = 3;
    t.c_cc[VMIN] = 7;
    tcsetattr(pty.slave, TCSANOW, &t);
    return pty.settings();
}

void expect_same(const termios &a, const termios &b) {
    auto fields = [](const termios &t) {
        return std::tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag,
                          std::string(t.c_cc, t.c_cc + NCCS));
    };
    EXPECT_EQ(fields(a), fields(b));
}

// Waits until the monitor's settings are on the port; returns them.
termios wait_for_monitor(const Pty &pty) {
    termios t{};
    for (int i = 0; i < 500; ++i) {
        tcgetattr(pty.slave, &t);
        if (t.c_cflag & CRTSCTS) break;
        usleep(10000);
    }
    return t;
}

TEST(Portlines, SettingsAndEntries) {
    REQUIRE_NAMESPACES();
    Pty pty;
    aet::RunOptions nonblocking; // as another program may leave standard output
    nonblocking.nonblocking_stdout = true;
    Monitor m(pty.name, nonblocking);
    termios t = wait_for_monitor(pty);
    EXPECT_EQ(t.c_cflag, tcflag_t(CRTSCTS | CS8 | CLOCAL | CREAD | B38400));
    EXPECT_EQ(t.c_iflag, tcflag_t(IGNPAR | ICRNL));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, tcflag_t(ICANON));
    for (size_t i = 0; i < NCCS; ++i)
        EXPECT_EQ(t.c_cc[i], i == VEOF ? 4 : i == VMIN ? 1 : 0) << i;

    // Standard output is a pipe: each entry comes through before the next
    // line is even sent.
    const std::pair<std::string, std::string> steps[] = {
        {"hello\r", ":hello\n:6\n"},
        {"\x04", "::0\n"}, // control-D at the start of a line: a read of 0 bytes
        {"again\n", ":again\n:6\n"},
        {"crlf\r\n", ":crlf\n:5\n:\n:1\n"}, // CR LF: the CR ends the line, the LF is one more
        {std::string("ab\0cd\r", 6), ":ab:6\n"},
        {std::string(300, 'a') + "\r",
         ":" + std::string(255, 'a') + ":255\n:" + std::string(45, 'a') + "\n:46\n"},
        {"Zebra\r", ":Zebra\n:6\n"},
    };
    std::string want;
    for (const auto &[line, entry] : steps) {
        pty.send(line);
        want += entry;
        ASSERT_TRUE(m.read_until(want)) << "got so far: " << m.r.out;
        EXPECT_EQ(m.r.out, want);
    }
    // Then a burst of lines, more than the pipe holds while its reader
    // waits, every one printed, and a continuation piece that begins with
    // z, which stops it too.
    std::string lines;
    for (int i = 0; i < 10000; ++i) {
        std::string l = "line " + std::to_string(i);
        lines += l + "\r";
        want += ":" + l + "\n:" + std::to_string(l.size() + 1) + "\n";
    }
    lines += std::string(255, 'b') + "zz\r";
    want += ":" + std::string(255, 'b') + ":255\n:zz\n:3\n";
    std::thread writer([&] { pty.send(lines); });
    usleep(500 * 1000);
    bool complete = m.read_until(want, 30000);
    writer.join();
    ASSERT_TRUE(complete) << m.r.out.size() << " of " << want.size() << " bytes";
    ASSERT_TRUE(m.finish());
    EXPECT_EQ(m.r.status, 0);
    EXPECT_EQ(m.r.out, want);
}

// Every way out after the port was set up: the status (or the signal that
// ended it), standard output, standard error, the port's own settings back
// in place, and not a byte written onto the port.
TEST(Portlines, EveryWayOutRestoresTheSettings) {
    REQUIRE_NAMESPACES();
    struct Way {
        std::string what;
        std::function<void(Pty &, Monitor &)> act;
        int status, signal;
        std::string out, err;
        aet::RunOptions how = {};
        std::string step = {}; // run before the monitor starts
        bool restored = true;  // else the port went away or must not be written
        bool spare = false;    // the other device is at /dev/spare
    };
    const std::string one = ":one\n:4\n", hangup = "/dev/ttyS1: Hangup\n",
                      not_restored = "/dev/ttyS1: could not put the previous settings back: ";
    aet::RunOptions into_full, on_terminal, careless;
    into_full.stdout_path = "/dev/full";
    on_terminal.terminal_stderr = true;
    careless.stdout_path = "-"; // closed: the monitor opens it onto /dev/null, never the port
    careless.ignored = {SIGHUP, SIGINT,
                        SIGQUIT}; // as nohup and scripts leave them: they stay ignored
    // After a hang-up the port is opened anew to restore it, but another
    // device that now has its name gets nothing.
    Pty other;
    const termios other_settings = distinctive(other, B4800);
    auto hang_up = [](Pty &p, Monitor &) { ioctl(p.slave, TIOCVHANGUP); };
    std::vector<Way> ways = {
        {"stop line", [](Pty &p, Monitor &) { p.send("z\r"); }, 0, 0, one + ":z\n:2\n", ""},
        {"stop line, started by a careless parent",
         [](Pty &p, Monitor &m) {
             for (int sig : {SIGHUP, SIGINT, SIGQUIT})
                 kill(m.child.pid, sig);
             EXPECT_FALSE(m.finish(300)) << "ended by an ignored signal";
             p.send("z\r");
         },
         0, 0, "", "", careless},
        {"hang-up", hang_up, 255, 0, one, hangup},
        {"hang-up, no descriptor left",
         hang_up,
         255,
         0,
         one,
         hangup + not_restored + "Too many open files\n",
         {},
         // (the sanitizer build's leak check would need a descriptor at exit too)
         "export ASAN_OPTIONS=detect_leaks=0; ulimit -n 4",
         false},
        {"hang-up, another device at the name",
         [](Pty &p, Monitor &m) {
             std::string replace = "nsenter -t " + std::to_string(m.child.pid) +
                                   " -m mount --bind /dev/spare /dev/ttyS1";
             EXPECT_EQ(std::system(replace.c_str()), 0);
             ioctl(p.slave, TIOCVHANGUP);
         },
         255,
         0,
         one,
         hangup + not_restored + "another device now has its name\n",
         {},
         "",
         false,
         true},
        {"device gone",
         [](Pty &p, Monitor &) { close(std::exchange(p.master, -1)); },
         255,
         0,
         one,
         hangup + not_restored + "Input/output error\n",
         {},
         "",
         false},
        // The port is back while the message waits on a paused terminal.
        {"hang-up, standard error paused",
         [](Pty &p, Monitor &m) {
             int screen = open(ptsname(m.child.err), O_RDWR | O_NOCTTY | O_CLOEXEC);
             tcflow(screen, TCOOFF);
             ioctl(p.slave, TIOCVHANGUP);
             bool restored = false;
             for (int i = 0; i < 200 && !restored; ++i, usleep(10000)) {
                 termios now = p.settings();
                 restored = cfgetospeed(&now) == B9600; // the test's own speed, not the monitor's
             }
             EXPECT_TRUE(restored);
             tcflow(screen, TCOON);
             close(screen);
         },
         255, 0, one, "/dev/ttyS1: Hangup\r\n", on_terminal},
        {"reader gone",
         [](Pty &p, Monitor &m) {
             close(m.child.out);
             m.child.out = open("/dev/null", O_RDONLY);
             p.send("two\r");
         },
         -1, SIGPIPE, "", ""},
        // The first entry fails: no line follows, which the restored echo
        // would send back onto the line once the monitor has gone.
        {"failed output", [](Pty &, Monitor &) {}, 255, 0, "",
         "standard output: No space left on device\n", into_full},
    };
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
                    SIGXCPU, SIGXFSZ, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGRTMIN})
        ways.push_back({strsignal(sig), [sig](Pty &, Monitor &m) { kill(m.child.pid, sig); }, -1,
                        sig, one, ""});

    for (const Way &w : ways) {
        SCOPED_TRACE(w.what);
        Pty pty;
        termios original = distinctive(pty);
        Monitor m(pty.name, w.how, w.step, w.spare ? other.name : "");
        wait_for_monitor(pty);
        pty.send("one\r");
        if (w.how.stdout_path.empty()) {
            ASSERT_TRUE(m.read_until(one));
        }
        w.act(pty, m);
        ASSERT_TRUE(m.finish());
        EXPECT_EQ(m.r.status, w.status);
        EXPECT_EQ(m.r.signal, w.signal);
        if (w.how.stdout_path.empty() && w.signal != SIGPIPE) {
            EXPECT_EQ(m.r.out, w.out);
        }
        EXPECT_EQ(m.r.err, w.err);
        if (w.restored) expect_same(pty.settings(), original);
        pollfd p{pty.master, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 0) << "the monitor wrote onto its port";
    }
    expect_same(other.settings(), other_settings);
}

// Where the monitor may not or cannot work, it says why in one line, exits
// 255 and leaves the port as it was.
TEST(Portlines, RefusalsTouchNothing) {
    REQUIRE_NAMESPACES();
    for (const auto &[device, err] : {std::pair{"", "No such file or directory"},
                                      std::pair{"/dev/null", "Inappropriate ioctl for device"}}) {
        Monitor m(device);
        ASSERT_TRUE(m.finish());
        EXPECT_EQ(m.r.status, 255);
        EXPECT_EQ(m.r.err, std::string("/dev/ttyS1: ") + err + "\n");
    }

    // Standard output or error redirected onto the port itself, by its name
    // or, with the port as the controlling terminal, by /dev/tty (a node of
    // the namespace's own /dev): a message only where it does not go onto
    // the port, which gets nothing.
    Pty pty;
    termios original = distinctive(pty);
    const std::string as_tty =
        "mknod /dev/tty c 5 0; exec setsid -cw sh -c 'exec \"$0\" </dev/null ";
    for (const auto &[step, err] : {std::pair{std::string("exec >/dev/ttyS1"),
                                              "standard output: is the port /dev/ttyS1 itself\n"},
                                    std::pair{std::string("exec 2>/dev/ttyS1"), ""},
                                    std::pair{as_tty + ">/dev/tty' \"$0\" </dev/ttyS1",
                                              "standard output: is the port /dev/ttyS1 itself\n"},
                                    std::pair{as_tty + "2>/dev/tty' \"$0\" </dev/ttyS1", ""}}) {
        SCOPED_TRACE(step);
        Monitor m(pty.name, {}, step);
        ASSERT_TRUE(m.finish());
        EXPECT_EQ(m.r.status, 255);
        EXPECT_EQ(m.r.err, err);
        expect_same(pty.settings(), original);
        pollfd p{pty.master, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 100), 0) << "the monitor wrote onto its port";
    }

    // A second monitor on a port in use: the first one keeps every line.
    Monitor first(pty.name);
    wait_for_monitor(pty);
    Monitor second(pty.name);
    ASSERT_TRUE(second.finish());
    EXPECT_EQ(second.r.status, 255);
    EXPECT_EQ(second.r.err, "/dev/ttyS1: in use by another program\n");
    pty.send("0\r1\r2\r3\rz\r");
    ASSERT_TRUE(first.finish());
    EXPECT_EQ(first.r.out, ":0\n:2\n:1\n:2\n:2\n:2\n:3\n:2\n:z\n:2\n");
    expect_same(pty.settings(), original);

    // A port that keeps some settings of its own (locked here: echo stays on).
    Pty locked;
    original = distinctive(locked);
    termios lock{};
    lock.c_lflag = ECHO;
    ASSERT_EQ(ioctl(locked.slave, TIOCSLCKTRMIOS, &lock), 0);
    Monitor refused(locked.name);
    ASSERT_TRUE(refused.finish());
    EXPECT_EQ(refused.r.status, 255);
    EXPECT_EQ(refused.r.err, "/dev/ttyS1: the port kept settings of its own\n");
    expect_same(locked.settings(), original);
}

} // namespace
