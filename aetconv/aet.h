// The trace reader: its state, its phases and how they report.
//
// Data flows one way: the input window (input.h) is decoded by the phases
// (header.cpp, facilities.cpp, events.h) into the state below, and each
// phase hands what it decoded to a writer: the VCD text (vcd.cpp) or the
// FST file (aetfst/).  A phase knows nothing of the format it feeds.  Every
// phase returns a Status; the program runs the phases in order, words a
// failed status and picks the exit status.
#pragma once

#include "input.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
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
    no_wires,     // an FST of a design without wires
    many_wires,   // an FST of a design of more wires than it can number; offset: the wires
};

struct Status {
    Fault fault = Fault::none;
    uint64_t offset = 0;
    int value = 0;
    int err = 0;
};

// The header's texts; those of the model are in format 0xC0 only.
struct AetHeader {
    std::string created_on, created_at, model_on, model_at, model;
};

// Everything one conversion reads.  Nothing lives outside it, so a process
// may run any number of conversions.
struct AetState {
    Input handle;
    int format = 0; // 0xA0 or 0xC0
    AetHeader header;
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
inline Status write_failed(int err) {
    return Status{Fault::write_error, 0, 0, err};
}

// A piece of a dotted name as it is written: an empty piece is "unnamed"
// (other bytes that would break a line were made '_' as the table was read).
inline std::string_view written(std::string_view piece) {
    return piece.empty() ? std::string_view("unnamed") : piece;
}

// What the declarations are written through: the scope walk closes scopes,
// opens them one piece at a time, and declares each facility's wires under
// its reference name, all as written.  After each facility `error` says
// whether the output failed (0, or its errno).
struct Declarer {
    void *ctx = nullptr;
    void (*up)(void *ctx, uint64_t scopes) = nullptr;
    void (*down)(void *ctx, std::string_view piece) = nullptr;
    void (*wires)(void *ctx, const AetFacility &f, std::string_view ref) = nullptr;
    int (*error)(void *ctx) = nullptr;
};

// Hashing for tables whose keys a trace chooses: a 64-bit mix, and a seed
// made anew for every run (from the clock and an address), so that no
// trace can pile its keys into one bucket.
inline uint64_t mix(uint64_t x) {
    x = (x ^ (x >> 31)) * 0x7fb5d329728ea185u;
    x = (x ^ (x >> 27)) * 0x81dadef4bc2dd44du;
    return x ^ (x >> 33);
}
inline uint64_t hash_seed(const void *where) {
    return mix(uint64_t(clock()) ^ reinterpret_cast<uintptr_t>(where));
}

// A run of consecutive identifier numbers that the facilities with bits own,
// in table order: what a whole-design record sets.
struct IdRun {
    uint32_t first;
    uint64_t count;
};

// The reading phases, in order; the event stream is read by
// translate_events (events.h), a template over its writer.
Status read_header(AetState &st);     // format, header texts and counts
Status read_facilities(AetState &st); // txfacs and facnames
Status write_declarations(const AetState &st, const Declarer &d);
// The facilities' bits as runs of identifiers, adjacent runs joined.
std::vector<IdRun> design_runs(const AetState &st);

// The one-line message for a failed status (with its newline), "" for none;
// `output` names what a write error lost ("the VCD", "'t.fst'").
std::string status_message(const Status &s, const char *path, const char *output = "the VCD");
