// The FST writer: the conversion of a whole trace into an FST file through
// the FST writer library.
#pragma once

#include "aet.h"
#include "progress.h"

#include <algorithm>
#include <cstdint>

// Wires a design may have: the library numbers them with 32-bit handles
// and keeps about 16 bytes for each.
constexpr uint64_t fst_max_wires = (uint64_t{1} << 31) - 1;
// Value changes in one block of the file: the library holds a block in
// memory until it writes it out, and walks every wire's changes in it then,
// so a block that stays in the processor's cache is written fastest; but
// each block also costs a pass over every wire, so a block holds at least
// two changes a wire.
#ifndef AETFST_BLOCK_CHANGES // set only to measure other block sizes
#define AETFST_BLOCK_CHANGES (1 << 18)
#endif
constexpr uint64_t fst_block_changes = AETFST_BLOCK_CHANGES;
inline uint64_t fst_block(uint64_t wires) {
    return std::max<uint64_t>(fst_block_changes, 2 * wires);
}

// What a conversion met that the FST cannot hold, said once at the end.
struct FstNotes {
    uint64_t times_back = 0; // time records below the largest time so far
    uint64_t undeclared = 0; // value changes for identifiers no facility declares
    bool declared = false;   // the wires are made: the file can hold what follows
};

// Reads the header and the facility tables of the trace open in
// st.handle.  A design without wires, or with more than fst_max_wires,
// fails here, before any wire is made.
Status read_design(AetState &st);
// Writes the design read, and then the event records as they are read,
// through the library's writer `fst` (created on `path`, nothing written
// yet).
Status write_fst(AetState &st, void *fst, const char *path, FstNotes &notes, Progress &progress);

// The wires of a design, counted from its facility table: the bits of
// each facility, and two for a facility of no bits.
uint64_t design_wires(const AetState &st);
