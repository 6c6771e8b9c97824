// The input window: plain read(2) into one buffer that slides along the trace.
#include "input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

bool in_open_fd(Input &in, int fd, size_t window) {
    in = Input{};
    in.fd = fd;
    in.cap = std::max<size_t>(window, 1);
    in.storage.reset(new (std::nothrow) unsigned char[in.cap]);
    in.data = in.storage.get();
    struct stat sb {};
    if (fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode)) in.size = static_cast<uint64_t>(sb.st_size);
    return in.data != nullptr;
}

void in_open_memory(Input &in, const unsigned char *bytes, size_t size) {
    in = Input{};
    in.data = bytes;
    in.len = size;
    in.size = size;
    in.eof = true;
}

bool in_fill_slow(Input &in, size_t need) {
    if (in.eof || in.error != 0 || in.fd < 0) return false;
    // Keep the unread bytes: move them to the front when the free tail runs
    // short, and give a record that is longer than the window a larger one.
    if (in.cap - in.pos < need || in.cap - in.len < in.cap / 2) {
        size_t keep = in.len - in.pos;
        if (in.cap < need) {
            size_t cap = std::max(need, 2 * in.cap);
            std::unique_ptr<unsigned char[]> bigger(new unsigned char[cap]);
            std::memcpy(bigger.get(), in.data + in.pos, keep);
            in.storage = std::move(bigger);
            in.cap = cap;
        } else {
            std::memmove(in.storage.get(), in.data + in.pos, keep);
        }
        in.data = in.storage.get();
        in.base += in.pos;
        in.len = keep;
        in.pos = 0;
    }
    while (in.len - in.pos < need) {
        ssize_t n = read(in.fd, in.storage.get() + in.len, in.cap - in.len);
        if (n > 0) {
            in.len += static_cast<size_t>(n);
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
    if (offset < in.base) return false; // no longer buffered
    // Forward past the window: discard whole windows until the offset is in one.
    while (offset > in.base + in.len) {
        in.pos = in.len;
        if (!in_fill(in, 1)) return false;
    }
    in.pos = static_cast<size_t>(offset - in.base);
    return true;
}
