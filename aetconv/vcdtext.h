// The pieces of VCD text: identifier codes, decimal numbers, time lines and
// value-change lines.  Each writer stores its text at p and returns the end;
// they are pure functions over constant tables.
#pragma once

#include <cstdint>
#include <cstring>

// Identifier codes of 0..8835 as two digits each, least significant first.
struct VcdidPairs {
    char digits[94 * 94][2];
    constexpr VcdidPairs() : digits() {
        for (int n = 0; n < 94 * 94; ++n) {
            digits[n][0] = static_cast<char>('!' + n % 94);
            digits[n][1] = static_cast<char>('!' + n / 94);
        }
    }
};
inline constexpr VcdidPairs vcdid_pairs;

// The length of a number's identifier code, by its bit length: the
// candidate length, plus one when the number reaches the one power of 94
// that may lie within that bit length.  (A table, not comparisons: the
// lengths of random identifiers would mispredict branches.)
struct VcdidLengths {
    struct Entry {
        uint64_t threshold;
        int base;
    } by_bits[33];
    constexpr VcdidLengths() : by_bits() {
        for (int b = 1; b <= 32; ++b) {
            uint64_t low = uint64_t{1} << (b - 1), high = (uint64_t{1} << b) - 1;
            int base = 1;
            uint64_t threshold = high + 1;
            for (uint64_t power = 94; power <= high; power *= 94) {
                base += power <= low;
                threshold = power <= low ? threshold : power;
            }
            by_bits[b] = {threshold, base};
        }
    }
};
inline constexpr VcdidLengths vcdid_lengths;

// The VCD identifier of signal number n: base 94, digits '!'..'~', least
// significant digit first, 1 to 5 characters.  It stores 5 bytes at p
// whatever the code's length (those past the code are scratch for the
// caller to overwrite), so that no branch depends on the exact length.
inline char *vcdid(char *p, uint32_t n) {
    constexpr uint32_t pair = 94 * 94;
    uint32_t high = n / pair;
    std::memcpy(p, vcdid_pairs.digits[n - high * pair], 2);
    if (high < pair) [[likely]] { // codes of up to 4 characters
        std::memcpy(p + 2, vcdid_pairs.digits[high], 2);
    } else {
        std::memcpy(p + 2, vcdid_pairs.digits[high % pair], 2);
        p[4] = static_cast<char>('!' + high / pair);
    }
    const auto &e = vcdid_lengths.by_bits[32 - __builtin_clz(n | 1)];
    return p + e.base + (n >= e.threshold);
}

// Decimal digits of 0..99 in pairs.
struct DecimalPairs {
    char digits[100][2];
    constexpr DecimalPairs() : digits() {
        for (int n = 0; n < 100; ++n) {
            digits[n][0] = static_cast<char>('0' + n / 10);
            digits[n][1] = static_cast<char>('0' + n % 10);
        }
    }
};
inline constexpr DecimalPairs decimal_pairs;

// 0 and 10^1 .. 10^19.
struct PowersOf10 {
    uint64_t v[20];
    constexpr PowersOf10() : v() {
        for (int i = 1; i < 20; ++i)
            v[i] = i == 1 ? 10 : v[i - 1] * 10;
    }
};
inline constexpr PowersOf10 powers_of_10;

// The decimal digits of v.  The digits are counted from the bit length and
// filled in pairs from the end, as time lines are frequent.
inline char *put_decimal(char *p, uint64_t v) {
    int bits = 64 - __builtin_clzll(v | 1);
    int len = (bits * 1233 >> 12) + 1; // 1233 / 4096 is just above log10(2)
    len -= v < powers_of_10.v[len - 1];
    char *end = p + len, *q = end;
    while (v >= 100) {
        q -= 2;
        std::memcpy(q, decimal_pairs.digits[v % 100], 2);
        v /= 100;
    }
    if (v >= 10) {
        std::memcpy(q - 2, decimal_pairs.digits[v], 2);
    } else {
        q[-1] = static_cast<char>('0' + v);
    }
    return end;
}

inline char *put_signed(char *p, int64_t v) {
    if (v < 0) *p++ = '-';
    return put_decimal(p, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
}

// "#<time>\n": at most 22 bytes.
inline char *put_time(char *p, uint64_t t) {
    *p++ = '#';
    p = put_decimal(p, t);
    *p++ = '\n';
    return p;
}

// "<letter><identifier>\n": at most 7 bytes, and it stores no further.
inline char *put_change(char *p, char letter, uint32_t id) {
    *p++ = letter;
    p = vcdid(p, id);
    *p++ = '\n';
    return p;
}
