// The VCD that aetconv writes, read back by a real VCD reader: GTKWave's
// vcd2fst turns it into an FST database and fst2vcd writes that back out.
// The value changes read back must be the ones the trace encodes.
#include "aet_test.h"
#include "damaged_traces.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sstream>
#include <tuple>

using namespace aet;

namespace {

// A value change: time, full name, value.
using Change = std::tuple<uint64_t, std::string, char>;

// The net effect of each time step: per signal the last value written at
// that time, kept only where it differs from the signal's previous value
// (which starts as 'x').  Readers may drop repeated values; this form is
// what any faithful reader must agree on.
std::vector<Change> settle(const std::vector<Change> &raw) {
    std::vector<Change> out;
    std::map<std::string, char> shown;
    size_t i = 0;
    while (i < raw.size()) {
        std::map<std::string, char> step;
        uint64_t t = std::get<0>(raw[i]);
        for (; i < raw.size() && std::get<0>(raw[i]) == t; ++i)
            step[std::get<1>(raw[i])] = std::get<2>(raw[i]);
        for (const auto &[name, value] : step) {
            auto [it, fresh] = shown.try_emplace(name, 'x');
            if (it->second != value) out.push_back({t, name, value});
            it->second = value;
        }
    }
    return out;
}

// A minimal reader for one-bit VCD: scopes, $var lines and scalar changes.
std::vector<Change> read_vcd(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> scope;
    std::map<std::string, std::string> names; // identifier -> full name
    std::vector<Change> changes;
    uint64_t t = 0;
    std::string tok;
    while (in >> tok) {
        if (tok == "$scope") {
            std::string kind, name, end;
            in >> kind >> name >> end;
            scope.push_back(name);
        } else if (tok == "$upscope") {
            in >> tok;
            if (!scope.empty()) scope.pop_back();
        } else if (tok == "$var") {
            std::string type, size, id, ref, rest, full;
            in >> type >> size >> id >> ref;
            while (in >> rest && rest != "$end")
                ref += rest; // "name [3]" -> "name[3]"
            for (const auto &s : scope)
                full += s + ".";
            names[id] = full + ref;
        } else if (tok[0] == '$') {
            // $date, $version, $timescale and the like: skip to their $end.
            if (tok != "$dumpvars" && tok != "$end" && tok != "$enddefinitions")
                while (in >> tok && tok != "$end") {
                }
        } else if (tok[0] == '#') {
            t = std::stoull(tok.substr(1));
        } else if (std::string("01xzXZ").find(tok[0]) != std::string::npos) {
            auto it = names.find(tok.substr(1));
            EXPECT_NE(it, names.end()) << tok;
            if (it != names.end())
                changes.push_back({t, it->second, static_cast<char>(std::tolower(tok[0]))});
        }
    }
    return changes;
}

// Our VCD as the reader reads it back.
std::vector<Change> through_reader(const std::string &vcd) {
    TempDir dir;
    std::string vcd_path = dir.write("t.vcd", vcd), fst_path = dir.path + "/t.fst";
    RunResult r = run({"/bin/sh", "-c", "vcd2fst \"$0\" \"$1\" >/dev/null && fst2vcd \"$1\"",
                       vcd_path, fst_path});
    EXPECT_EQ(r.status, 0) << r.err;
    return read_vcd(r.out);
}

// A trace that uses every record kind, made from a seeded random walk, and
// the value changes it encodes (worked out as it is written).
Trace generate(uint8_t format, unsigned seed, std::vector<Change> &changes) {
    Trace t;
    t.format = format;
    t.multiplier = 3;
    t.fac("tb.clk", 1, 1, 0).fac("tb.rst", 1, 1, 1).fac("tb.core.data", 1, 8, 2);
    t.fac("tb.core.mem", 4, 2, 10).fac("tb.core.alu.flag", 1, 1, 18).fac("done", 1, 1, 19);
    t.fac("tb.io.bus", 1, 16, 300); // identifiers beyond the others, for list bases
    std::vector<std::pair<uint32_t, std::string>> bits;
    for (const auto &f : t.facilities) {
        std::string name(t.names.c_str() + f.name_offset);
        int n = f.array_count * f.width;
        for (int k = 0; k < n; ++k)
            bits.push_back(
                {uint32_t(f.first_id + k), n == 1 ? name : name + "[" + std::to_string(k) + "]"});
    }

    std::mt19937 rng(seed);
    auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const char letters[] = "01xz";
    std::string &e = t.events;
    // One trace starts near 2^32, and its clock counts on past it.
    uint64_t time = seed == 3 ? UINT32_MAX - 20000 : 0;
    uint32_t base = 0;
    e += ev::time(uint32_t(time));
    for (int step = 0; step < 400; ++step) {
        switch (pick(3)) {
        case 0:
            e += ev::tick();
            time += 1;
            break;
        case 1: {
            uint8_t d = uint8_t(1 + pick(255));
            e += ev::delta(d);
            time += d;
            break;
        }
        default:
            if (time + 1000 > UINT32_MAX) {
                e += ev::tick();
                time += 1;
                break;
            }
            time += 1 + pick(1000);
            e += ev::time(uint32_t(time));
            break;
        }
        for (uint32_t n = pick(4); n > 0; --n) {
            int v = int(pick(4));
            uint32_t kind = pick(10);
            if (kind < 4) {
                const auto &[id, name] = bits[pick(uint32_t(bits.size()))];
                e += ev::single(v, id);
                changes.push_back({time, name, letters[v]});
            } else if (kind < 9) {
                // Move the base by one of the three base records, then list
                // identifiers relative to it.
                switch (pick(4)) {
                case 0:
                    base = pick(2) * 300;
                    e += ev::base(base);
                    break;
                case 1: {
                    uint8_t k = uint8_t(pick(4));
                    base += 3u * k;
                    e += ev::base_steps(k);
                    break;
                }
                case 2:
                    base += 3;
                    e += ev::base_step();
                    break;
                default:
                    break;
                }
                if (base > 300) {
                    base = 0;
                    e += ev::base(0);
                }
                std::vector<uint16_t> ids;
                for (const auto &[id, name] : bits) {
                    if (id < base || pick(3) != 0) continue;
                    ids.push_back(uint16_t(id - base));
                    changes.push_back({time, name, letters[v]});
                }
                e += ev::list(v, ids);
            } else {
                e += ev::all(v);
                for (const auto &[id, name] : bits)
                    changes.push_back({time, name, letters[v]});
            }
            if (pick(8) == 0) e += ev::nop();
        }
    }
    e += ev::end();
    return t;
}

TEST(RealReader, GeneratedTracesReadBackAsEncoded) {
    REQUIRE_OR_SKIP(run({"/bin/sh", "-c", "command -v vcd2fst && command -v fst2vcd"}).status == 0,
                    "vcd2fst and fst2vcd");
    for (uint8_t format : {0xA0, 0xC0}) {
        for (unsigned seed : {1u, 2u, 3u}) {
            std::vector<Change> changes;
            RunResult r = convert(generate(format, seed, changes));
            ASSERT_EQ(r.status, 0) << r.err;
            std::vector<Change> want = settle(changes);
            ASSERT_GT(want.size(), 500u);
            EXPECT_EQ(settle(through_reader(r.out)), want)
                << "format " << int(format) << " seed " << seed;
        }
    }
}

// The two routes to an FST, aetfst and aetconv through vcd2fst, as fst2vcd
// writes them back, from the time scale on (the date and version differ by
// design); and what aetfst said.
struct Routes {
    RunResult direct;
    std::string fst, via_vcd;
};
Routes both_routes(const std::string &trace_bytes) {
    TempDir dir;
    const std::string trace = dir.write("t.aet", trace_bytes);
    Routes r;
    r.direct = run({aetfst_bin, trace, dir.path + "/t.fst"});
    auto from_timescale = [](const std::string &vcd) {
        return vcd.substr(std::min(vcd.find("$timescale"), vcd.size()));
    };
    r.fst = from_timescale(run({"fst2vcd", "-f", dir.path + "/t.fst"}).out);
    RunResult via =
        run({"/bin/sh", "-c",
             "\"$0\" \"$1\" >\"$1.vcd\" && vcd2fst -v \"$1.vcd\" -f \"$1.v.fst\" >/dev/null "
             "&& fst2vcd -f \"$1.v.fst\"",
             aetconv_bin, trace});
    r.via_vcd = from_timescale(via.out);
    return r;
}

// Every trace gives the same scopes, wires and value changes by both
// routes: the examples, generated traces of every record kind in both
// formats, and the edges an FST cannot hold as a trace has them.
TEST(Fst, BothRoutesReadBackAlike) {
    REQUIRE_OR_SKIP(!aetfst_bin.empty() &&
                        run({"/bin/sh", "-c", "command -v vcd2fst && command -v fst2vcd"}).status ==
                            0,
                    "aetfst, vcd2fst and fst2vcd");
    struct Case {
        std::string what, bytes, err;
        bool route_opens = true; // vcd2fst's FST of a trace that changes nothing opens in no reader
    };
    std::vector<Case> cases;
    for (const char *name : {"/counter.aet", "/counter_c0.aet"})
        cases.push_back({name, read_file(std::string(EXAMPLES_DIR) + name), ""});
    for (uint8_t format : {0xA0, 0xC0}) {
        std::vector<Change> unused;
        cases.push_back({"generated", (generate)(format, format & 3, unused).bytes(), ""});
    }
    Trace edges;
    edges.fac("a", 1, 1, 0).fac("top.b", 1, 1, 0).fac("top.v", 2, 2, 1).fac("none", 0, 3, 7);
    edges.fac("far", 1, 1, int32_t(4000000000u));
    edges.events = ev::single(1, 0) + ev::time(100) + ev::single(0, 2) + ev::single(0, 2) +
                   ev::all(1) + ev::zero() + ev::single(1, 8) + ev::time(50) + ev::list(0, {7, 9}) +
                   ev::base(3999999999u) + ev::list(1, {1, 2}) + ev::single(1, 12345) +
                   ev::time(200) + ev::all(0);
    cases.push_back({"aliases, no bits, times back, undeclared identifiers", edges.bytes(),
                     "aetfst: 2 time records went back; the changes after them were written at the "
                     "largest time so far.\naetfst: 3 value changes for identifiers that no "
                     "facility declares were left out.\n"});
    Trace still = small_design();
    still.events = ev::time(5) + ev::single(1, 99);
    cases.push_back({"time but no change", still.bytes(),
                     "aetfst: 1 value changes for identifiers that no facility declares were left "
                     "out.\n",
                     false});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Routes r = both_routes(c.bytes);
        EXPECT_EQ(r.direct.status, 0);
        EXPECT_EQ(r.direct.err, c.err);
        EXPECT_EQ(r.fst, c.route_opens ? r.via_vcd : r.fst);
        EXPECT_NE(r.fst.find("$var"), std::string::npos);
    }
}

TEST(Example, OutputMatchesTheStoredVcd) {
    for (const char *name : {"counter", "counter_c0"}) {
        std::string dir = EXAMPLES_DIR;
        RunResult r = run({aetconv_bin, dir + "/" + name + ".aet"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, read_file(dir + "/" + name + ".vcd")) << name;
    }
}

TEST(Example, StoredTracesComeFromTheBuilder) {
    TempDir dir;
    RunResult r = run({MAKE_EXAMPLE_PATH, dir.path});
    ASSERT_EQ(r.status, 0);
    for (const char *name : {"/counter.aet", "/counter_c0.aet"})
        EXPECT_EQ(read_file(dir.path + name), read_file(std::string(EXAMPLES_DIR) + name)) << name;
}

} // namespace
