// The command line, its messages, the header blocks and the progress line,
// through the built program.
#include "aet_test.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace aet;

namespace {

const std::string usage_of_bin =
    "Usage:\n------\n" + aetconv_bin + " filename\n\nVCD is then output to stdout.\n";

TEST(CommandLine, WrongArgumentCountPrintsUsage) {
    TempDir dir;
    std::string valid = dir.write("t.aet", Trace{}.bytes());
    for (const auto &args : std::vector<std::vector<std::string>>{
             {aetconv_bin}, {aetconv_bin, valid, valid}, {aetconv_bin, valid, "x", "y"}}) {
        RunResult r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, usage_of_bin);
        EXPECT_EQ(r.out, "");
    }
}

// Messages name the path whole, however long it is.
TEST(CommandLine, PathsInMessagesAreWhole) {
    TempDir dir;
    std::string deep = dir.path;
    for (int i = 0; i < 300; ++i) deep += "/.";
    for (const auto &[path, err] : std::vector<std::pair<std::string, std::string>>{
             {dir.path + "/missing.aet", "Could not open '" + dir.path + "/missing.aet', exiting.\n"},
             {deep + "/missing", "Could not open '" + deep + "/missing', exiting.\n"},
             {deep, "Could not read '" + deep + "': Is a directory, exiting.\n"}}) {
        RunResult r = run({aetconv_bin, path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
    }
}

TEST(Header, BothFormatsByteForByte) {
    Trace a;
    RunResult r = convert(a);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "$version\n\tAET created at 10:20:30 on 08/12/26.\n"
                     "\t0 facilities found occupying 0 bytes.\n$end\n\n"
                     "$timescale\n\t1ns\n$end\n\n" + enddefs);

    Trace c;
    c.format = 0xC0;
    r = convert(c);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "$version\n\tAET created at 10:20:30 on 08/12/26.\n"
                     "\tModel cpu_top created at 09:00:00 on 01/12/26.\n"
                     "\t0 facilities found occupying 0 bytes.\n$end\n\n"
                     "$timescale\n\t1ns\n$end\n\n" + enddefs);
}

TEST(Header, TextsStopAtNulOrAfterEightBytes) {
    Trace t;
    t.created_on = "ABCDEFGH";           // no NUL: all 8 characters
    t.created_at = std::string("ab\0cdefg", 8); // NUL at the third byte
    t.numfacs = static_cast<int32_t>(0x80000000u);
    RunResult r = convert(t); // a negative count reads no records
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "$version\n\tAET created at ab on ABCDEFGH.\n"
                     "\t-2147483648 facilities found occupying 0 bytes.\n$end\n\n"
                     "$timescale\n\t1ns\n$end\n\n" + enddefs);
}

TEST(Header, LongModelNameIsCutAtTheWorkBuffer) {
    Trace t;
    t.format = 0xC0;
    t.model = std::string(3000, 'm');
    RunResult r = convert(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\tModel " + std::string(1005, 'm') + " created at"), std::string::npos);
    EXPECT_EQ(r.out.find(std::string(1006, 'm')), std::string::npos);
}

// Standard error on a terminal: a conversion that runs past a second shows
// a progress line there, erased at the end, unless standard output is the
// same screen; the VCD never carries it.
TEST(Progress, ShownOnATerminalOnlyBesideRedirectedOutput) {
    for (bool vcd_on_screen : {false, true}) {
        SCOPED_TRACE(vcd_on_screen ? "VCD on the terminal" : "VCD into a pipe");
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        grantpt(master);
        unlockpt(master);
        int feed[2], out[2];
        ASSERT_EQ(pipe2(feed, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        std::string tty = ptsname(master);
        pid_t pid = fork();
        if (pid == 0) {
            int slave = open(tty.c_str(), O_RDWR | O_NOCTTY);
            dup2(feed[0], 0);
            dup2(vcd_on_screen ? slave : out[1], 1);
            dup2(slave, 2);
            execl(aetconv_bin.c_str(), aetconv_bin.c_str(), "/dev/stdin", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(feed[0]);
        close(out[1]);
        Trace t;
        t.bit("clk");
        std::string bytes = t.bytes() + ev::tick();
        ASSERT_EQ(write(feed[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
        usleep(1300 * 1000); // past a second, then more input arrives
        ASSERT_EQ(write(feed[1], "\xA6\xB4", 2), 2);
        close(feed[1]);
        std::string vcd, screen;
        char buf[4096];
        ssize_t n;
        while ((n = read(out[0], buf, sizeof buf)) > 0) vcd.append(buf, size_t(n));
        close(out[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        pollfd p{master, POLLIN, 0};
        while (poll(&p, 1, 100) > 0 && (n = read(master, buf, sizeof buf)) > 0) screen.append(buf, size_t(n));
        close(master);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        if (vcd_on_screen) {
            EXPECT_EQ(screen.find("aetconv: "), std::string::npos) << screen;
            EXPECT_NE(screen.find("#2"), std::string::npos) << screen;
            continue;
        }
        EXPECT_EQ(screen.rfind("\raetconv: ", 0), 0u) << screen;
        EXPECT_NE(screen.find("MB read"), std::string::npos) << screen;
        EXPECT_EQ(screen.substr(screen.size() - 4), "\r\033[K");
        EXPECT_EQ(vcd.substr(vcd.size() - 6), "#1\n#2\n");
    }
}

} // namespace
