// The event stream, through the built program.
#include "aet_test.h"
#include "damaged_traces.h"

#include <gtest/gtest.h>

using namespace aet;

namespace {

// What follows the declaration section.
std::string body(const RunResult &r) {
    size_t at = r.out.find(enddefs);
    EXPECT_NE(at, std::string::npos);
    return at == std::string::npos ? r.out : r.out.substr(at + enddefs.size());
}

std::string events(const std::string &records, int32_t multiplier = 1) {
    Trace t = small_design(); // the declaration example: identifiers 0..5
    t.multiplier = multiplier;
    t.events = records;
    RunResult r = convert(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    return body(r);
}

TEST(Events, WorkedExampleByteForByte) {
    std::string records("\xA7\xB1\x00\x01\x00\x00\xA5\x0A\xB0\x00\x02\x00\x01\x00\x03\xAD\xA6\xB4",
                        18);
    EXPECT_EQ(events(records), "#0\n1!\n#10\n0\"\n0$\n1!\n1\"\n1#\n1$\n1%\n1&\n#11\n");
}

TEST(Events, TimeRecords) {
    // Every time record writes a line, also without change and backwards.
    EXPECT_EQ(events(ev::zero() + ev::zero() + ev::delta(0) + ev::delta(255) + ev::tick() +
                     ev::time(100) + ev::time(7) + ev::zero()),
              "#0\n#0\n#0\n#255\n#256\n#100\n#7\n#0\n");
    // Operands are unsigned; the clock counts on past 32 bits.
    EXPECT_EQ(events(ev::time(0x7FFFFFFF) + ev::tick() + ev::time(0xFFFFFFFF) + ev::tick() +
                     ev::delta(255) + ev::time(3)),
              "#2147483647\n#2147483648\n#4294967295\n#4294967296\n#4294967551\n#3\n");
}

TEST(Events, ValueRecordsAndTheIdentifierBase) {
    // Letters of every kind; B0 with a count of 0 takes only its two bytes.
    EXPECT_EQ(events(ev::list(0, {}) + ev::list(1, {1}) + ev::list(2, {2}) + ev::list(3, {3}) +
                     ev::single(0, 0) + ev::single(1, 1) + ev::single(2, 2) + ev::single(3, 3) +
                     ev::zero()),
              "1\"\nx#\nz$\n0!\n1\"\nx#\nz$\n#0\n");
    // The base applies to list entries only, never to 24-bit records.
    EXPECT_EQ(events(ev::base(256) + ev::list(1, {5}) + ev::single(1, 5)), "1j#\n1&\n"); // 261, 5
    // A9 n adds n x multiplier, AA adds one multiplier; AB does nothing.
    EXPECT_EQ(events(ev::base_steps(3) + ev::list(0, {0}) + ev::base_step() + ev::nop() +
                         ev::list(0, {0}),
                     64),
              "0%#\n0e#\n"); // 192, 256
    // Identifiers no facility declared are written all the same; the base
    // wraps to 32 bits and negative sums are encoded unsigned.
    EXPECT_EQ(events(ev::single(1, 0xFFFFFF) + ev::base(0xFFFFFFFF) + ev::list(1, {1, 0})),
              "1\"f35\n1!\n1J|\"\"X\n"); // 16777215, 0, 4294967295
    // Records after a 24-bit record; A8 sets the base outright.
    EXPECT_EQ(events(ev::single(1, 2) + ev::tick() + ev::base(10) + ev::base(1) + ev::list(0, {0})),
              "1#\n#1\n0\"\n");
}

TEST(Events, WholeDesignRecordsCoverEveryDeclaredBit) {
    Trace t;
    t.fac("v", 2, 3, 10).fac("none", 0, 5, 40).fac("b", 1, 1, 3);
    t.events = ev::all(3) + ev::all(0);
    RunResult r = convert(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(body(r), "z+\nz,\nz-\nz.\nz/\nz0\nz$\n0+\n0,\n0-\n0.\n0/\n00\n0$\n");
}

TEST(Events, TheTraceEndsAtTheEndTagOrTheEndOfTheFile) {
    EXPECT_EQ(events(ev::tick() + ev::end() + ev::tick()), "#1\n");
    EXPECT_EQ(events(ev::tick() + ev::single(1, 0)), "#1\n1!\n");
    EXPECT_EQ(events(""), "");
}

} // namespace
