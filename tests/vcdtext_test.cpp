// The text formatters against plain references, at the edges of their
// tables: every power of 10 and of 94 and its neighbours, and the largest
// 32- and 64-bit values.
#include "trace_builder.h"
#include "vcdtext.h"

#include <gtest/gtest.h>

namespace {

template <typename Write> std::string text(Write write) {
    char buf[32];
    return std::string(buf, write(buf));
}

TEST(VcdText, FormattersMatchTheirReferences) {
    std::vector<uint64_t> edges = {0, UINT32_MAX, UINT64_MAX};
    for (uint64_t p = 10;; p *= 10) {
        edges.insert(edges.end(), {p - 1, p, p + 1});
        if (p > UINT64_MAX / 10) break;
    }
    for (uint64_t p = 94; p <= UINT32_MAX; p *= 94)
        edges.insert(edges.end(), {p - 1, p, p + 1});
    for (uint64_t n : edges) {
        const std::string decimal = std::to_string(n);
        EXPECT_EQ(text([n](char *b) { return put_decimal(b, n); }), decimal);
        EXPECT_EQ(text([n](char *b) { return put_time(b, n); }), "#" + decimal + "\n");
        EXPECT_EQ(text([n](char *b) { return put_signed(b, -int64_t(n >> 1)); }),
                  std::to_string(-int64_t(n >> 1)));
        if (n > UINT32_MAX) continue;
        const std::string code = aet::reference_code(uint32_t(n));
        EXPECT_EQ(text([n](char *b) { return vcdid(b, uint32_t(n)); }), code) << n;
        EXPECT_EQ(text([n](char *b) { return put_change(b, 'z', uint32_t(n)); }),
                  "z" + code + "\n");
    }
    // The worked values, and a sweep between the edges.
    const std::pair<uint32_t, std::string> worked[] = {
        {0, "!"},
        {93, "~"},
        {94, "!\""},
        {8835, "~~"},
        {8836, "!!\""},
        {2147483647, "d}PP<"},
        {UINT32_MAX, "J|\"\"X"},
    };
    for (const auto &w : worked)
        EXPECT_EQ(text([n = w.first](char *b) { return vcdid(b, n); }), w.second);
    for (uint64_t n = 0; n <= UINT32_MAX; n += 65521)
        ASSERT_EQ(text([n](char *b) { return vcdid(b, uint32_t(n)); }),
                  aet::reference_code(uint32_t(n)))
            << n;
}

} // namespace
