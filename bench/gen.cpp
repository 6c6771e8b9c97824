// Trace generator for the benchmark: seeded, deterministic, fast.
//
//   aetgen MIX BITS MEGABYTES FORMAT SEED > trace.aet
//
// MIX is singles (24-bit records), lists (list records with frequent base
// changes), whole (whole-design records) or blend (a realistic mix of all
// record kinds).  BITS is the design size; the design's facilities have
// dotted hierarchical names and widths of 1 to 32 bits.  MEGABYTES is the
// size of the event stream; FORMAT is a0 or c0.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Rng { // xorshift64*: fast and the same everywhere
    uint64_t s;
    uint32_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return static_cast<uint32_t>((s * 2685821657736338717ull) >> 32);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((uint64_t{next()} * n) >> 32); }
};

void be(std::string &s, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

struct Design {
    std::string records, names;
    uint32_t facilities = 0;
};

Design make_design(uint64_t bits, Rng &rng) {
    Design d;
    uint64_t id = 0;
    while (id < bits) {
        uint32_t width = 1 + (rng.below(4) == 0 ? rng.below(32) : 0);
        if (id + width > bits) width = static_cast<uint32_t>(bits - id);
        uint32_t i = d.facilities++;
        std::string name = "top.core" + std::to_string(i / 4096) + ".unit" +
                           std::to_string(i / 256 % 16) + ".blk" + std::to_string(i / 16 % 16) +
                           ".sig" + std::to_string(i);
        be(d.records, 0, 4);
        be(d.records, 1, 2);
        be(d.records, width, 2);
        be(d.records, id, 4);
        be(d.records, d.names.size(), 4);
        d.names += name;
        d.names += '\0';
        id += width;
    }
    return d;
}

std::string header(bool c0, const Design &d) {
    std::string h(c0 ? 240 : 164, '\0');
    h[0] = static_cast<char>(c0 ? 0xC0 : 0xA0);
    std::memcpy(&h[20], "08/12/26", 8);
    std::memcpy(&h[28], "12:00:00", 8);
    std::string n;
    be(n, 64, 4);
    be(n, d.facilities, 4);
    be(n, d.names.size(), 4);
    h.replace(60, 4, n.substr(0, 4));
    h.replace(68, 8, n.substr(4));
    if (c0) {
        std::memcpy(&h[88], "01/12/26", 8);
        std::memcpy(&h[96], "09:00:00", 8);
        std::memcpy(&h[104], "bench_model", 11);
        h += "generated";
        h += '\0';
        h.resize((h.size() + 3) & ~size_t{3}, '\0');
    }
    return h;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s singles|lists|whole|blend BITS MEGABYTES a0|c0 SEED\n",
                     argv[0]);
        return 2;
    }
    std::string mix = argv[1];
    uint64_t bits = std::strtoull(argv[2], nullptr, 10);
    uint64_t size = std::strtoull(argv[3], nullptr, 10) << 20;
    bool c0 = std::strcmp(argv[4], "c0") == 0;
    Rng rng{std::strtoull(argv[5], nullptr, 10) * 0x9E3779B97F4A7C15ull + 1};

    Design d = make_design(bits, rng);
    std::string out = header(c0, d) + d.records + d.names;
    std::fwrite(out.data(), 1, out.size(), stdout);

    const uint32_t id_limit = static_cast<uint32_t>(std::min<uint64_t>(bits, 1u << 24));
    // The stream ends at its size, or once its VCD would be three times that
    // (whole-design records are one byte each but write the whole design).
    uint64_t written = 0, vcd = 0;
    const uint64_t design_vcd = bits * 7;
    uint32_t time = 0;
    std::string e;
    e.reserve(1 << 20);
    e += '\xA7';
    while (written < size && vcd < 3 * size) {
        // Roughly one time step per dozen value changes.
        uint32_t r = rng.below(100);
        if (r < 70) {
            e += '\xA6';
        } else if (r < 95) {
            e += '\xA5';
            e += static_cast<char>(1 + rng.below(255));
        } else {
            time += 1000;
            e += '\xA4';
            be(e, time, 4);
        }
        uint32_t changes = 4 + rng.below(16);
        for (uint32_t c = 0; c < changes; ++c) {
            uint32_t kind = rng.below(100);
            char value = static_cast<char>(rng.below(4) == 0 ? 2 + rng.below(2) : rng.below(2));
            bool single = mix == "singles" || (mix == "blend" && kind < 60);
            bool list = mix == "lists" || (mix == "blend" && kind < 99);
            if (mix == "whole") {
                e += static_cast<char>(0xAC + value);
                vcd += design_vcd;
                c = changes;
            } else if (single) {
                e += static_cast<char>(0xB5 + value);
                be(e, rng.below(id_limit), 3);
            } else if (list) {
                // A new base now and then, by each of the three base records.
                uint32_t b = rng.below(8);
                if (b == 0) {
                    e += '\xA8';
                    be(e, rng.below(id_limit), 4);
                } else if (b == 1) {
                    e += '\xA9';
                    e += static_cast<char>(rng.below(16));
                } else if (b == 2)
                    e += '\xAA';
                uint32_t n = 1 + rng.below(24);
                e += static_cast<char>(0xB0 + value);
                be(e, n, 2);
                for (uint32_t k = 0; k < n; ++k)
                    be(e, rng.below(4096), 2);
            } else if (rng.below(100) == 0) {
                e += static_cast<char>(0xAC + value);
                vcd += design_vcd;
            }
        }
        if (e.size() >= (1 << 20) - 4096) {
            std::fwrite(e.data(), 1, e.size(), stdout);
            written += e.size();
            e.clear();
        }
    }
    e += '\xB4';
    std::fwrite(e.data(), 1, e.size(), stdout);
    return 0;
}
