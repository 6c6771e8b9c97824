// Identifier codes: the text by which VCD lines name a signal.
#pragma once

#include <cstdint>
#include <cstring>

// The VCD identifier of signal number n: base 94, digits '!'..'~', least
// significant digit first.  A negative number is encoded as its unsigned
// 32-bit value, so every number has a distinct code of 1..5 characters.
// Writes the code and a NUL at buf (at least 6 bytes); returns its length.
int vcdid(int32_t n, char *buf);

// Codes of 0..8835 as two digits each, least significant first.
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

// The length of n's code: the candidate for n's bit length, plus one when n
// reaches the one power of 94 that may lie within that bit length.
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
                if (power <= low) ++base;
                else threshold = power;
            }
            by_bits[b] = {threshold, base};
        }
    }
};
inline constexpr VcdidLengths vcdid_lengths;

inline int vcdid_length(uint32_t n) {
    const auto &e = vcdid_lengths.by_bits[32 - __builtin_clz(n | 1)];
    return e.base + (n >= e.threshold);
}

// The same code written at p without a terminator; returns its end.  It
// stores up to 5 bytes at p (those after the code are scratch for the caller
// to overwrite), so that no branch depends on the code's exact length.
inline char *put_vcdid(char *p, uint32_t n) {
    constexpr uint32_t pair = 94 * 94;
    uint32_t high = n / pair;
    std::memcpy(p, vcdid_pairs.digits[n - high * pair], 2);
    if (high < pair) [[likely]] { // codes of up to 4 characters
        std::memcpy(p + 2, vcdid_pairs.digits[high], 2);
    } else {
        std::memcpy(p + 2, vcdid_pairs.digits[high % pair], 2);
        p[4] = static_cast<char>('!' + high / pair);
    }
    return p + vcdid_length(n);
}
