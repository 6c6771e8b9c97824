// Fuzz target: the whole conversion, in-process, over the fuzzer's bytes.
//
// Invariants checked on every input:
//  - the conversion returns one of its statuses;
//  - on success the trace was read to its end or to its end tag;
//  - a trace that fails at a record (unknown tag, cut record) converts the
//    bytes before that record successfully, into exactly the same output:
//    everything complete before the damage was written, nothing after it;
//  - read through a window of a few bytes and flushed every few dozen bytes,
//    the trace gives the same status and the same text (the buffer edges:
//    a refill inside a record, a flush inside a long text; the replay of
//    the seed corpus in every test build reaches them for every record kind).
#include "vcd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr uint64_t output_limit = uint64_t{256} << 10;

// A sink that keeps only a count and a hash of the text, and fails past a
// limit, as a full disk would.
struct Discard {
    uint64_t written = 0;
    uint64_t hash = 14695981039346656037ull;
};

int discard(void *ctx, const char *p, size_t n) {
    auto &d = *static_cast<Discard *>(ctx);
    if (n > output_limit - d.written) return EFBIG;
    d.written += n;
    for (size_t i = 0; i < n; ++i)
        d.hash = (d.hash ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    return 0;
}

struct Result {
    Status status;
    Discard text;
    uint64_t consumed;
};

// The conversion of the bytes from memory (window 0), or read with read(2)
// through a window of that many bytes.
Result convert_bytes(const uint8_t *data, size_t size, size_t window = 0,
                     size_t cap = output_buffer_size) {
    AetState st;
    Discard d;
    int fd = window == 0 ? -1 : memfd_create("trace", 0);
    if (fd < 0) {
        in_open_memory(st.handle, data, size);
    } else if (write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0 ||
               !in_open_fd(st.handle, fd, window)) {
        std::abort();
    }
    Output out;
    out_open(out, Sink{discard, &d}, cap);
    Status s = convert(st, out);
    if (!out_flush(out)) s = write_failed(out);
    if (fd >= 0) close(fd);
    return {s, d, in_offset(st.handle)};
}

[[noreturn]] void broken(const char *what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Result r = convert_bytes(data, size);
    if (r.status.fault != Fault::write_error) {
        Result small = convert_bytes(data, size, 1 + size % 13, out_slack + 1 + size % 50);
        if (small.status.fault != r.status.fault || small.status.offset != r.status.offset ||
            small.text.hash != r.text.hash || small.text.written != r.text.written)
            broken("a small window or output buffer changes the conversion");
    }
    switch (r.status.fault) {
    case Fault::none:
        if (r.consumed != size && (r.consumed == 0 || data[r.consumed - 1] != 0xB4))
            broken("success before the end of the trace or its end tag");
        break;
    case Fault::unknown_tag:
    case Fault::cut_record: {
        if (r.status.offset >= size) broken("record failure outside the trace");
        Result before = convert_bytes(data, r.status.offset);
        if (before.status.fault != Fault::none) broken("the records before the damage fail");
        if (before.text.hash != r.text.hash)
            broken("output differs from the records before the damage");
        break;
    }
    case Fault::read_error: // memory and a sealed file never fail to read
        broken("unexpected status");
    default: // not a trace, truncated, corrupt, past the output limit
        break;
    }
    return 0;
}
