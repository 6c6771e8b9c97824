// Identifier codes against the digit-by-digit reference encoder.
#include "trace_builder.h"
#include "vcdid.h"

#include <gtest/gtest.h>

namespace {

std::string code(int32_t n) {
    char buf[16];
    int len = vcdid(n, buf);
    EXPECT_EQ(static_cast<size_t>(len), std::strlen(buf));
    return buf;
}

TEST(Vcdid, CodesMatchTheReference) {
    // The worked values, then both sides of every change of length, then
    // negative numbers, which encode their unsigned 32-bit value.
    const std::pair<int32_t, std::string> table[] = {
        {0, "!"},          {93, "~"},           {94, "!\""},          {8835, "~~"},
        {8836, "!!\""},    {2147483647, "d}PP<"}, {-1, "J|\"\"X"},     {INT32_MIN, "e}PP<"},
    };
    for (const auto &[n, want] : table) {
        EXPECT_EQ(code(n), want) << n;
        EXPECT_EQ(aet::reference_code(static_cast<uint32_t>(n)), want) << n;
    }
    for (uint64_t power = 94; power <= UINT32_MAX; power *= 94)
        for (uint64_t n : {power - 1, power})
            EXPECT_EQ(code(static_cast<int32_t>(n)), aet::reference_code(uint32_t(n))) << n;
    for (uint64_t n = 0; n <= UINT32_MAX; n += 65521)
        ASSERT_EQ(code(static_cast<int32_t>(n)), aet::reference_code(uint32_t(n))) << n;
}

} // namespace
