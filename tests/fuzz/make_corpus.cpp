// Writes the fuzzer's seed corpus: traces with every record kind in both
// formats, and one of each malformed class.
//   make_corpus DIR
#include "trace_builder.h"

#include <cstdio>
#include <fstream>

using namespace aet;

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 1;
    }
    std::string dir = argv[1];
    int n = 0;
    auto put = [&](const std::string &bytes) {
        std::ofstream(dir + "/seed" + std::to_string(n++), std::ios::binary) << bytes;
    };
    const std::string every_record = ev::zero() + ev::time(10) + ev::delta(3) + ev::tick() +
                                     ev::base(2) + ev::base_steps(1) + ev::base_step() +
                                     ev::nop() + ev::all(0) + ev::all(3) + ev::list(1, {0, 1}) +
                                     ev::list(2, {}) + ev::single(1, 4) + ev::single(3, 0xFFFFFF);
    for (uint8_t format : {0xA0, 0xC0}) {
        Trace t;
        t.format = format;
        t.multiplier = 2;
        t.fac("top.a", 1, 1, 0).fac("top.sub.b", 2, 2, 1).fac("x", 1, 1, 5).fac("a..b.", 0, 3, 6);
        t.events = every_record;
        put(t.bytes());
        put(t.bytes() + ev::end());
        std::string full = t.bytes();
        put(full.substr(0, full.size() - 2)); // cut inside the last record
        Trace bad = t;
        bad.events += std::string("\xB9\x00", 2);
        put(bad.bytes());
        bad = t;
        bad.facbytes = -1;
        put(bad.bytes());
        bad = t;
        bad.numfacs = 2000000000;
        put(bad.bytes());
        bad = t;
        bad.facilities[0].name_offset = -7;
        bad.facilities[1].name_offset = 1000;
        bad.facilities[2].first_id = -3;
        put(bad.bytes());
        put(full.substr(0, 100));
        put(full.substr(0, 200));
    }
    Trace c0;
    c0.format = 0xC0;
    c0.model = std::string(300, 'm');
    put(c0.bytes().substr(0, 250)); // model name without its 0 byte
    c0.model = "m";
    c0.c0_text = "text";
    put(c0.bytes().substr(0, 243)); // text at 240 without its 0 byte
    put("");
    put("\xB0");
    return 0;
}
