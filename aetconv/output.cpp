// The output layer: VCD text is collected in one large buffer and handed to
// write(2) in big pieces, retrying interrupted and partial writes.
#include "aet.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

constexpr size_t pipe_size = size_t{1} << 20;

void out_open(Output &out, int fd) {
    // A larger pipe lets the conversion run on while the reader catches up,
    // instead of both taking turns on a 64 KiB pipe.
    if (fd >= 0) fcntl(fd, F_SETPIPE_SZ, static_cast<int>(pipe_size));
    out = Output{};
    out.fd = fd;
    out.cap = output_buffer_size;
    out.buf.reset(new char[out.cap]); // not cleared: only written bytes are read
}

static bool write_all(Output &out, const char *p, size_t n) {
    if (out.fd < 0) {
        if (n > out.limit - out.written) {
            out.error = EFBIG;
            return false;
        }
        out.written += n;
        return true;
    }
    while (n > 0) {
        ssize_t w = write(out.fd, p, n);
        if (w >= 0) {
            p += w;
            n -= static_cast<size_t>(w);
            out.written += static_cast<uint64_t>(w);
        } else if (errno != EINTR) {
            out.error = errno;
            return false;
        }
    }
    return true;
}

bool out_flush(Output &out) {
    if (out.error == 0 && out.len > 0) write_all(out, out.buf.get(), out.len);
    out.len = 0;
    out.progress();
    return out.error == 0;
}

void out_put(Output &out, const char *s, size_t n) {
    if (out.cap - out.len < n) {
        if (!out_flush(out)) return;
        if (n > out.cap / 2) {
            write_all(out, s, n);
            return;
        }
    }
    std::memcpy(out.buf.get() + out.len, s, n);
    out.len += n;
}

char *put_u64(char *p, uint64_t v) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) *p++ = digits[--n];
    return p;
}

char *put_i64(char *p, int64_t v) {
    if (v >= 0) return put_u64(p, static_cast<uint64_t>(v));
    *p++ = '-';
    return put_u64(p, 0 - static_cast<uint64_t>(v));
}

namespace {
struct DecimalPairs {
    char digits[100][2];
    constexpr DecimalPairs() : digits() {
        for (int n = 0; n < 100; ++n) {
            digits[n][0] = static_cast<char>('0' + n / 10);
            digits[n][1] = static_cast<char>('0' + n % 10);
        }
    }
};
constexpr DecimalPairs decimal_pairs;
} // namespace

// Time lines are frequent: the digits are counted from the bit length (as
// for identifier codes) and filled in pairs from the end.
char *put_u32(char *p, uint32_t v) {
    static constexpr uint32_t powers[] = {0,      10,      100,      1000,      10000,
                                          100000, 1000000, 10000000, 100000000, 1000000000};
    int bits = 32 - __builtin_clz(v | 1);
    int len = (bits * 1233 >> 12) + 1; // 1233 / 4096 is just above log10(2)
    len -= v < powers[len - 1];
    char *end = p + len;
    char *q = end;
    while (v >= 100) {
        q -= 2;
        std::memcpy(q, decimal_pairs.digits[v % 100], 2);
        v /= 100;
    }
    if (v >= 10) {
        q -= 2;
        std::memcpy(q, decimal_pairs.digits[v], 2);
    } else {
        *--q = static_cast<char>('0' + v);
    }
    return end;
}
