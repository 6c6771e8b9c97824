// portlines against a pseudo-terminal: the kernel's own terminal line
// discipline, the same code that serves real serial ports.  Each run puts
// the pty's slave at /dev/ttyS1 inside a private mount namespace (root only;
// elsewhere the tests report themselves skipped).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string portlines_bin = PORTLINES_PATH;

// Mounts an empty /dev holding only ttyS1 (the given device, if any, held
// open while /dev is replaced), then becomes portlines.
const char *const namespace_script =
    "set -e; [ -z \"$1\" ] || exec 3<>\"$1\"; "
    "mount -t tmpfs none /dev; "
    "if [ -n \"$1\" ]; then touch /dev/ttyS1; mount --bind /proc/self/fd/3 /dev/ttyS1; fi; "
    "exec 3>&-; exec \"$0\"";

bool can_use_namespaces() {
    return geteuid() == 0 && std::system("unshare --mount true >/dev/null 2>&1") == 0;
}

#define REQUIRE_NAMESPACES()                                                               \
    do {                                                                                   \
        if (!can_use_namespaces()) {                                                       \
            if (std::getenv("CI")) FAIL() << "CI must run these tests as root";            \
            GTEST_SKIP() << "needs root and unshare --mount";                              \
        }                                                                                  \
    } while (0)

struct Pty {
    int master = -1;
    int slave = -1; // kept open by the test to read the settings
    std::string name;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(master);
        unlockpt(master);
        name = ptsname(master);
        slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty() {
        if (master >= 0) close(master);
        close(slave);
    }
    void send(const std::string &s) const {
        size_t done = 0;
        while (done < s.size()) {
            ssize_t n = write(master, s.data() + done, s.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    void hang_up() {
        close(master);
        master = -1;
    }
};

struct Monitor {
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string got, errors;
    int status = -1, signal = 0;

    explicit Monitor(const std::string &device) {
        int o[2], e[2];
        if (pipe2(o, O_CLOEXEC) != 0 || pipe2(e, O_CLOEXEC) != 0) std::abort();
        pid = fork();
        if (pid == 0) {
            dup2(o[1], 1);
            dup2(e[1], 2);
            close(o[0]);
            close(e[0]);
            execlp("unshare", "unshare", "--mount", "--", "/bin/sh", "-c", namespace_script,
                   portlines_bin.c_str(), device.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(o[1]);
        close(e[1]);
        out = o[0];
        err = e[0];
    }
    ~Monitor() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(out);
        close(err);
    }
    // Reads standard output until it holds `want` in all (or time runs out).
    bool read_until(const std::string &want, int ms = 5000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.find(want) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buf[65536];
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) return false;
            got.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    // Waits for the end; false when it does not come within ms.
    bool finish(int ms = 5000) {
        for (int waited = 0; waited < ms; waited += 10) {
            int ws = 0;
            if (waitpid(pid, &ws, WNOHANG) == pid) {
                pid = -1;
                if (WIFEXITED(ws)) status = WEXITSTATUS(ws);
                if (WIFSIGNALED(ws)) signal = WTERMSIG(ws);
                drain();
                return true;
            }
            usleep(10000);
        }
        return false;
    }
    void drain() {
        char buf[65536];
        ssize_t n;
        while ((n = read(out, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
        while ((n = read(err, buf, sizeof buf)) > 0) errors.append(buf, static_cast<size_t>(n));
    }
};

// Settings the test gives the port before the monitor starts, so that
// their return can be told apart from anything the monitor sets.
termios distinctive(int fd) {
    termios t;
    tcgetattr(fd, &t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_lflag |= ECHO | ISIG;
    t.c_cc[VINTR] = 3;
    t.c_cc[VMIN] = 7;
    tcsetattr(fd, TCSANOW, &t);
    tcgetattr(fd, &t);
    return t;
}

void expect_same(const termios &a, const termios &b) {
    EXPECT_EQ(a.c_iflag, b.c_iflag);
    EXPECT_EQ(a.c_oflag, b.c_oflag);
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_lflag, b.c_lflag);
    for (size_t i = 0; i < NCCS; ++i) EXPECT_EQ(a.c_cc[i], b.c_cc[i]) << "c_cc " << i;
    EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
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

TEST(Portlines, AppliesItsSettingsAndRestoresTheOriginalOnes) {
    REQUIRE_NAMESPACES();
    Pty pty;
    termios original = distinctive(pty.slave);
    Monitor m(pty.name);
    termios t = wait_for_monitor(pty);
    EXPECT_EQ(t.c_cflag, tcflag_t(CRTSCTS | CS8 | CLOCAL | CREAD | B38400));
    EXPECT_EQ(t.c_iflag, tcflag_t(IGNPAR | ICRNL));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, tcflag_t(ICANON));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B38400));
    for (size_t i = 0; i < NCCS; ++i) {
        cc_t want = i == VEOF ? 4 : i == VMIN ? 1 : 0;
        EXPECT_EQ(t.c_cc[i], want) << "c_cc " << i;
    }
    pty.send("z\r");
    ASSERT_TRUE(m.finish());
    EXPECT_EQ(m.status, 0);
    EXPECT_EQ(m.got, ":z\n:2\n");
    termios after;
    tcgetattr(pty.slave, &after);
    expect_same(after, original);
}

TEST(Portlines, PrintsEachEntryAsItArrives) {
    REQUIRE_NAMESPACES();
    Pty pty;
    Monitor m(pty.name);
    wait_for_monitor(pty);
    // Standard output is a pipe: each entry must come through before the
    // next line is even sent.
    struct Step {
        std::string line, entry;
    };
    const std::string longline(300, 'a');
    const Step steps[] = {
        {"hello\r", ":hello\n:6\n"},
        {"\x04", "::0\n"}, // control-D at the start of a line: a read of 0 bytes
        {"again\n", ":again\n:6\n"},
        {std::string("ab\0cd\r", 6), ":ab:6\n"},
        {longline + "\r", ":" + std::string(255, 'a') + ":255\n:" + std::string(45, 'a') + "\n:46\n"},
        {"Zebra\r", ":Zebra\n:6\n"},
    };
    std::string want;
    for (const Step &s : steps) {
        pty.send(s.line);
        want += s.entry;
        ASSERT_TRUE(m.read_until(want)) << "got so far: " << m.got;
        EXPECT_EQ(m.got, want);
    }
    // A continuation piece that begins with z stops it too.
    pty.send(std::string(255, 'b') + "zz\r");
    ASSERT_TRUE(m.finish());
    EXPECT_EQ(m.status, 0);
    EXPECT_EQ(m.got, want + ":" + std::string(255, 'b') + ":255\n:zz\n:3\n");
}

TEST(Portlines, BurstOfLinesIsPrintedCompletely) {
    REQUIRE_NAMESPACES();
    Pty pty;
    Monitor m(pty.name);
    wait_for_monitor(pty);
    std::string want;
    std::string lines;
    for (int i = 0; i < 10000; ++i) {
        std::string l = "line " + std::to_string(i);
        lines += l + "\r";
        want += ":" + l + "\n:" + std::to_string(l.size() + 1) + "\n";
    }
    lines += "z\r";
    want += ":z\n:2\n";
    std::thread writer([&] { pty.send(lines); });
    bool complete = m.read_until(want, 30000);
    writer.join();
    ASSERT_TRUE(complete) << m.got.size() << " of " << want.size() << " bytes";
    ASSERT_TRUE(m.finish());
    EXPECT_EQ(m.got, want);
    EXPECT_EQ(m.status, 0);
}

TEST(Portlines, EndingSignalsRestoreTheSettings) {
    REQUIRE_NAMESPACES();
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        Pty pty;
        termios original = distinctive(pty.slave);
        Monitor m(pty.name);
        wait_for_monitor(pty);
        pty.send("one\r");
        ASSERT_TRUE(m.read_until(":one\n:4\n"));
        kill(m.pid, sig);
        ASSERT_TRUE(m.finish());
        EXPECT_EQ(m.signal, sig);
        termios after;
        tcgetattr(pty.slave, &after);
        expect_same(after, original);
    }
}

TEST(Portlines, ClosedOutputPipeRestoresTheSettings) {
    REQUIRE_NAMESPACES();
    Pty pty;
    termios original = distinctive(pty.slave);
    Monitor m(pty.name);
    wait_for_monitor(pty);
    close(m.out); // as when "portlines | head -1" has its line
    m.out = open("/dev/null", O_RDONLY);
    pty.send("one\r");
    ASSERT_TRUE(m.finish());
    EXPECT_EQ(m.signal, SIGPIPE);
    termios after;
    tcgetattr(pty.slave, &after);
    expect_same(after, original);
}

TEST(Portlines, HangUpEndsTheMonitor) {
    REQUIRE_NAMESPACES();
    Pty pty;
    Monitor m(pty.name);
    wait_for_monitor(pty);
    pty.send("last\r");
    ASSERT_TRUE(m.read_until(":last\n:5\n"));
    pty.hang_up();
    ASSERT_TRUE(m.finish(1000)) << "still running a second after the hang-up";
    EXPECT_EQ(m.status, 255);
    EXPECT_EQ(m.got, ":last\n:5\n");
    // A read that was waiting returns 0 bytes at the hang-up (the monitor
    // then finds the line down); a later one fails with EIO.
    EXPECT_TRUE(m.errors == "/dev/ttyS1: Hangup\n" || m.errors == "/dev/ttyS1: Input/output error\n")
        << m.errors;
}

TEST(Portlines, DeviceFailures) {
    REQUIRE_NAMESPACES();
    Monitor missing("");
    ASSERT_TRUE(missing.finish());
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.errors, "/dev/ttyS1: No such file or directory\n");
    EXPECT_EQ(missing.got, "");

    // Not a terminal: without readable settings nothing is changed.
    Monitor not_tty("/dev/null");
    ASSERT_TRUE(not_tty.finish());
    EXPECT_EQ(not_tty.status, 255);
    EXPECT_EQ(not_tty.errors, "/dev/ttyS1: Inappropriate ioctl for device\n");
}

} // namespace
