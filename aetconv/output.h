// The output buffer: VCD text is stored straight into one buffer and handed
// to a sink in big pieces; and the decimal number writers for that text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

// Where finished pieces of text go: returns 0, or the errno of a failed write.
struct Sink {
    int (*write)(void *ctx, const char *p, size_t n) = nullptr;
    void *ctx = nullptr;
};

// The sink onto a descriptor (ctx points at the int): write(2), retrying
// interrupted and partial writes.
int write_fd(void *ctx, const char *p, size_t n);

// The thread that hands full buffers to the sink (output.cpp).
struct OutputWriter;

// The text is stored at buf + len; out_room makes space for a known amount.
// After a failed write the buffer discards everything and `error` holds the
// errno.  Every output that out_open started is ended by out_close.
struct Output {
    Sink sink;
    std::unique_ptr<char[]> buf;
    size_t len = 0;
    size_t cap = 0;
    int error = 0;
    OutputWriter *writer = nullptr;        // null: the sink is called inline
    void (*progress)(void *ctx) = nullptr; // called after every flush, if set
    void *progress_ctx = nullptr;
};

constexpr size_t output_buffer_size = size_t{1} << 18;
// The smallest buffer: it must hold the longest line that is stored whole.
constexpr size_t output_buffer_min = 64;

// Starts an output into `sink` through a buffer of `cap` bytes; `threaded`
// lets a second thread write each full buffer while the next one fills
// (without a thread, when none can be made).  False when out of memory.
bool out_open(Output &out, Sink sink, size_t cap = output_buffer_size, bool threaded = true);
// Hands everything buffered to the sink, waits until it is written and ends
// the writer thread.  False when any write failed.
bool out_close(Output &out);
// Hands the buffered text on; the one way text leaves the buffer.
bool out_flush(Output &out);
// Makes room for n more bytes (n <= cap); false once a write failed.
inline bool out_room(Output &out, size_t n) {
    return (out.cap - out.len >= n || out_flush(out)) && out.error == 0;
}
// Appends bytes, flushing as the buffer fills.
void out_put_slow(Output &out, const char *s, size_t n);
inline void out_put(Output &out, std::string_view s) {
    if (out.cap - out.len >= s.size()) {
        std::memcpy(out.buf.get() + out.len, s.data(), s.size());
        out.len += s.size();
    } else {
        out_put_slow(out, s.data(), s.size());
    }
}

// Writes the decimal digits of v at p; returns the end.
char *put_u64(char *p, uint64_t v);
char *put_u32(char *p, uint32_t v);
char *put_i64(char *p, int64_t v);
