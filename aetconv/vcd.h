// The VCD writer: the conversion of a whole trace into VCD text.
#pragma once

#include "aet.h"
#include "output.h"

// Reads the trace open in st.handle and writes its VCD text into `out`;
// what is left in the buffer is for its owner to flush.
Status convert(AetState &st, Output &out);

inline Status write_failed(const Output &out) {
    return write_failed(out.error);
}
