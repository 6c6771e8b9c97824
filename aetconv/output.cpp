// The output layer: VCD text is collected in one large buffer and handed to
// write(2) in big pieces, retrying interrupted and partial writes.
#include "aet.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

constexpr size_t pipe_size = size_t{1} << 20;

// Writes all n bytes, retrying interrupted and partial writes; 0 or errno.
static int write_fd(int fd, const char *p, size_t n) {
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

// A second thread writes each full buffer while the conversion fills the
// other one, so that copying the text into a pipe or a file overlaps with
// making it.  Only this thread's write(2) calls run beside the converter.
struct OutputWriter {
    pthread_t thread{};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    int fd = -1;
    std::unique_ptr<char[]> piece; // the buffer being written
    size_t len = 0;                // its bytes still to write; 0: idle
    bool stop = false;
    int error = 0;
};

static void *writer_main(void *arg) {
    auto &w = *static_cast<OutputWriter *>(arg);
    pthread_mutex_lock(&w.lock);
    for (;;) {
        while (w.len == 0 && !w.stop) pthread_cond_wait(&w.changed, &w.lock);
        if (w.len == 0) break;
        pthread_mutex_unlock(&w.lock);
        int err = w.error == 0 ? write_fd(w.fd, w.piece.get(), w.len) : 0;
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
static int wait_idle(OutputWriter &w) {
    while (w.len != 0) pthread_cond_wait(&w.changed, &w.lock);
    return w.error;
}

void OutputWriterStop::operator()(OutputWriter *w) const {
    pthread_mutex_lock(&w->lock);
    wait_idle(*w);
    w->stop = true;
    pthread_cond_broadcast(&w->changed);
    pthread_mutex_unlock(&w->lock);
    pthread_join(w->thread, nullptr);
    delete w;
}

void out_open(Output &out, int fd) {
    // A larger pipe lets the conversion run on while the reader catches up,
    // instead of both taking turns on a 64 KiB pipe.
    if (fd >= 0) fcntl(fd, F_SETPIPE_SZ, static_cast<int>(pipe_size));
    out = Output{};
    out.fd = fd;
    out.cap = output_buffer_size;
    out.buf.reset(new char[out.cap]); // not cleared: only written bytes are read
    if (fd >= 0) {
        auto *w = new OutputWriter;
        w->fd = fd;
        w->piece.reset(new char[out.cap]);
        if (pthread_create(&w->thread, nullptr, writer_main, w) == 0) out.writer.reset(w);
        else delete w; // no thread: every write is made inline
    }
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
    if (out.writer) { // keep the order: what the writer holds goes first
        OutputWriter &w = *out.writer;
        pthread_mutex_lock(&w.lock);
        int err = wait_idle(w);
        pthread_mutex_unlock(&w.lock);
        if (err != 0) {
            out.error = err;
            return false;
        }
    }
    int err = write_fd(out.fd, p, n);
    if (err != 0) {
        out.error = err;
        return false;
    }
    out.written += n;
    return true;
}

bool out_flush(Output &out) {
    if (out.writer && out.error == 0) {
        OutputWriter &w = *out.writer;
        pthread_mutex_lock(&w.lock);
        out.error = wait_idle(w);
        if (out.error == 0 && out.len > 0) {
            std::swap(w.piece, out.buf);
            w.len = out.len;
            out.written += out.len;
            pthread_cond_broadcast(&w.changed);
        }
        pthread_mutex_unlock(&w.lock);
    } else if (out.error == 0 && out.len > 0) {
        write_all(out, out.buf.get(), out.len);
    }
    out.len = 0;
    out.progress();
    return out.error == 0;
}

bool out_finish(Output &out) {
    if (!out_flush(out) || !out.writer) return out.error == 0;
    OutputWriter &w = *out.writer;
    pthread_mutex_lock(&w.lock);
    out.error = wait_idle(w);
    pthread_mutex_unlock(&w.lock);
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
