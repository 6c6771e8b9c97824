// Damaged and hostile traces, converted by the real program: each class with
// its exact status, its message and the standard output that must survive,
// from a file and through a pipe, with the converter's memory bounded.
#include "aet_test.h"

#include <csignal>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <tuple>

using namespace aet;

namespace {

constexpr long memory_bound_kib = 64 * 1024;

Trace small_design() {
    Trace t;
    t.fac("top.a", 1, 1, 0).fac("top.sub.b", 1, 4, 1).fac("x", 1, 1, 5);
    return t;
}

struct Damage {
    std::string what;
    std::string bytes;
    int status;
    std::string err;
    std::string out_tail; // how standard output must end ("" when it must be empty)
};

std::string cut_message(size_t at) {
    return "Trace truncated at offset " + std::to_string(at) + ", exiting.\n";
}
std::string record_message(size_t at) {
    return "Trace truncated inside the record at offset " + std::to_string(at) + ", exiting.\n";
}

std::vector<Damage> damage_table() {
    std::vector<Damage> d;
    for (const std::string &bytes : {std::string(), std::string("\xB0\x00\x00", 3),
                                    std::string(200, '\0'), std::string("\xA1")})
        d.push_back({"not a trace", bytes, 1, "Not a Texsim format AET, exiting.\n", ""});

    Trace a = small_design();
    a.events = ev::tick() + ev::list(1, {0, 1});
    const std::string full = a.bytes();
    for (size_t cut : {1, 20, 27, 50, 63, 71, 75})
        d.push_back({"0xA0 header cut at " + std::to_string(cut), full.substr(0, cut), 1,
                     cut_message(cut), ""});
    Trace c = small_design();
    c.format = 0xC0;
    for (size_t cut : {80, 89, 97, 103, 110}) // 110: inside the model name
        d.push_back({"0xC0 header cut at " + std::to_string(cut), c.bytes().substr(0, cut), 1,
                     cut_message(cut), ""});
    c.model = std::string(200, 'm');
    d.push_back({"0xC0 model name without its 0 byte", c.bytes().substr(0, 250), 1,
                 cut_message(250), ""});
    c.model = "m";
    c.c0_text = "text";
    d.push_back({"0xC0 text at 240 without its 0 byte", c.bytes().substr(0, 243), 1,
                 cut_message(243), "bytes.\n$end\n\n$timescale\n\t1ns\n$end\n\n"});
    c.model = std::string(300, 'q'); // runs past the text at 240
    c.events = ev::zero() + ev::single(1, 5);
    d.push_back({"0xC0 model name past 240", c.bytes(), 0, "",
                 "$var wire 1 & x $end\n$enddefinitions $end\n\n#0\n1&\n"});

    const std::string head_end = "$timescale\n\t1ns\n$end\n\n";
    d.push_back({"before the records", full.substr(0, 100), 1, cut_message(100), head_end});
    d.push_back({"records cut", full.substr(0, 164 + 20), 1, cut_message(184), head_end});
    d.push_back({"name table cut", full.substr(0, 164 + 48 + 5), 1, cut_message(217), head_end});
    Trace neg = small_design();
    neg.facbytes = -1;
    d.push_back({"negative facbytes", neg.bytes(), 1, "Negative name table size -1, exiting.\n",
                 "\t3 facilities found occupying -1 bytes.\n$end\n\n" + head_end});
    Trace huge = small_design();
    huge.numfacs = huge.facbytes = 2000000000;
    d.push_back({"counts of 2,000,000,000 in a tiny file", huge.bytes(), 1,
                 cut_message(huge.bytes().size()), head_end});
    Trace names = small_design();
    names.facilities[0].name_offset = -100;
    names.facilities[2].name_offset = 1 << 28;
    names.names.pop_back(); // the last name loses its NUL
    names.events = ev::single(1, 0);
    d.push_back({"names outside the table, a name without NUL", names.bytes(), 0, "",
                 "$var wire 1 & unnamed $end\n$enddefinitions $end\n\n1!\n"});

    const std::string kept = "#1\n1!\n1\"\n";
    for (int tag : {0x00, 0xA3, 0xB9, 0xFF}) {
        const char hex[] = "0123456789abcdef";
        d.push_back({"unknown tag", full + std::string(1, static_cast<char>(tag)) + ev::tick(), 1,
                     std::string{'[', hex[tag >> 4], hex[tag & 15]} + "] Unknown tag, exiting.\n", kept});
    }
    for (const std::string &cut :
         {ev::time(9).substr(0, 2), ev::delta(1).substr(0, 1), ev::base(1).substr(0, 3),
          ev::base_steps(2).substr(0, 1), ev::list(0, {1, 2}).substr(0, 2),
          ev::list(0, {1, 2}).substr(0, 4), ev::list(0, {1, 2}).substr(0, 6),
          ev::single(0, 1).substr(0, 3)})
        d.push_back({"cut inside an operand", full + cut, 1, record_message(full.size()), kept});

    Trace wrap = small_design();
    wrap.facilities[1].first_id = -2; // bits -2, -1, 0, 1
    wrap.events = ev::time(0xFFFFFFFF) + ev::tick() + ev::base(0xFFFFFFFE) + ev::list(1, {1, 3}) +
                  ev::base_steps(255) + ev::all(0);
    wrap.multiplier = static_cast<int32_t>(0x80000000u);
    d.push_back({"negative identifiers, base and time wrapping", wrap.bytes(), 0, "",
                 "#4294967295\n#0\n1J|\"\"X\n1\"\n0!\n0I|\"\"X\n0J|\"\"X\n0!\n0\"\n0&\n"});
    return d;
}

TEST(DamagedTraces, EachClassEndsAsDocumentedFromAFileAndAPipe) {
    for (const Damage &c : damage_table()) {
        for (bool piped : {false, true}) {
            SCOPED_TRACE(c.what + (piped ? " (pipe)" : " (file)"));
            RunResult r = piped ? convert_piped(c.bytes) : convert_bytes(c.bytes);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.err, c.err);
            if (c.out_tail.empty()) {
                EXPECT_EQ(r.out, "");
            } else {
                ASSERT_GE(r.out.size(), c.out_tail.size());
                EXPECT_EQ(r.out.substr(r.out.size() - c.out_tail.size()), c.out_tail);
            }
            EXPECT_LT(r.max_rss_kib, memory_bound_kib);
        }
    }
}

// A failed standard output is what lost data: it is reported before any
// fault of the trace itself.
TEST(DamagedTraces, FailedOutputIsReportedFirst) {
    Trace many;
    many.bit("clk");
    for (int i = 0; i < 100000; ++i) many.events += ev::tick() + ev::single(i & 1, 0);
    Trace cut = small_design();
    cut.events = ev::tick() + ev::time(5).substr(0, 3);
    Trace bad_tag = small_design();
    bad_tag.events = ev::tick() + "\xFF";
    Trace small = small_design();
    TempDir dir;
    RunOptions full;
    full.stdout_path = "/dev/full";
    for (const Trace *t : {&many, &small, &cut, &bad_tag}) {
        RunResult r = run({aetconv_bin, dir.write("t.aet", t->bytes())}, full);
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
    ASSERT_GT(r.out.size(), want.size());
    EXPECT_TRUE(r.out.compare(r.out.size() - want.size(), want.size(), want) == 0);
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
