// Assembles AET trace bytes for the tests: header fields, facility records,
// the name table and event records, each stated in a line or two.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace aet {

struct FacilitySpec {
    uint16_t array_count = 1;
    uint16_t width = 1;
    int32_t first_id = 0;
    int32_t name_offset = 0;
};

struct Trace {
    uint8_t format = 0xA0;
    std::string created_on = "08/12/26";
    std::string created_at = "10:20:30";
    int32_t multiplier = 1;
    // Format 0xC0 only.
    std::string model_on = "01/12/26";
    std::string model_at = "09:00:00";
    std::string model = "cpu_top";
    std::string c0_text = "run";
    std::vector<FacilitySpec> facilities;
    std::string names;               // the name table, NULs included
    std::optional<int32_t> numfacs;  // header value if not the record count
    std::optional<int32_t> facbytes; // header value if not the table size
    std::string events;

    // Appends a facility whose name is appended to the name table.
    Trace &fac(const std::string &name, uint16_t array_count, uint16_t width, int32_t first_id) {
        facilities.push_back({array_count, width, first_id, static_cast<int32_t>(names.size())});
        names += name;
        names += '\0';
        return *this;
    }
    // A one-bit facility with the next free identifier number.
    Trace &bit(const std::string &name) { return fac(name, 1, 1, next_id()); }
    int32_t next_id() const {
        int32_t id = 0;
        for (const auto &f : facilities)
            id = std::max<int32_t>(id, f.first_id + f.array_count * f.width);
        return id;
    }
    std::string bytes() const;
};

// v as n big-endian bytes.
inline std::string be(uint64_t v, int n) {
    std::string s;
    for (int i = n - 1; i >= 0; --i)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

inline std::string Trace::bytes() const {
    std::string s(format == 0xC0 ? 240 : 164, '\0');
    s[0] = static_cast<char>(format);
    auto text8 = [&s](size_t at, const std::string &v) {
        s.replace(at, std::min<size_t>(8, v.size()), v.substr(0, 8));
    };
    text8(20, created_on);
    text8(28, created_at);
    s.replace(60, 4, be(static_cast<uint32_t>(multiplier), 4));
    s.replace(
        68, 4,
        be(static_cast<uint32_t>(numfacs.value_or(static_cast<int32_t>(facilities.size()))), 4));
    s.replace(72, 4,
              be(static_cast<uint32_t>(facbytes.value_or(static_cast<int32_t>(names.size()))), 4));
    if (format == 0xC0) {
        text8(88, model_on);
        text8(96, model_at);
        std::string name = model + '\0';
        if (104 + name.size() > s.size()) s.resize(104 + name.size(), '\0');
        s.replace(104, name.size(), name);
        if (s.size() == 240) s += c0_text + '\0';    // a model name past 240 ends that text too
        s.resize((s.size() + 3) & ~size_t{3}, '\0'); // records start at a multiple of four
    }
    for (const auto &f : facilities)
        s += be(0, 4) + be(f.array_count, 2) + be(f.width, 2) + be(uint32_t(f.first_id), 4) +
             be(uint32_t(f.name_offset), 4);
    return s + names + events;
}

// Event records; value: 0..3 for '0', '1', 'x', 'z'.
namespace ev {
inline std::string rec(int tag, uint64_t operand, int n) {
    return static_cast<char>(tag) + be(operand, n);
}
inline std::string time(uint32_t t) {
    return rec(0xA4, t, 4);
}
inline std::string delta(uint8_t d) {
    return std::string{'\xA5', static_cast<char>(d)};
}
inline std::string tick() {
    return "\xA6";
}
inline std::string zero() {
    return "\xA7";
}
inline std::string base(uint32_t b) {
    return rec(0xA8, b, 4);
}
inline std::string base_steps(uint8_t n) {
    return std::string{'\xA9', static_cast<char>(n)};
}
inline std::string base_step() {
    return "\xAA";
}
inline std::string nop() {
    return "\xAB";
}
inline std::string all(int value) {
    return std::string(1, static_cast<char>(0xAC + value));
}
inline std::string list(int value, const std::vector<uint16_t> &ids) {
    std::string s = rec(0xB0 + value, ids.size(), 2);
    for (uint16_t id : ids)
        s += be(id, 2);
    return s;
}
inline std::string single(int value, uint32_t id) {
    return rec(0xB5 + value, id, 3);
}
inline std::string end() {
    return "\xB4";
}
} // namespace ev

// The identifier code of n, digit by digit: the reference the converter's
// table-driven encoder is checked against.
inline std::string reference_code(uint32_t n) {
    std::string code;
    do {
        code += static_cast<char>('!' + n % 94);
        n /= 94;
    } while (n != 0);
    return code;
}

} // namespace aet
