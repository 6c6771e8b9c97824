// The command line, its messages, the header blocks and the progress line,
// through the built program.
#include "aet_test.h"

#include <gtest/gtest.h>

using namespace aet;

namespace {

// Wrong argument counts and paths that cannot be read: the exact message,
// whole however long the path, status 1 and nothing on standard output.
TEST(CommandLine, RejectionsHaveExactMessages) {
    TempDir dir;
    std::string valid = dir.write("t.aet", Trace{}.bytes()), deep = dir.path;
    for (int i = 0; i < 300; ++i)
        deep += "/.";
    const std::string usage =
        "Usage:\n------\n" + aetconv_bin + " filename\n\nVCD is then output to stdout.\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{aetconv_bin}, usage},
        {{aetconv_bin, valid, valid}, usage},
        {{aetconv_bin, valid, "x", "y"}, usage},
        {{aetconv_bin, dir.path + "/missing.aet"},
         "Could not open '" + dir.path + "/missing.aet', exiting.\n"},
        {{aetconv_bin, deep + "/missing"}, "Could not open '" + deep + "/missing', exiting.\n"},
        {{aetconv_bin, deep}, "Could not read '" + deep + "': Is a directory, exiting.\n"},
    };
    for (const auto &[args, err] : cases) {
        RunResult r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
    }
}

TEST(Header, BothFormatsByteForByte) {
    Trace a, c, texts, long_model;
    c.format = long_model.format = 0xC0;
    long_model.model = std::string(3000, 'm');         // cut at the 1 KiB work buffer
    texts.created_on = "ABCDEFGH";                     // no NUL: all 8 characters
    texts.created_at = std::string("ab\0cdefg", 8);    // NUL at the third byte
    texts.numfacs = static_cast<int32_t>(0x80000000u); // printed negative; no records are read
    const std::string created = "$version\n\tAET created at 10:20:30 on 08/12/26.\n";
    const std::string rest =
        " facilities found occupying 0 bytes.\n$end\n\n$timescale\n\t1ns\n$end\n\n" + enddefs;
    const std::pair<Trace, std::string> cases[] = {
        {a, created + "\t0" + rest},
        {c, created + "\tModel cpu_top created at 09:00:00 on 01/12/26.\n\t0" + rest},
        {texts, "$version\n\tAET created at ab on ABCDEFGH.\n\t-2147483648" + rest},
        {long_model, created + "\tModel " + std::string(1005, 'm') +
                         " created at 09:00:00 on 01/12/26.\n\t0" + rest},
    };
    for (const auto &[t, want] : cases) {
        RunResult r = convert(t);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, want);
    }
}

// Standard error on a terminal: a conversion that runs past a second shows
// a progress line there with what it read and wrote, erased at the end,
// unless standard output is the same screen or the converter is a job in
// the background of that terminal (there a line would stop it, with stty
// tostop); the VCD never carries it.
TEST(Progress, ShownOnATerminalOnlyBesideRedirectedOutput) {
    Trace t;
    t.bit("clk");
    RunOptions o;
    o.input = t.bytes() + ev::tick() + ev::tick() + ev::end();
    o.pause_after = o.input.size() - 2; // more input arrives after a second
    o.terminal_stderr = true;
    RunResult r = run({aetconv_bin, "/dev/stdin"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.rfind("\raetconv: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("MB read"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("MB written"), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("\r\033[K"));
    EXPECT_TRUE(r.out.ends_with("#1\n#2\n"));

    // The terminal made the controlling one of a new session, whose shell
    // starts the converter in a group of its own (timeout's).
    r = run({"sh", "-c",
             "exec 3<&0 </dev/fd/2 setsid -c sh -c 'stty tostop; timeout 20 \"$0\" /dev/fd/3; "
             "echo status $? >&2' \"$0\"",
             aetconv_bin},
            o);
    EXPECT_EQ(r.err, "status 0\r\n");
    EXPECT_TRUE(r.out.ends_with("#1\n#2\n"));

    o.terminal_stdout = true;
    r = run({aetconv_bin, "/dev/stdin"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.find("aetconv: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("#2"), std::string::npos) << r.err;
}

} // namespace
