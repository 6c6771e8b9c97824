// The input layer: the trace is read with plain read(2) into one large
// buffer and decoded from there, whether it is a file, a pipe or memory.
#include "aet.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

void in_open_fd(Input &in, int fd) {
    in = Input{};
    in.fd = fd;
    in.cap = input_buffer_size;
    in.storage.reset(new unsigned char[in.cap]);
    in.data = in.storage.get();
}

void in_open_memory(Input &in, const unsigned char *bytes, size_t size) {
    in = Input{};
    in.data = bytes;
    in.len = size;
    in.eof = true;
}

bool in_fill_slow(Input &in, size_t need) {
    if (in.eof || in.error != 0 || in.fd < 0) return false;
    // Keep the unread bytes, move them to the front and read behind them.
    unsigned char *buf = in.storage.get();
    if (in.pos > 0 && in.cap - in.len < in.cap / 2) {
        std::memmove(buf, buf + in.pos, in.len - in.pos);
        in.base += in.pos;
        in.len -= in.pos;
        in.pos = 0;
    }
    while (in.len - in.pos < need) {
        ssize_t n = read(in.fd, buf + in.len, in.cap - in.len);
        if (n > 0) {
            in.len += static_cast<size_t>(n);
            in.progress();
        } else if (n == 0) {
            in.eof = true;
            return false;
        } else if (errno != EINTR) {
            in.error = errno;
            return false;
        }
    }
    return true;
}

bool in_seek(Input &in, uint64_t offset) {
    if (offset >= in.base && offset <= in.base + in.len) {
        in.pos = static_cast<size_t>(offset - in.base);
        return true;
    }
    if (offset < in.base) return false;
    // Forward: discard whole windows until the offset is inside one.
    while (offset > in.base + in.len) {
        in.pos = in.len;
        if (!in_fill(in, 1)) return false;
    }
    in.pos = static_cast<size_t>(offset - in.base);
    return true;
}

Status ran_out(const Input &in) {
    Status s;
    if (in.error != 0) {
        s.fault = Fault::read_error;
        s.err = in.error;
    } else {
        s.fault = Fault::truncated;
        s.offset = in.base + in.len;
    }
    return s;
}
