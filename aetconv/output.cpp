// The output buffer and the sink onto a descriptor.
#include "output.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <poll.h>
#include <unistd.h>

int write_fd(void *ctx, const char *p, size_t n) {
    const int fd = *static_cast<const int *>(ctx);
    pollfd ready{fd, POLLOUT, 0};
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        // After an interruption, or on an output left non-blocking by another
        // program and full: wait for room.
        if (w < 0) poll(&ready, 1, -1);
        p += w < 0 ? 0 : w;
        n -= w < 0 ? 0 : static_cast<size_t>(w);
    }
    return 0;
}

bool out_open(Output &out, Sink sink, size_t cap) {
    out = Output{};
    out.sink = sink;
    out.cap = std::max(cap, out_slack + 1);
    out.buf.reset(new (std::nothrow) char[out.cap]); // not cleared: only written bytes are read
    return out.buf != nullptr;
}

bool out_flush(Output &out) {
    if (out.error == 0 && out.len > 0)
        out.error = out.sink.write(out.sink.ctx, out.buf.get(), out.len);
    out.len = 0;
    return out.error == 0;
}

void out_put_long(Output &out, std::string_view s) {
    while (!s.empty()) {
        if (out.len > out_mark(out) && !out_flush(out)) return;
        size_t take = std::min(s.size(), out.cap - out.len);
        std::memcpy(out.buf.get() + out.len, s.data(), take);
        out.len += take;
        s.remove_prefix(take);
    }
}
