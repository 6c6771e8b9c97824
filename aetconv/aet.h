// The trace converter: its state, its phases and how they report.
//
// Data flows one way: the input window (input.h) is decoded by the phases
// (header.cpp, facilities.cpp, events.cpp) into the state below, and each
// phase writes its VCD text into the output buffer (output.h).  Every phase
// returns a Status; convert.cpp runs the phases in order and words a failed
// status; main picks the exit status.
#pragma once

#include "input.h"
#include "output.h"

#include <cstdint>
#include <string>
#include <vector>

// One traced signal: array_count x width bits whose identifier numbers start
// at first_id; its name starts at name_offset in facnames.  The first bit
// index is always 0 and the last is width - 1, so neither is stored: twelve
// bytes a facility keep large tables small.
struct AetFacility {
    uint16_t array_count;
    uint16_t width;
    int32_t first_id;
    int32_t name_offset;
};

inline uint64_t facility_bits(const AetFacility &f) {
    return uint64_t{f.array_count} * f.width;
}

enum class Fault {
    none,
    not_aet,      // first byte is neither 0xA0 nor 0xC0
    truncated,    // the trace ends inside the header or the tables; offset: where it ends
    bad_facbytes, // negative name-table size; value: the size
    unknown_tag,  // value: the tag; offset: where it stands
    cut_record,   // the trace ends inside an event record; offset: its tag
    read_error,   // err: errno
    write_error,  // err: errno
    no_memory,    // offset: how far the trace was read
};

struct Status {
    Fault fault = Fault::none;
    uint64_t offset = 0;
    int value = 0;
    int err = 0;
};

// Everything one conversion knows.  Nothing lives outside it, so a process
// may run any number of conversions.
struct AetState {
    Input handle;
    Output out;
    int format = 0; // 0xA0 or 0xC0
    int32_t numfacs = 0;
    int32_t facbytes = 0;
    int32_t multiplier = 1;
    std::vector<AetFacility> txfacs;
    std::vector<char> facnames; // bytes that would break a VCD line are stored as '_'
};

// The status for a trace that ended (or failed to read) before the bytes a
// phase needs: truncated where the data ends, or the read error.
inline Status ran_out(const Input &in) {
    if (in.error != 0) return Status{Fault::read_error, 0, 0, in.error};
    return Status{Fault::truncated, in.base + in.len};
}
inline Status write_failed(const Output &out) {
    return Status{Fault::write_error, 0, 0, out.error};
}

// The phases, in order; each writes its VCD text into st.out.
Status convert_header(AetState &st);     // $version and $timescale
Status read_facilities(AetState &st);    // txfacs and facnames
Status write_declarations(AetState &st); // scopes, wires and $enddefinitions
Status translate_events(AetState &st);   // time and value-change lines

// All phases; what is left in the output buffer is for its owner to flush.
Status convert(AetState &st);

// The one-line message for a failed status (with its newline), "" for none.
std::string status_message(const Status &s, const char *path);
