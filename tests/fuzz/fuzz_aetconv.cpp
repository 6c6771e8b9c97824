// Fuzz target: the whole conversion, in-process, over the fuzzer's bytes.
//
// Invariants checked on every input:
//  - the conversion returns one of its statuses;
//  - on success the trace was read to its end or to its end tag;
//  - a trace that fails at a record (unknown tag, cut record) converts the
//    bytes before that record successfully, into exactly the same output:
//    everything complete before the damage was written, nothing after it.
#include "aet.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr uint64_t output_limit = uint64_t{256} << 10;

struct Result {
    Status status;
    uint64_t written;
    uint64_t consumed;
};

Result convert_memory(const uint8_t *data, size_t size) {
    AetState st;
    in_open_memory(st.handle, data, size);
    out_open(st.out, -1);
    st.out.limit = output_limit;
    Status s = convert(st);
    out_flush(st.out);
    return {s, st.out.written, in_offset(st.handle)};
}

[[noreturn]] void broken(const char *what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Result r = convert_memory(data, size);
    switch (r.status.fault) {
    case Fault::none:
        if (r.consumed != size && (r.consumed == 0 || data[r.consumed - 1] != 0xB4))
            broken("success before the end of the trace or its end tag");
        break;
    case Fault::unknown_tag:
    case Fault::cut_record: {
        if (r.status.offset >= size) broken("record failure outside the trace");
        Result before = convert_memory(data, r.status.offset);
        if (before.status.fault != Fault::none) broken("the records before the damage fail");
        if (before.written != r.written) broken("output differs from the records before the damage");
        break;
    }
    case Fault::not_aet:
    case Fault::truncated:
    case Fault::bad_facbytes:
    case Fault::write_error: // the output limit: a design of billions of bits
        break;
    case Fault::read_error:
    default:
        broken("unexpected status");
    }
    return 0;
}
