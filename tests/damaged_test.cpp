// Damaged and hostile traces, converted by the real program: each class with
// its exact status, its message and the standard output that must survive,
// from a file and through a pipe, with the converter's memory bounded.
#include "aet_test.h"
#include "damaged_traces.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace aet;

namespace {

// The converter's peak memory stays small: its tables and buffers, not the
// trace.  (AddressSanitizer's shadow and quarantine make the figure
// meaningless there; the other builds check it.)
void expect_small(const RunResult &r) {
#if defined(__SANITIZE_ADDRESS__)
    constexpr bool measured = false;
#else
    constexpr bool measured = true;
#endif
    if (measured) {
        EXPECT_LT(r.max_rss_kib, 64 * 1024);
    }
}

TEST(DamagedTraces, EachClassEndsAsDocumentedFromAFileAndAPipe) {
    for (const Damage &c : damage_table()) {
        for (bool piped : {false, true}) {
            SCOPED_TRACE(c.what + (piped ? " (pipe)" : " (file)"));
            RunResult r = piped ? convert_piped(c.bytes) : convert_bytes(c.bytes);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.err, c.err);
            EXPECT_TRUE(r.out.ends_with(c.out_tail)) << r.out;
            EXPECT_TRUE(!c.out_tail.empty() || r.out.empty()) << r.out;
            expect_small(r);
        }
    }
}

// A failed standard output is what lost data: it is reported before any
// fault of the trace itself.  A standard output left non-blocking, whose
// reader comes late, is waited for and loses nothing.
TEST(DamagedTraces, OutputThatFailsOrWaits) {
    std::string many, want; // more than a pipe and the output buffer hold
    for (int i = 1; i <= 300000; ++i) {
        many += ev::tick() + ev::single(i & 1, 0);
        want.append("#").append(std::to_string(i)).append(i & 1 ? "\n1!\n" : "\n0!\n");
    }
    TempDir dir;
    RunOptions full;
    full.stdout_path = "/dev/full";
    for (const std::string &events :
         {many, std::string(), ev::tick() + ev::time(5).substr(0, 3), ev::tick() + "\xFF"}) {
        Trace t = small_design();
        t.events = events;
        RunResult r = run({aetconv_bin, dir.write("t.aet", t.bytes())}, full);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Could not write the VCD: No space left on device, exiting.\n");
    }
    Trace t = small_design();
    t.events = many;
    RunOptions late;
    late.nonblocking_stdout = true;
    RunResult r = run({aetconv_bin, dir.write("t.aet", t.bytes())}, late);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.ends_with(enddefs + want));
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
        for (const std::string &bin : {aetconv_bin, aetfst_bin}) {
            if (bin.empty()) continue;
            RunResult r =
                run({"/bin/sh", "-c",
                     "ulimit -v 262144; cat \"$1\" /dev/zero | \"$0\" /dev/stdin ${2:+\"$2\"}", bin,
                     dir.write("head.aet", head), bin == aetfst_bin ? dir.path + "/t.fst" : ""});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err.rfind("Out of memory at offset ", 0), 0u) << r.err;
            EXPECT_EQ(r.err.substr(r.err.find(',')), ", exiting.\n");
            EXPECT_EQ(r.out, bin == aetconv_bin ? header_text(*t) : "");
            EXPECT_FALSE(std::filesystem::exists(dir.path + "/t.fst"));
        }
    }
}

// Designs too large to keep their text stream in constant memory: a
// facility of 65535 x 65535 bits (legal) is declared until its reader
// stops after a few megabytes, when the converter must end promptly; and
// whole-design records over 1.5 million bits are written as they are made,
// with the very bytes a kept text has.
TEST(DamagedTraces, LargeDesignsStream) {
    // A design of no bits: its whole-design records cost nothing.
    Trace none;
    for (int i = 0; i < 500000; ++i)
        none.facilities.push_back({0, 1, 2 * i, 0});
    none.names = "n";
    none.events = std::string(250000, '\xAC') + ev::tick();
    RunResult r = convert(none);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with(enddefs + "#1\n"));
    Trace huge, big;
    huge.fac("huge", 65535, 65535, 0);
    huge.events = ev::all(1);
    big.fac("big", 1500, 1000, 0);
    big.events = ev::all(1) + ev::all(2);
    RunOptions o;
    o.stop_reading_after = 8 << 20;
    TempDir dir;
    r = run({aetconv_bin, dir.write("huge.aet", huge.bytes())}, o);
    EXPECT_TRUE(r.signal == SIGPIPE ||
                (r.status == 1 && r.err.find("Could not write the VCD") == 0))
        << r.status << " " << r.signal << " " << r.err;
    expect_small(r);
    r = convert(big);
    ASSERT_EQ(r.status, 0);
    std::string want;
    for (char letter : {'1', 'x'})
        for (uint32_t id = 0; id < 1500000; ++id)
            want += letter + reference_code(id) + '\n';
    EXPECT_TRUE(r.out.ends_with(want));
    expect_small(r);
}

// Names cost what their bytes cost, whatever their shape: names that read
// alike once written but differ as bytes ("" and "unnamed", a space or a
// byte above 0x7F and '_'), alternating or picked at random among many
// facilities; one name of millions of dots; many facilities on one long
// name, or each on a suffix of it one piece shorter; a scope of its own for
// each of a million facilities; a million names in no order.  Each converts
// in bounded memory, and without a timed assertion well within the test's
// time limit, which a cost of facilities x pieces would pass many times
// over.  (The table is built a row at a time: the peak memory measured
// includes the test's own.)
TEST(DamagedTraces, HostileNamesCostLittle) {
    auto repeat = [](const std::string &piece, int times) {
        std::string s;
        for (int i = 0; i < times; ++i)
            s += piece;
        return s;
    };
    // Which name facility i takes: names in turn, at random, each once in a
    // random order, or the suffix of the first name from byte 2i on.
    enum class Pick { turn, random, shuffled, suffix };
    struct Shape {
        std::string what;
        int names, facilities;
        std::function<std::string(int)> name; // the k-th name
        Pick pick = Pick::turn;
    };
    const Shape shapes[] = {
        {"empty and unnamed pieces", 2, 100000,
         [&](int k) { return repeat(k ? "unnamed." : ".", 300000) + "x"; }},
        {"spaces, high bytes and underscores", 2, 100000,
         [&](int k) { return repeat(k ? "_._." : " .\x80.", 150000) + "x"; }},
        {"forty names at random", 40, 200000,
         [&](int k) { return repeat(".", k) + "unnamed." + repeat(".", 100000) + "x"; },
         Pick::random},
        {"one name of 4,000,000 dots", 1, 1, [&](int) { return repeat(".", 4000000) + "x"; }},
        {"many facilities on one long name", 1, 100000,
         [&](int) { return repeat("a.", 500000) + "x"; }},
        {"suffixes of one long name", 1, 20000, [&](int) { return repeat("a.", 200000) + "x"; },
         Pick::suffix},
        {"a scope of its own for each facility", 1000000, 1000000,
         [](int k) {
             return "top.u" + std::to_string(k / 10000) + ".core" + std::to_string(k / 100 % 100) +
                    ".blk" + std::to_string(k % 100) + ".sig";
         }},
        {"a million names in no order", 1000000, 1000000,
         [](int k) { return "s" + std::to_string(k); }, Pick::shuffled},
    };
    std::mt19937 rng(1);
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.what);
        TempDir dir;
        std::string path;
        { // the trace is gone from the test's memory before the converter starts
            Trace t;
            std::vector<int32_t> offsets;
            for (int k = 0; k < shape.names; ++k) {
                offsets.push_back(static_cast<int32_t>(t.names.size()));
                t.names += shape.name(k) + '\0';
            }
            if (shape.pick == Pick::shuffled) std::shuffle(offsets.begin(), offsets.end(), rng);
            for (int i = 0; i < shape.facilities; ++i) {
                const int32_t offset = shape.pick == Pick::suffix ? 2 * i
                                       : shape.pick == Pick::random
                                           ? offsets[rng() % offsets.size()]
                                           : offsets[size_t(i) % offsets.size()];
                t.facilities.push_back({1, 1, i, offset});
            }
            path = dir.write("t.aet", t.bytes());
        }
        RunOptions discard;
        discard.stdout_path = "/dev/null";
        RunResult r = run({aetconv_bin, path}, discard);
        EXPECT_EQ(r.status, 0) << r.err;
        expect_small(r);
    }
}

// aetfst fails as aetconv does on every damaged trace, keeping in a file
// that readers open what came before damage in the records; and it refuses
// what it cannot write.  A failure leaves nothing under the output's name
// and nothing beside it, and changes no other kind of file than a regular
// one (the nodes are the test's own).
TEST(Fst, FailuresLeaveNoHalfWrittenFile) {
    REQUIRE_OR_SKIP(!aetfst_bin.empty(), "aetfst");
    TempDir dir;
    const std::string fst = dir.path + "/t.fst";
    auto temporaries = [&dir] { // files aetfst or the library would leave beside t.fst
        int n = 0;
        for (const auto &e : std::filesystem::directory_iterator(dir.path))
            n += e.path().filename().string().starts_with(".aetfst-");
        return n;
    };
    for (const Damage &c : damage_table()) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(fst);
        RunResult r = run({aetfst_bin, dir.write("t.aet", c.bytes), fst});
        const bool declared =
            convert_bytes(c.bytes).out.find("$enddefinitions") != std::string::npos;
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(std::filesystem::exists(fst), declared);
        if (declared) {
            EXPECT_EQ(run({"fst2vcd", "-f", fst}).status, 0);
        }
        EXPECT_EQ(temporaries(), 0);
    }

    Trace empty, huge, many;
    huge.fac("huge", 65535, 65535, 0);
    for (int i = 0; i < 20000; ++i)
        many.bit("s" + std::to_string(i));
    for (uint32_t i = 0; i < 300000; ++i)
        many.events += ev::tick() + ev::single(i & 1, (i * 7919) % 20000);
    const std::string usage =
        "Usage:\n------\n" + aetfst_bin + " filename fstfile\n\nFST is then written to fstfile.\n";
    const bool root = geteuid() == 0;
    if (root) mknod((dir.path + "/node").c_str(), S_IFCHR | 0666, makedev(1, 3));
    mkfifo((dir.path + "/fifo").c_str(), 0666);
    std::filesystem::create_directory(dir.path + "/dir");
    std::filesystem::create_directory_symlink("dir", dir.path + "/link");
    std::filesystem::create_symlink("nothing", dir.path + "/dangling");
    const std::string t = dir.write("t.aet", small_design().bytes());
    auto refused = [](const std::string &name) {
        return "Could not write '" + name + "': not a regular file, exiting.\n";
    };
    struct Case {
        std::vector<std::string> argv;
        std::string err;
    };
    std::vector<Case> cases = {
        {{aetfst_bin}, usage},
        {{aetfst_bin, t}, usage},
        {{aetfst_bin, t, fst, "x"}, usage},
        {{aetfst_bin, dir.write("e.aet", empty.bytes()), fst},
         "The design has no wires, and an FST needs one, exiting.\n"},
        {{aetfst_bin, dir.write("h.aet", huge.bytes()), fst},
         "The design has 4294836225 wires, more than an FST can number, exiting.\n"},
        {{aetfst_bin, t + "x", fst}, "Could not open '" + t + "x', exiting.\n"},
    };
    for (const char *node : {"/node", "/fifo", "/dir", "/link", "/dangling"})
        if (root || node != std::string("/node"))
            cases.push_back({{aetfst_bin, t, dir.path + node}, refused(dir.path + node)});
    if (root && std::system("unshare --mount true >/dev/null 2>&1") == 0) {
        // A file system that fills up while the file is written.
        cases.push_back(
            {{"unshare", "--mount", "sh", "-c",
              "mount -t tmpfs -o size=256k none \"$2\" && exec \"$0\" \"$1\" \"$2/t.fst\"",
              aetfst_bin, dir.write("m.aet", many.bytes()), dir.path + "/dir"},
             "Could not write '" + dir.path + "/dir/t.fst': No space left on device, exiting.\n"});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argv.back());
        std::filesystem::remove(fst);
        RunResult r = run(c.argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(std::filesystem::exists(fst));
        EXPECT_EQ(temporaries(), 0);
        EXPECT_TRUE(std::filesystem::is_empty(dir.path + "/dir"));
    }
    // Ended by a signal while it waits for the rest of the trace.
    RunOptions slow;
    slow.input = small_design().bytes() + ev::tick();
    slow.pause_after = slow.input.size() - 1;
    RunResult r = run({"timeout", "0.5", aetfst_bin, "/dev/stdin", fst}, slow);
    EXPECT_EQ(r.status, 124);
    EXPECT_FALSE(std::filesystem::exists(fst));
    EXPECT_EQ(temporaries(), 0);

    struct stat sb {};
    EXPECT_TRUE(!root || (stat((dir.path + "/node").c_str(), &sb) == 0 && S_ISCHR(sb.st_mode)));
    EXPECT_TRUE(stat((dir.path + "/fifo").c_str(), &sb) == 0 && S_ISFIFO(sb.st_mode));
}

} // namespace
