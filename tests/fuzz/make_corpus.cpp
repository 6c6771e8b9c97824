// Writes the fuzzer's seed corpus: every damaged-trace class of the tests,
// and a trace of every record kind in both formats, whole and ended.
//   make_corpus DIR
#include "damaged_traces.h"

#include <cstdio>
#include <fstream>

using namespace aet;

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 1;
    }
    int n = 0;
    auto put = [&](const std::string &bytes) {
        std::ofstream(std::string(argv[1]) + "/seed" + std::to_string(n++), std::ios::binary)
            << bytes;
    };
    for (const Damage &d : damage_table())
        put(d.bytes);
    for (uint8_t format : {0xA0, 0xC0}) {
        Trace t = every_record_kind();
        t.format = format;
        put(t.bytes());
        t.events = t.events.substr(0, t.events.size() - 5) + ev::end();
        put(t.bytes());
    }
    return 0;
}
