// Shared records and functions of the trace converter.
//
// Data flows one way: the input buffer (input.cpp) is decoded by the phases
// (header.cpp, facilities.cpp, events.cpp) into the converter state, which
// writes VCD text into the output buffer (output.cpp).  Every phase returns
// a Status; only main turns a status into a message and an exit status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// Called after every refill of the input and every flush of the output,
// for a progress display; a cheap no-op when fn is null.
struct ProgressHook {
    void (*fn)(void *ctx) = nullptr;
    void *ctx = nullptr;
    void operator()() const {
        if (fn) fn(ctx);
    }
};

// ---------------------------------------------------------------- input

// The trace, read through one large buffer.  The window data[0, len) holds
// the bytes at trace offsets base .. base + len; pos is the read position in
// the window.  Bytes before pos survive until the next refill, which is what
// lets the header phase step back to an earlier offset on a pipe.
struct Input {
    int fd = -1; // -1: the window is all there is (memory input)
    const unsigned char *data = nullptr;
    size_t pos = 0;
    size_t len = 0;
    uint64_t base = 0;
    bool eof = false; // no byte follows data[len - 1]
    int error = 0;    // errno of a failed read, 0 if none
    std::unique_ptr<unsigned char[]> storage;
    size_t cap = 0;
    ProgressHook progress;
};

constexpr size_t input_buffer_size = size_t{1} << 20;

void in_open_fd(Input &in, int fd);
void in_open_memory(Input &in, const unsigned char *bytes, size_t size);

// Makes at least `need` bytes available at data + pos (need <= half the
// buffer).  False when the trace ends (or a read fails) first; the bytes
// that did arrive stay available.
bool in_fill_slow(Input &in, size_t need);
inline bool in_fill(Input &in, size_t need) {
    return in.len - in.pos >= need || in_fill_slow(in, need);
}
inline size_t in_avail(const Input &in) { return in.len - in.pos; }
inline uint64_t in_offset(const Input &in) { return in.base + in.pos; }

// Moves to an absolute trace offset: forward by reading and discarding,
// backward only within the current window.  False when the trace ends
// before the offset (or it is no longer buffered).
bool in_seek(Input &in, uint64_t offset);

// The next byte as 0..255, or -1 at the end of the trace.
inline int get_byte(Input &in) {
    if (!in_fill(in, 1)) return -1;
    return in.data[in.pos++];
}
// Big-endian 16- and 32-bit values; the caller has made the bytes available.
inline int get_short(Input &in) {
    int hi = get_byte(in);
    return (hi << 8) | get_byte(in);
}
inline int32_t get_long(Input &in) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(get_byte(in));
    return static_cast<int32_t>(v);
}

// Big-endian values at p, for decoding straight from the window.
inline uint32_t be16(const unsigned char *p) { return (uint32_t{p[0]} << 8) | p[1]; }
inline uint32_t be32(const unsigned char *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

struct Status;
// The status for a trace that ended (or failed to read) before the bytes a
// phase needs: truncated at the end of the data, or the read error.
Status ran_out(const Input &in);

// --------------------------------------------------------------- output

// The thread that writes full buffers to a descriptor (output.cpp).
struct OutputWriter;
struct OutputWriterStop {
    void operator()(OutputWriter *w) const; // waits for the last write, ends the thread
};

// VCD text, collected in one large buffer and handed to write(2) in big
// pieces.  fd -1 discards the text but counts it (fuzzing).  After a failed
// write the buffer discards everything and `error` holds the errno.
struct Output {
    int fd = -1;
    std::unique_ptr<OutputWriter, OutputWriterStop> writer; // null: written inline
    std::unique_ptr<char[]> buf;
    size_t len = 0;
    size_t cap = 0;
    uint64_t written = 0; // bytes handed on so far
    uint64_t limit = UINT64_MAX; // a discarding sink fails with EFBIG past this
    int error = 0;
    ProgressHook progress;
};

constexpr size_t output_buffer_size = size_t{1} << 18;

void out_open(Output &out, int fd);
// Hands the buffered text on; false (and out.error set) once a write failed.
bool out_flush(Output &out);
// Hands the buffered text on and waits until all of it is written.
bool out_finish(Output &out);
// Makes room for n more bytes (n <= cap); false once a write failed.
inline bool out_room(Output &out, size_t n) {
    return (out.cap - out.len >= n || out_flush(out)) && out.error == 0;
}
// Appends bytes, flushing as needed; long texts are written through.
void out_put(Output &out, const char *s, size_t n);
inline void out_put(Output &out, const std::string &s) { out_put(out, s.data(), s.size()); }

// Writes the decimal digits of v at p; returns the end.
char *put_u64(char *p, uint64_t v);
char *put_u32(char *p, uint32_t v);
char *put_i64(char *p, int64_t v);

// ------------------------------------------------------- identifier codes

// The VCD identifier of signal number n: base 94, digits '!'..'~', least
// significant digit first.  A negative number is encoded as its unsigned
// 32-bit value, so every number has a distinct code of 1..5 characters.
// Writes the code and a NUL at buf (at least 6 bytes); returns its length.
int vcdid(int32_t n, char *buf);

// Codes of 0..8835 as two digits each, least significant first.
struct VcdidPairs {
    char digits[94 * 94][2];
    constexpr VcdidPairs() : digits() {
        for (int n = 0; n < 94 * 94; ++n) {
            digits[n][0] = static_cast<char>('!' + n % 94);
            digits[n][1] = static_cast<char>('!' + n / 94);
        }
    }
};
inline constexpr VcdidPairs vcdid_pairs;

// The length of n's code: the candidate for n's bit length, plus one when n
// reaches the one power of 94 that may lie within that bit length.
struct VcdidLengths {
    struct Entry {
        uint64_t threshold;
        int base;
    } by_bits[33];
    constexpr VcdidLengths() : by_bits() {
        for (int b = 1; b <= 32; ++b) {
            uint64_t low = uint64_t{1} << (b - 1), high = (uint64_t{1} << b) - 1;
            int base = 1;
            uint64_t threshold = high + 1;
            for (uint64_t power = 94; power <= high; power *= 94) {
                if (power <= low) ++base;
                else threshold = power;
            }
            by_bits[b] = {threshold, base};
        }
    }
};
inline constexpr VcdidLengths vcdid_lengths;

inline int vcdid_length(uint32_t n) {
    const auto &e = vcdid_lengths.by_bits[32 - __builtin_clz(n | 1)];
    return e.base + (n >= e.threshold);
}

// The same code written at p without a terminator; returns its end.  It
// stores up to 5 bytes at p (those after the code are scratch for the caller
// to overwrite), so that no branch depends on the code's exact length.
inline char *put_vcdid(char *p, uint32_t n) {
    constexpr uint32_t pair = 94 * 94;
    uint32_t high = n / pair;
    std::memcpy(p, vcdid_pairs.digits[n - high * pair], 2);
    if (high < pair) [[likely]] { // codes of up to 4 characters
        std::memcpy(p + 2, vcdid_pairs.digits[high], 2);
    } else {
        std::memcpy(p + 2, vcdid_pairs.digits[high % pair], 2);
        p[4] = static_cast<char>('!' + high / pair);
    }
    return p + vcdid_length(n);
}

// -------------------------------------------------------- converter state

// One traced signal: array_count x (msb + 1) bits whose identifier numbers
// start at first_id; its name starts at name_offset in facnames.
struct AetFacility {
    int32_t array_count;
    int32_t lsb;
    int32_t msb;
    int32_t first_id;
    int32_t name_offset;
};

enum class Fault {
    none,
    not_aet,      // first byte is neither 0xA0 nor 0xC0
    truncated,    // the trace ends inside the header or the tables; offset: where it ends
    bad_facbytes, // negative name-table size; value: the size
    unknown_tag,  // value: the tag; offset: where it stands
    cut_record,   // the trace ends inside an event record; offset: the record's tag
    read_error,   // err: errno
    write_error,  // err: errno
};

struct Status {
    Fault fault = Fault::none;
    uint64_t offset = 0;
    int value = 0;
    int err = 0;
};

// The text of a whole-design record ("L<id>\n" for every bit, in table
// order), made once and reused with its letters set; designs whose text
// would pass design_text_cap are written line by line instead.
struct DesignText {
    std::vector<char> text;
    std::vector<uint32_t> letter_at; // offset of every line's letter
    char letter = 0;                 // the letter the text now holds
    bool built = false;
};

constexpr size_t design_text_cap = size_t{8} << 20;

// Everything one conversion knows.  Nothing lives outside it, so a process
// may run any number of conversions.
struct AetState {
    Input handle;
    Output out;
    int format = 0; // 0xA0 or 0xC0
    int32_t numfacs = 0;
    int32_t facbytes = 0;
    int32_t multiplier = 1;
    std::vector<AetFacility> txfacs;
    std::vector<char> facnames;
    uint32_t current_time = 0; // 32 bits as on file; printed unsigned
    uint32_t id_base = 0;      // 32 bits, wraps
    DesignText design;
};

// The header's texts, each up to its first NUL or all 8 bytes.
struct AetHeader {
    char created_on[9] = {};
    char created_at[9] = {};
    char model_on[9] = {};
    char model_at[9] = {};
    std::string model; // format 0xC0 only; cut at model_capacity bytes
};

constexpr size_t model_capacity = 1005;

// The phases, in order.  Each writes its VCD text into st.out.
Status read_header(AetState &st, AetHeader &h);
void write_header(AetState &st, const AetHeader &h);
Status read_facilities(AetState &st);
Status write_declarations(AetState &st);
Status translate_events(AetState &st);

// All phases; the output is left unflushed for the caller.
Status convert(AetState &st);

// The one-line message for a failed status (with its newline), "" for none.
std::string status_message(const Status &s, const char *path);
