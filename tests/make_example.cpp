// Writes the bundled example traces: a clock, a reset and a 4-bit counter
// in a sub-scope over 20 clock cycles, in both header formats.  The counter
// keeps its most significant bit in q[0], since GTKWave makes the wires
// q[0]..q[3] one bus q[0:3] whose top bit is q[0]: it reads 0, 1, 2, ... as is.
//   make_example DIR   writes DIR/counter.aet and DIR/counter_c0.aet
#include "trace_builder.h"

#include <cstdio>
#include <fstream>

using namespace aet;

namespace {

Trace counter(uint8_t format) {
    Trace t;
    t.format = format;
    t.model = "counter_tb";
    t.bit("tb.clk").bit("tb.rst").fac("tb.dut.q", 1, 4, 2).bit("tb.dut.carry");
    std::string &e = t.events;
    e += ev::zero() + ev::all(2);                            // everything unknown at 0
    e += ev::delta(1) + ev::single(1, 1) + ev::single(0, 0); // reset on, clock low
    e += ev::base(2) + ev::list(0, {0, 1, 2, 3}) + ev::single(0, 6);
    e += ev::delta(9) + ev::single(0, 1); // reset off at 10
    unsigned q = 0;
    for (int cycle = 0; cycle < 20; ++cycle) {
        uint32_t rise = 20 + 10 * static_cast<uint32_t>(cycle);
        e += ev::time(rise) + ev::single(1, 0);
        unsigned next = (q + 1) & 15;
        std::vector<uint16_t> up, down;
        for (uint16_t i = 0; i < 4; ++i) {
            unsigned b = 3u - i; // q[i] holds bit 3 - i of the count
            if ((next >> b & 1) && !(q >> b & 1)) up.push_back(i);
            if (!(next >> b & 1) && (q >> b & 1)) down.push_back(i);
        }
        // List records carry at most the changed bits, relative to the base.
        if (!up.empty()) e += ev::list(1, up);
        if (!down.empty()) e += ev::list(0, down);
        e += ev::single(next == 0 ? 1 : 0, 6);
        q = next;
        e += ev::delta(5) + ev::single(0, 0);
    }
    e += ev::tick() + ev::all(3) + ev::end(); // released: everything floats
    return t;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 1;
    }
    std::string dir = argv[1];
    std::ofstream(dir + "/counter.aet", std::ios::binary) << counter(0xA0).bytes();
    std::ofstream(dir + "/counter_c0.aet", std::ios::binary) << counter(0xC0).bytes();
    return 0;
}
