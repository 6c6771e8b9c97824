#include "input.h"
#include "vcdid.h"

#include <gtest/gtest.h>
#include <cstring>
#include <set>

namespace {

std::string code(int32_t n) {
    char buf[16];
    int len = vcdid(n, buf);
    EXPECT_EQ(static_cast<size_t>(len), std::strlen(buf));
    return buf;
}

TEST(Vcdid, WorkedValues) {
    EXPECT_EQ(code(0), "!");
    EXPECT_EQ(code(93), "~");
    EXPECT_EQ(code(94), "!\"");
    EXPECT_EQ(code(8835), "~~");
    EXPECT_EQ(code(8836), "!!\"");
    EXPECT_EQ(code(2147483647), "d}PP<");
}

TEST(Vcdid, LengthsChangeExactlyAtPowersOf94) {
    for (uint64_t power = 94; power <= UINT32_MAX; power *= 94) {
        EXPECT_EQ(code(static_cast<int32_t>(power - 1)).size() + 1,
                  code(static_cast<int32_t>(power)).size());
    }
    EXPECT_EQ(code(-1).size(), 5u);
    EXPECT_EQ(code(1).size(), 1u);
}

TEST(Vcdid, NegativeNumbersEncodeTheirUnsignedValue) {
    // -1 is 4294967295 = 5 digits; every character stays printable.
    std::set<std::string> seen;
    for (int32_t n : {-1, -2, -94, INT32_MIN, INT32_MIN + 1}) {
        std::string c = code(n);
        EXPECT_LE(c.size(), 5u);
        for (char ch : c) {
            EXPECT_GE(ch, '!');
            EXPECT_LE(ch, '~');
        }
        EXPECT_TRUE(seen.insert(c).second) << n;
    }
    EXPECT_EQ(code(INT32_MIN), "e}PP<"); // one more than 2147483647
}

TEST(Readers, BigEndianAndEndOfInput) {
    const unsigned char bytes[] = {0x12, 0xFF, 0xFE, 0x80, 0x00, 0x00, 0x01, 0x7F};
    Input in;
    in_open_memory(in, bytes, sizeof bytes);
    EXPECT_EQ(get_byte(in), 0x12);
    EXPECT_EQ(get_short(in), 0xFFFE);
    EXPECT_EQ(get_long(in), static_cast<int32_t>(0x80000001u)); // negative
    EXPECT_EQ(get_byte(in), 0x7F);
    EXPECT_EQ(get_byte(in), -1);
    EXPECT_EQ(in_offset(in), sizeof bytes);
}

} // namespace
