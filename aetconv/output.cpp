// The output buffer and the thread that writes it, and the number writers.
#include "output.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <pthread.h>
#include <unistd.h>

int write_fd(void *ctx, const char *p, size_t n) {
    const int fd = *static_cast<const int *>(ctx);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w >= 0) {
            p += w;
            n -= static_cast<size_t>(w);
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// The writer thread hands each full buffer to the sink while the conversion
// fills the other one, so that copying the text into a pipe or a file
// overlaps with making it.  It is started by out_open and joined by
// out_close; only its sink calls run beside the converter.
struct OutputWriter {
    pthread_t thread{};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    Sink sink;
    std::unique_ptr<char[]> piece; // the buffer being written
    size_t len = 0;                // its bytes still to write; 0: idle
    bool stop = false;
    int error = 0;
};

namespace {

void *writer_main(void *arg) {
    auto &w = *static_cast<OutputWriter *>(arg);
    pthread_mutex_lock(&w.lock);
    for (;;) {
        while (w.len == 0 && !w.stop) pthread_cond_wait(&w.changed, &w.lock);
        if (w.len == 0) break;
        pthread_mutex_unlock(&w.lock);
        int err = w.sink.write(w.sink.ctx, w.piece.get(), w.len);
        pthread_mutex_lock(&w.lock);
        if (err != 0) w.error = err;
        w.len = 0;
        pthread_cond_broadcast(&w.changed);
    }
    pthread_mutex_unlock(&w.lock);
    return nullptr;
}

// Waits until the writer is idle; returns its error (0 if none).  Called
// with the lock held.
int wait_idle(OutputWriter &w) {
    while (w.len != 0) pthread_cond_wait(&w.changed, &w.lock);
    return w.error;
}

OutputWriter *start_writer(Sink sink, size_t cap) {
    auto *w = new (std::nothrow) OutputWriter;
    if (w == nullptr) return nullptr;
    w->sink = sink;
    w->piece.reset(new (std::nothrow) char[cap]);
    if (w->piece && pthread_create(&w->thread, nullptr, writer_main, w) == 0) return w;
    delete w;
    return nullptr;
}

} // namespace

bool out_open(Output &out, Sink sink, size_t cap, bool threaded) {
    out = Output{};
    out.sink = sink;
    out.cap = std::max(cap, output_buffer_min);
    out.buf.reset(new (std::nothrow) char[out.cap]); // not cleared: only written bytes are read
    if (threaded && out.buf) out.writer = start_writer(sink, out.cap);
    return out.buf != nullptr;
}

bool out_flush(Output &out) {
    if (out.error == 0 && out.len > 0) {
        if (OutputWriter *w = out.writer) {
            pthread_mutex_lock(&w->lock);
            out.error = wait_idle(*w);
            if (out.error == 0) {
                std::swap(w->piece, out.buf);
                w->len = out.len;
                pthread_cond_broadcast(&w->changed);
            }
            pthread_mutex_unlock(&w->lock);
        } else {
            out.error = out.sink.write(out.sink.ctx, out.buf.get(), out.len);
        }
    }
    out.len = 0;
    if (out.progress) out.progress(out.progress_ctx);
    return out.error == 0;
}

bool out_close(Output &out) {
    out_flush(out);
    if (OutputWriter *w = out.writer) {
        pthread_mutex_lock(&w->lock);
        int err = wait_idle(*w);
        w->stop = true;
        pthread_cond_broadcast(&w->changed);
        pthread_mutex_unlock(&w->lock);
        pthread_join(w->thread, nullptr);
        delete w;
        out.writer = nullptr;
        if (out.error == 0) out.error = err;
    }
    return out.error == 0;
}

void out_put_slow(Output &out, const char *s, size_t n) {
    while (n > 0) {
        if (out.len == out.cap && !out_flush(out)) return;
        size_t take = std::min(n, out.cap - out.len);
        std::memcpy(out.buf.get() + out.len, s, take);
        out.len += take;
        s += take;
        n -= take;
    }
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
