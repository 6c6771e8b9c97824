// Traces that take every path of the converter: the damaged and hostile
// classes with what each must give, and one trace of every record kind.
// The tests run them; the fuzz target starts from them.
#pragma once

#include "trace_builder.h"

#include <numeric>
#include <string>
#include <vector>

namespace aet {

inline Trace small_design() {
    Trace t;
    t.fac("top.a", 1, 1, 0).fac("top.sub.b", 1, 4, 1).fac("x", 1, 1, 5);
    return t;
}

struct Damage {
    std::string what;
    std::string bytes;
    int status;
    std::string err;
    std::string out_tail; // how standard output must end ("" when it must be empty)
};

inline std::string cut_message(size_t at) {
    return "Trace truncated at offset " + std::to_string(at) + ", exiting.\n";
}
inline std::string record_message(size_t at) {
    return "Trace truncated inside the record at offset " + std::to_string(at) + ", exiting.\n";
}

inline std::vector<Damage> damage_table() {
    std::vector<Damage> d;
    for (const std::string &bytes : {std::string(), std::string("\xB0\x00\x00", 3),
                                     std::string(200, '\0'), std::string("\xA1")})
        d.push_back({"not a trace", bytes, 1, "Not a Texsim format AET, exiting.\n", ""});

    Trace a = small_design();
    a.events = ev::tick() + ev::list(1, {0, 1});
    const std::string full = a.bytes();
    for (size_t cut : {1, 20, 27, 50, 63, 71, 75})
        d.push_back({"0xA0 header cut at " + std::to_string(cut), full.substr(0, cut), 1,
                     cut_message(cut), ""});
    Trace c = small_design();
    c.format = 0xC0;
    for (size_t cut : {80, 89, 97, 103, 110}) // 110: inside the model name
        d.push_back({"0xC0 header cut at " + std::to_string(cut), c.bytes().substr(0, cut), 1,
                     cut_message(cut), ""});
    c.model = std::string(200, 'm');
    d.push_back(
        {"0xC0 model name without its 0 byte", c.bytes().substr(0, 250), 1, cut_message(250), ""});
    c.model = "m";
    c.c0_text = "text";
    d.push_back({"0xC0 text at 240 without its 0 byte", c.bytes().substr(0, 243), 1,
                 cut_message(243), "bytes.\n$end\n\n$timescale\n\t1ns\n$end\n\n"});
    for (const char *text : {"", "abc", "abcd", "abcdefg"}) { // records at the next multiple of 4
        Trace t;
        t.format = 0xC0;
        t.c0_text = text;
        t.bit("top.clk");
        d.push_back({"0xC0 text of " + std::to_string(t.c0_text.size()) + " bytes at 240",
                     t.bytes(), 0, "",
                     "$scope module top $end\n$var wire 1 ! clk $end\n$enddefinitions $end\n\n"});
    }
    c.model = std::string(300, 'q'); // runs past the text at 240
    c.events = ev::zero() + ev::single(1, 5);
    d.push_back({"0xC0 model name past 240", c.bytes(), 0, "",
                 "$var wire 1 & x $end\n$enddefinitions $end\n\n#0\n1&\n"});

    const std::string head_end = "$timescale\n\t1ns\n$end\n\n";
    d.push_back({"before the records", full.substr(0, 100), 1, cut_message(100), head_end});
    d.push_back({"records cut", full.substr(0, 164 + 20), 1, cut_message(184), head_end});
    d.push_back({"name table cut", full.substr(0, 164 + 48 + 5), 1, cut_message(217), head_end});
    Trace neg = small_design();
    neg.facbytes = -1;
    d.push_back({"negative facbytes", neg.bytes(), 1, "Negative name table size -1, exiting.\n",
                 "\t3 facilities found occupying -1 bytes.\n$end\n\n" + head_end});
    Trace huge = small_design();
    huge.numfacs = huge.facbytes = 2000000000;
    d.push_back({"counts of 2,000,000,000 in a tiny file", huge.bytes(), 1,
                 cut_message(huge.bytes().size()), head_end});
    Trace names = small_design();
    names.names.pop_back(); // the last name, "x", loses its NUL
    names.facilities[0].name_offset = -100;
    names.facilities[1].name_offset = static_cast<int32_t>(names.names.size()); // just past the end
    names.events = ev::single(1, 0);
    d.push_back(
        {"names outside the table, a name without NUL", names.bytes(), 0, "",
         "$var wire 1 ! unnamed $end\n$var wire 1 \" unnamed[0] $end\n$var wire 1 # unnamed[1] "
         "$end\n"
         "$var wire 1 $ unnamed[2] $end\n$var wire 1 % unnamed[3] $end\n$var wire 1 & x $end\n"
         "$enddefinitions $end\n\n1!\n"});

    const std::string kept = "#1\n1!\n1\"\n";
    for (int tag : {0x00, 0xA3, 0xB9, 0xFF}) {
        const char hex[] = "0123456789abcdef";
        d.push_back({"unknown tag", full + std::string(1, static_cast<char>(tag)) + ev::tick(), 1,
                     std::string{'[', hex[tag >> 4], hex[tag & 15]} + "] Unknown tag, exiting.\n",
                     kept});
    }
    for (const std::string &cut :
         {ev::time(9).substr(0, 2), ev::delta(1).substr(0, 1), ev::base(1).substr(0, 3),
          ev::base_steps(2).substr(0, 1), ev::list(0, {1, 2}).substr(0, 2),
          ev::list(0, {1, 2}).substr(0, 4), ev::list(0, {1, 2}).substr(0, 6),
          ev::single(0, 1).substr(0, 3)})
        d.push_back({"cut inside an operand", full + cut, 1, record_message(full.size()), kept});

    Trace wrap = small_design();
    wrap.facilities[1].first_id = -2; // bits -2, -1, 0, 1
    wrap.events = ev::time(0xFFFFFFFF) + ev::tick() + ev::base(0xFFFFFFFE) + ev::list(1, {1, 3}) +
                  ev::base_steps(255) + ev::all(0);
    wrap.multiplier = static_cast<int32_t>(0x80000000u);
    d.push_back({"negative identifiers, base wrapping, time past 32 bits", wrap.bytes(), 0, "",
                 "#4294967295\n#4294967296\n1J|\"\"X\n1\"\n0!\n0I|\"\"X\n0J|\"\"X\n0!\n0\"\n0&\n"});
    return d;
}

// Every record kind, a model name past the text at 240, names longer than
// the buffers, list records far longer than the window, and a damaged end.
inline Trace every_record_kind() {
    Trace t;
    t.format = 0xC0;
    t.model = std::string(300, 'm');
    t.multiplier = 3;
    t.fac("top.a", 1, 1, 0).fac("top.sub.b", 2, 3, 1).fac("top." + std::string(2000, 'n'), 1, 2, 7);
    t.fac(std::string(3000, 's') + ".x", 1, 1, 9).fac("x", 0, 4, 10);
    const std::vector<uint16_t> some = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::string &e = t.events;
    e += ev::zero() + ev::all(2) + ev::delta(7) + ev::list(1, some) + ev::base(2) +
         ev::base_steps(2);
    for (int i = 0; i < 300; ++i)
        e += ev::single(i & 3, uint32_t(i) * 977) + ev::tick();
    std::vector<uint16_t> longer_than_windows(3000);
    std::iota(longer_than_windows.begin(), longer_than_windows.end(), 0);
    e += ev::list(1, longer_than_windows) + ev::base_step() + ev::nop() + ev::all(3) +
         ev::time(123456789) + ev::list(0, some);
    e += ev::list(3, {}) + ev::single(1, 0xFFFFFF) + ev::all(0) +
         ev::list(2, {1, 2, 3}).substr(0, 5);
    return t;
}

} // namespace aet
