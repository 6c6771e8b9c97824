// The facility table and the declaration section, through the built program.
#include "aet_test.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>

using namespace aet;

namespace {

// The declaration section that aetconv writes for a trace (its output after
// the header blocks); the run must succeed.
std::string declarations(const Trace &t) {
    RunResult r = convert(t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string head = header_text(t);
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    return r.out.substr(std::min(head.size(), r.out.size()));
}

// One one-bit facility per name, identifiers 0, 1, 2, ...
std::string declarations(std::initializer_list<std::string> names) {
    Trace t;
    for (const auto &n : names)
        t.bit(n);
    return declarations(t);
}

TEST(Declarations, WorkedExampleByteForByte) {
    Trace t;
    t.fac("top.a", 1, 1, 0).fac("top.sub.b", 1, 4, 1).fac("x", 1, 1, 5);
    EXPECT_EQ(declarations(t), "$scope module top $end\n"
                               "$var wire 1 ! a $end\n"
                               "$scope module sub $end\n"
                               "$var wire 1 \" b[0] $end\n"
                               "$var wire 1 # b[1] $end\n"
                               "$var wire 1 $ b[2] $end\n"
                               "$var wire 1 % b[3] $end\n"
                               "$upscope $end\n"
                               "$upscope $end\n"
                               "$var wire 1 & x $end\n" +
                                   enddefs);
}

TEST(Declarations, ScopeWalkAgainstThePreviousFacility) {
    struct Case {
        std::initializer_list<std::string> names;
        std::string want;
    };
    // Against the previous facility only: scope a is opened twice.
    const Case cases[] = {
        {{"a.x", "b.y", "a.z"},
         "$scope module a $end\n$var wire 1 ! x $end\n$upscope $end\n"
         "$scope module b $end\n$var wire 1 \" y $end\n$upscope $end\n"
         "$scope module a $end\n$var wire 1 # z $end\n"},
        // An empty name or piece is written "unnamed"; bytes that would break
        // the line become '_'; '!'..'~' stay as they are.
        {{"", "a."},
         "$var wire 1 ! unnamed $end\n$scope module a $end\n$var wire 1 \" unnamed $end\n"},
        {{"top.my sig", "t\tp.\x80z", "w$!~[3]"},
         "$scope module top $end\n$var wire 1 ! my_sig $end\n$upscope $end\n"
         "$scope module t_p $end\n$var wire 1 \" _z $end\n$upscope $end\n"
         "$var wire 1 # w$!~[3] $end\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(declarations(c.names), c.want + enddefs);
}

// Names made of pieces that read alike once written ("" and "unnamed", a
// space, a byte above 0x7F and '_'), in odd rounds each name new, in even
// rounds some shared by several facilities, against the walk written plainly: each facility's scope
// pieces as written, compared with the previous facility's.
TEST(Declarations, RandomNamesFollowThePlainWalk) {
    std::mt19937 rng(7);
    const std::string pieces[] = {"", "unnamed", " ", "_", "\x80", "a", "b"},
                      as_written[] = {"unnamed", "unnamed", "_", "_", "_", "a", "b"};
    for (int round = 0; round <= 200; ++round) {
        Trace t;
        std::vector<std::vector<std::string>> paths; // each facility's, as written
        // The last round: names that each split nodes more than once, one of
        // them again and as a copy (more nodes than a child table foresees).
        for (int k = 0; round == 200 && k < 15; ++k) {
            const int last = k < 13 ? k : 11; // 13: name 11 again, 14: a copy of it
            std::string name;
            paths.emplace_back();
            for (int j = 0; j <= last; ++j) {
                const std::string z = 'z' + std::to_string(j);
                name.append(z).append(j < last ? ".." : ".unnamed.r.");
                paths.back().insert(paths.back().end(), {z, "unnamed"});
            }
            paths.back().push_back("r");
            if (k == 13) {
                t.facilities.push_back({1, 1, k, t.facilities[11].name_offset});
            } else {
                t.fac(name + "x", 1, 1, k);
            }
        }
        for (int32_t id = 0, n = round == 200 ? 0 : int32_t(1 + rng() % 30); id < n; ++id) {
            if (id > 0 && round % 2 == 0 && rng() % 4 == 0) { // an earlier facility's name
                size_t k = rng() % paths.size();
                t.facilities.push_back({1, 1, id, t.facilities[k].name_offset});
                paths.push_back(paths[k]);
                continue;
            }
            std::string name;
            paths.emplace_back();
            for (auto p = rng() % 6; p > 0; --p) {
                size_t k = rng() % std::size(pieces);
                name += pieces[k] + ".";
                paths.back().push_back(as_written[k]);
            }
            t.fac(name + "x", 1, 1, id);
        }
        std::string want;
        std::vector<std::string> open;
        for (size_t i = 0; i < paths.size(); ++i) {
            auto same = size_t(
                std::mismatch(open.begin(), open.end(), paths[i].begin(), paths[i].end()).first -
                open.begin());
            for (size_t k = same; k < open.size(); ++k)
                want += "$upscope $end\n";
            for (size_t k = same; k < paths[i].size(); ++k)
                want += "$scope module " + paths[i][k] + " $end\n";
            want += "$var wire 1 " + reference_code(uint32_t(i)) + " x $end\n";
            open = paths[i];
        }
        ASSERT_EQ(declarations(t), want + enddefs) << "round " << round;
    }
}

// Identifiers count on from first_id, wrapping to unsigned 32 bits.
TEST(Declarations, OneWirePerBit) {
    Trace t;
    t.fac("one", 1, 1, 7).fac("six", 2, 3, 10).fac("none", 0, 4, 20).fac("nowidth", 3, 0, 30);
    t.fac("w", 1, 3, -2); // 4294967294, 4294967295, 0
    EXPECT_EQ(declarations(t), "$var wire 1 ( one $end\n"
                               "$var wire 1 + six[0] $end\n$var wire 1 , six[1] $end\n"
                               "$var wire 1 - six[2] $end\n$var wire 1 . six[3] $end\n"
                               "$var wire 1 / six[4] $end\n$var wire 1 0 six[5] $end\n"
                               "$var wire 1 5 none[0] $end\n$var wire 1 6 none[-1] $end\n"
                               "$var wire 1 ? nowidth[0] $end\n$var wire 1 @ nowidth[-1] $end\n"
                               "$var wire 1 I|\"\"X w[0] $end\n$var wire 1 J|\"\"X w[1] $end\n"
                               "$var wire 1 ! w[2] $end\n" +
                                   enddefs);
}

} // namespace
