// Damaged and hostile traces, converted by the real program: each class with
// its exact status, its message and the standard output that must survive,
// from a file and through a pipe, with the converter's memory bounded.
#include "aet_test.h"
#include "damaged_traces.h"

#include <csignal>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <tuple>

using namespace aet;

namespace {

constexpr long memory_bound_kib = 64 * 1024;

TEST(DamagedTraces, EachClassEndsAsDocumentedFromAFileAndAPipe) {
    for (const Damage &c : damage_table()) {
        for (bool piped : {false, true}) {
            SCOPED_TRACE(c.what + (piped ? " (pipe)" : " (file)"));
            RunResult r = piped ? convert_piped(c.bytes) : convert_bytes(c.bytes);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.err, c.err);
            EXPECT_TRUE(r.out.ends_with(c.out_tail)) << r.out;
            EXPECT_TRUE(!c.out_tail.empty() || r.out.empty()) << r.out;
            EXPECT_LT(r.max_rss_kib, memory_bound_kib);
        }
    }
}

// A failed standard output is what lost data: it is reported before any
// fault of the trace itself.
TEST(DamagedTraces, FailedOutputIsReportedFirst) {
    std::string many; // more than the output buffer holds
    for (int i = 0; i < 100000; ++i) many += ev::tick() + ev::single(i & 1, 0);
    TempDir dir;
    RunOptions full;
    full.stdout_path = "/dev/full";
    for (const std::string &events : {many, std::string(), ev::tick() + ev::time(5).substr(0, 3), ev::tick() + "\xFF"}) {
        Trace t = small_design();
        t.events = events;
        RunResult r = run({aetconv_bin, dir.write("t.aet", t.bytes())}, full);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Could not write the VCD: No space left on device, exiting.\n");
    }
}

// When memory runs out, behind a header that claims the most and an endless
// input, the conversion ends with a message and keeps what it wrote.
TEST(DamagedTraces, OutOfMemoryEndsWithAMessage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
#endif
    Trace records, names;
    records.numfacs = INT32_MAX;
    names.facbytes = INT32_MAX;
    TempDir dir;
    for (const Trace *t : {&records, &names}) {
        std::string head = t->bytes();
        RunResult r = run({"/bin/sh", "-c", "ulimit -v 262144; cat \"$1\" /dev/zero | \"$0\" /dev/stdin",
                           aetconv_bin, dir.write("head.aet", head)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("Out of memory at offset ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.substr(r.err.find(',')), ", exiting.\n");
        EXPECT_EQ(r.out, header_text(*t));
    }
}

// A facility of 65535 x 65535 bits is legal: its declarations stream in
// constant memory.  The reader stops after a few megabytes; the converter
// must then end promptly and without having grown.
TEST(DamagedTraces, HugeFacilityStreamsInConstantMemory) {
    Trace t;
    t.fac("huge", 65535, 65535, 0);
    t.events = ev::all(1);
    RunOptions o;
    o.stop_reading_after = 8 << 20;
    TempDir dir;
    RunResult r = run({aetconv_bin, dir.write("huge.aet", t.bytes())}, o);
    EXPECT_TRUE(r.signal == SIGPIPE || (r.status == 1 && r.err.find("Could not write the VCD") == 0))
        << r.status << " " << r.signal << " " << r.err;
    EXPECT_LT(r.max_rss_kib, memory_bound_kib);
}

// Whole-design records over a design too large to keep its text are
// written line by line, with the same bytes.
TEST(DamagedTraces, LargeDesignWholeRecordsStream) {
    Trace t;
    t.fac("big", 1500, 1000, 0); // 1.5 million bits
    t.events = ev::all(1) + ev::all(2);
    RunResult r = convert(t);
    ASSERT_EQ(r.status, 0);
    std::string want;
    for (char letter : {'1', 'x'})
        for (uint32_t id = 0; id < 1500000; ++id) want += letter + reference_code(id) + '\n';
    EXPECT_TRUE(r.out.ends_with(want));
    EXPECT_LT(r.max_rss_kib, memory_bound_kib);
}

// Names cost what their bytes cost: one name of twenty million dots (twenty
// million scopes), and twenty thousand facilities that share one name of
// half a million pieces, convert in bounded memory (and, without a timed
// assertion, well within the test's time limit).
TEST(DamagedTraces, HostileNamesCostLittle) {
    for (const auto &[piece, times, sharing] : {std::tuple{".", 20000000, 1}, {"a.", 499999, 20000}}) {
        Trace t;
        t.facbytes = static_cast<int32_t>(std::strlen(piece) * times + 2);
        for (int32_t i = 0; i < sharing; ++i) t.facilities.push_back({1, 1, i, 0});
        TempDir dir;
        std::string path = dir.write("t.aet", t.bytes());
        { // the name table, written without holding it here
            std::ofstream f(path, std::ios::app | std::ios::binary);
            for (int i = 0; i < times; ++i) f << piece;
            f << 'x' << '\0';
        }
        RunOptions discard;
        discard.stdout_path = "/dev/null";
        RunResult r = run({aetconv_bin, path}, discard);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_LT(r.max_rss_kib, memory_bound_kib);
    }
}

} // namespace
