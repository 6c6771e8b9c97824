// The output buffer: VCD text is stored straight into one buffer and handed
// to a sink in big pieces, whenever the text passes the buffer's flush mark.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

// Where finished pieces of text go: returns 0, or the errno of a failed write.
struct Sink {
    int (*write)(void *ctx, const char *p, size_t n) = nullptr;
    void *ctx = nullptr;
};

// The sink onto a descriptor (ctx points at the int): write(2), retrying
// interrupted and partial writes, and waiting while a non-blocking
// descriptor is full.
int write_fd(void *ctx, const char *p, size_t n);

// Room kept free above the flush mark: more than the longest text that one
// step of a phase stores without checking (a time line of 22 bytes, a run
// of value changes of 7 bytes each).  A phase checks the mark once per step
// and flushes past it; so the text never overruns the buffer.
constexpr size_t out_slack = 4096;

// The text is stored at buf + len.  After a failed write the buffer
// discards everything and `error` holds the errno.
struct Output {
    Sink sink;
    std::unique_ptr<char[]> buf;
    size_t len = 0;
    size_t cap = 0;
    int error = 0;
};

constexpr size_t output_buffer_size = size_t{1} << 18;

inline size_t out_mark(const Output &out) {
    return out.cap - out_slack;
}

// Starts an output into `sink` through a buffer of `cap` bytes (at least
// the slack and one byte).  False when out of memory.
bool out_open(Output &out, Sink sink, size_t cap = output_buffer_size);
// Hands the buffered text to the sink; false once a write failed.
bool out_flush(Output &out);
// Appends text of any length: flushes first when past the mark, and when
// the buffer fills.
void out_put_long(Output &out, std::string_view s);
inline void out_put(Output &out, std::string_view s) {
    if (out.len <= out_mark(out) && s.size() <= out_slack) {
        std::memcpy(out.buf.get() + out.len, s.data(), s.size());
        out.len += s.size();
    } else {
        out_put_long(out, s);
    }
}
