// Damaged and hostile traces, converted by the real program: each class
// with its exact status, its message and the standard output that must
// survive, and with the converter's peak memory bounded.
#include "aet_test.h"

#include <csignal>
#include <gtest/gtest.h>

using namespace aet;

namespace {

constexpr long memory_bound_kib = 64 * 1024;

Trace small_design() {
    Trace t;
    t.fac("top.a", 1, 1, 0).fac("top.sub.b", 1, 4, 1).fac("x", 1, 1, 5);
    return t;
}

struct Damage {
    const char *what;
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
std::string tag_message(const char *hex) { return std::string("[") + hex + "] Unknown tag, exiting.\n"; }

std::vector<Damage> damage_table() {
    std::vector<Damage> d;
    const std::string not_aet = "Not a Texsim format AET, exiting.\n";
    d.push_back({"empty file", "", 1, not_aet, ""});
    d.push_back({"wrong format byte", std::string(300, '\xA1'), 1, not_aet, ""});

    Trace a = small_design();
    a.events = ev::tick() + ev::list(1, {0, 1});
    const std::string full = a.bytes();
    for (size_t field : {20, 28, 60, 68, 72})
        d.push_back({"0xA0 header cut at a field", full.substr(0, field + 2), 1,
                     cut_message(field + 2), ""});
    Trace c = small_design();
    c.format = 0xC0;
    for (size_t field : {88, 96, 104})
        d.push_back({"0xC0 header cut at a field", c.bytes().substr(0, field + 1), 1,
                     cut_message(field + 1), ""});
    c.model = std::string(200, 'm');
    d.push_back({"0xC0 model name without its 0 byte", c.bytes().substr(0, 250), 1,
                 cut_message(250), ""});
    c.model = "m";
    c.c0_text = "text";
    d.push_back({"0xC0 text at 240 without its 0 byte", c.bytes().substr(0, 243), 1,
                 cut_message(243), "bytes.\n$end\n\n$timescale\n\t1ns\n$end\n\n"});

    const std::string head_end = "$timescale\n\t1ns\n$end\n\n";
    d.push_back({"records cut", full.substr(0, 164 + 20), 1, cut_message(184), head_end});
    d.push_back({"name table cut", full.substr(0, 164 + 48 + 5), 1, cut_message(217), head_end});
    Trace neg = small_design();
    neg.facbytes = -1;
    d.push_back({"negative facbytes", neg.bytes(), 1, "Negative name table size -1, exiting.\n",
                 "\t3 facilities found occupying -1 bytes.\n$end\n\n" + head_end});
    Trace huge = small_design();
    huge.numfacs = 2000000000;
    d.push_back({"numfacs of 2,000,000,000 in a tiny file", huge.bytes(), 1,
                 cut_message(huge.bytes().size()), head_end});
    Trace names = small_design();
    names.facilities[0].name_offset = -100;
    names.facilities[2].name_offset = 1 << 28;
    names.names.pop_back(); // the last name loses its NUL
    names.events = ev::single(1, 0);
    d.push_back({"names outside the table, a name without NUL", names.bytes(), 0, "",
                 "$var wire 1 & unnamed $end\n$enddefinitions $end\n\n1!\n"});

    for (int tag : {0x00, 0xA3, 0xB9, 0xFF}) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", tag);
        d.push_back({"unknown tag", full + std::string(1, static_cast<char>(tag)) + ev::tick(), 1,
                     tag_message(hex), "#1\n1!\n1\"\n"});
    }
    const size_t next = full.size();
    for (const std::string &cut : {ev::time(9).substr(0, 2), ev::delta(1).substr(0, 1),
                                   ev::base(1).substr(0, 3), ev::list(0, {1, 2}).substr(0, 2),
                                   ev::list(0, {1, 2}).substr(0, 4), ev::single(0, 1).substr(0, 3)})
        d.push_back({"cut inside an operand", full + cut, 1, record_message(next), "#1\n1!\n1\"\n"});

    Trace wrap = small_design();
    wrap.facilities[1].first_id = -2; // bits -2, -1, 0, 1
    wrap.events = ev::time(0xFFFFFFFF) + ev::tick() + ev::base(0xFFFFFFFE) + ev::list(1, {1, 3}) +
                  ev::base_steps(255) + ev::all(0);
    wrap.multiplier = static_cast<int32_t>(0x80000000u);
    d.push_back({"negative identifiers, base and time wrapping", wrap.bytes(), 0, "",
                 "#4294967295\n#0\n1J|\"\"X\n1\"\n0!\n0I|\"\"X\n0J|\"\"X\n0!\n0\"\n0&\n"});
    return d;
}

TEST(DamagedTraces, EachClassEndsAsDocumented) {
    for (const Damage &c : damage_table()) {
        SCOPED_TRACE(c.what);
        RunResult r = convert_bytes(c.bytes);
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
    EXPECT_TRUE(r.signal == SIGPIPE ||
                (r.status == 1 && r.err.find("Could not write the VCD") == 0))
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
    for (char letter : {'1', 'x'}) {
        for (uint32_t id = 0; id < 1500000; ++id) {
            want += letter;
            for (uint32_t n = id;; n /= 94) {
                want += static_cast<char>('!' + n % 94);
                if (n < 94) break;
            }
            want += '\n';
        }
    }
    ASSERT_GT(r.out.size(), want.size());
    EXPECT_TRUE(r.out.compare(r.out.size() - want.size(), want.size(), want) == 0);
    EXPECT_LT(r.max_rss_kib, memory_bound_kib);
}

TEST(DamagedTraces, ClaimsCostNoMemoryOnPipes) {
    Trace t = small_design();
    t.numfacs = 2000000000;
    t.facbytes = 2000000000;
    RunOptions o;
    o.input = t.bytes();
    RunResult r = run({aetconv_bin, "/dev/stdin"}, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, cut_message(t.bytes().size()));
    EXPECT_LT(r.max_rss_kib, memory_bound_kib);
}

} // namespace
