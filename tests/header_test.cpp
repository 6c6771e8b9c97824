// The command line, its messages, the header blocks and the progress line,
// through the built program.
#include "aet_test.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(r.err.substr(r.err.size() - 4), "\r\033[K");
    EXPECT_EQ(r.out.substr(r.out.size() - 6), "#1\n#2\n");

    o.terminal_stdout = true;
    r = run({aetconv_bin, "/dev/stdin"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.find("aetconv: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("#2"), std::string::npos) << r.err;
}

} // namespace
