// The input window: the trace is read with read(2) into one buffer and
// decoded from there, whether it is a file, a pipe or memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// The window data[0, len) holds the bytes at trace offsets base .. base + len;
// pos is the read position in it.  Bytes before pos survive until the next
// refill, which is what lets the header be read in any order on a pipe.
struct Input {
    int fd = -1; // -1: the window is all there is (memory input)
    const unsigned char *data = nullptr;
    size_t pos = 0;
    size_t len = 0;
    uint64_t base = 0;
    uint64_t size = 0; // the whole trace's size when known (a regular file), else 0
    bool eof = false;  // no byte follows data[len - 1]
    int error = 0;     // errno of a failed read, 0 if none
    std::unique_ptr<unsigned char[]> storage;
    size_t cap = 0;
};

constexpr size_t input_window = size_t{1} << 20;

// Reads fd through a window of `window` bytes, which grows when one record
// needs more.  False when the window cannot be allocated.
bool in_open_fd(Input &in, int fd, size_t window = input_window);
void in_open_memory(Input &in, const unsigned char *bytes, size_t size);

// Makes at least `need` bytes available at data + pos.  False when the trace
// ends (or a read fails) first; the bytes that did arrive stay available.
bool in_fill_slow(Input &in, size_t need);
inline bool in_fill(Input &in, size_t need) {
    return in.len - in.pos >= need || in_fill_slow(in, need);
}
inline size_t in_avail(const Input &in) {
    return in.len - in.pos;
}
inline uint64_t in_offset(const Input &in) {
    return in.base + in.pos;
}

// Moves forward to an absolute trace offset by reading and discarding, or
// back within the window.  False when the trace ends before the offset.
bool in_seek(Input &in, uint64_t offset);

// The next byte as 0..255, or -1 at the end of the trace.
inline int get_byte(Input &in) {
    if (!in_fill(in, 1)) return -1;
    return in.data[in.pos++];
}
// The next n bytes of the trace, taken from the window to be decoded there;
// null when the trace ends (or a read fails) first.
inline const unsigned char *in_take(Input &in, size_t n) {
    if (!in_fill(in, n)) return nullptr;
    in.pos += n;
    return in.data + in.pos - n;
}

// Big-endian values at p.
inline uint32_t be16(const unsigned char *p) {
    return (uint32_t{p[0]} << 8) | p[1];
}
inline uint32_t be32(const unsigned char *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
