// The words for each way a conversion fails.
#include "aet.h"

#include <cstring>

std::string status_message(const Status &s, const char *path, const char *output) {
    const std::string at = std::to_string(s.offset);
    switch (s.fault) {
    case Fault::none:
        return {};
    case Fault::not_aet:
        return "Not a Texsim format AET, exiting.\n";
    case Fault::truncated:
        return "Trace truncated at offset " + at + ", exiting.\n";
    case Fault::bad_facbytes:
        return "Negative name table size " + std::to_string(s.value) + ", exiting.\n";
    case Fault::unknown_tag: {
        const char hex[] = "0123456789abcdef";
        return std::string{'[', hex[(s.value >> 4) & 15], hex[s.value & 15]} +
               "] Unknown tag, exiting.\n";
    }
    case Fault::cut_record:
        return "Trace truncated inside the record at offset " + at + ", exiting.\n";
    case Fault::read_error:
        return "Could not read '" + std::string(path) + "': " + std::strerror(s.err) +
               ", exiting.\n";
    case Fault::write_error:
        return "Could not write " + std::string(output) + ": " + std::strerror(s.err) +
               ", exiting.\n";
    case Fault::no_memory:
        return "Out of memory at offset " + at + ", exiting.\n";
    case Fault::no_wires:
        return "The design has no wires, and an FST needs one, exiting.\n";
    case Fault::many_wires:
        return "The design has " + at + " wires, more than an FST can number, exiting.\n";
    }
    return {};
}
