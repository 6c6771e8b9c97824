// The pipeline: the phases in order, and the words for each way it fails.
#include "aet.h"

#include <cstring>
#include <new>

Status convert(AetState &st) {
    // The tables grow with what the trace holds.  When memory runs out the
    // conversion ends like any other failure, its text so far kept: the
    // library's allocation failure is caught here, the one place it can
    // come from, and never crosses into main.
    try {
        Status s = convert_header(st);
        if (s.fault == Fault::none) s = read_facilities(st);
        if (s.fault == Fault::none) s = write_declarations(st);
        if (s.fault == Fault::none) s = translate_events(st);
        return s;
    } catch (const std::bad_alloc &) {
        return Status{Fault::no_memory, in_offset(st.handle)};
    }
}

std::string status_message(const Status &s, const char *path) {
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
        return std::string("Could not write the VCD: ") + std::strerror(s.err) + ", exiting.\n";
    case Fault::no_memory:
        return "Out of memory at offset " + at + ", exiting.\n";
    }
    return {};
}
