// The event stream: tagged records decoded straight from the input window
// into time lines and value-change lines in the output buffer.
#include "aet.h"

#include <algorithm>

namespace {

constexpr char value_letters[] = "01xz";

// Room reserved in the output buffer before each fixed-size record: the
// longest line one record writes is "#4294967295\n".
constexpr size_t line_room = 16;
// List entries and whole-design bits are written in runs of this many lines.
constexpr size_t run_lines = 4096;

// Operand bytes after the tag for every fixed-size record; -1: unknown tag,
// 2: the list record's count (its entries follow).
struct TagTable {
    signed char operands[256];
    constexpr TagTable() : operands() {
        for (int t = 0; t < 256; ++t) operands[t] = -1;
        operands[0xA4] = 4;
        operands[0xA5] = 1;
        operands[0xA6] = 0;
        operands[0xA7] = 0;
        operands[0xA8] = 4;
        operands[0xA9] = 1;
        operands[0xAA] = 0;
        operands[0xAB] = 0;
        for (int t = 0xAC; t <= 0xAF; ++t) operands[t] = 0;
        for (int t = 0xB0; t <= 0xB3; ++t) operands[t] = 2;
        operands[0xB4] = 0;
        for (int t = 0xB5; t <= 0xB8; ++t) operands[t] = 3;
    }
};
constexpr TagTable tag_table;

inline char *put_time(char *p, uint32_t t) {
    *p++ = '#';
    p = put_u64(p, t);
    *p++ = '\n';
    return p;
}

inline char *put_change(char *p, char letter, uint32_t id) {
    *p++ = letter;
    p = put_vcdid(p, id);
    *p++ = '\n';
    return p;
}

Status write_failed(const Output &out) { return Status{Fault::write_error, 0, 0, out.error}; }

// Every bit of every facility, in table order, gets one letter.
bool write_whole_design(AetState &st, char letter) {
    Output &out = st.out;
    for (const AetFacility &f : st.txfacs) {
        if (f.msb + 1 <= 0 || f.array_count <= 0) continue;
        uint64_t bits = uint64_t(f.msb + 1) * uint64_t(f.array_count);
        auto id = static_cast<uint32_t>(f.first_id);
        while (bits > 0) {
            uint64_t run = std::min<uint64_t>(bits, run_lines);
            if (!out_room(out, run * 8)) return false;
            char *p = out.buf.get() + out.len;
            for (uint64_t j = 0; j < run; ++j) p = put_change(p, letter, id++);
            out.len = static_cast<size_t>(p - out.buf.get());
            bits -= run;
        }
    }
    return true;
}

} // namespace

Status translate_events(AetState &st) {
    Input &in = st.handle;
    Output &out = st.out;
    constexpr size_t longest_fixed = 5;

    for (;;) {
        if (in_avail(in) < longest_fixed && !in_fill(in, longest_fixed)) {
            // Near the end: the last records are checked one by one below.
            if (in_avail(in) == 0) return in.error != 0 ? ran_out(in) : Status{};
        }
        if (!out_room(out, line_room)) return write_failed(out);

        const unsigned char *p = in.data + in.pos;
        const int tag = p[0];
        const int operands = tag_table.operands[tag];
        if (operands < 0) return Status{Fault::unknown_tag, in_offset(in), tag};
        if (in_avail(in) < size_t(operands) + 1) {
            if (in.error != 0) return ran_out(in);
            return Status{Fault::cut_record, in_offset(in), tag};
        }
        char *o = out.buf.get() + out.len;

        switch (tag) {
        case 0xA4:
            st.current_time = be32(p + 1);
            o = put_time(o, st.current_time);
            break;
        case 0xA5:
            st.current_time += p[1];
            o = put_time(o, st.current_time);
            break;
        case 0xA6:
            st.current_time += 1;
            o = put_time(o, st.current_time);
            break;
        case 0xA7:
            st.current_time = 0;
            o = put_time(o, st.current_time);
            break;
        case 0xA8:
            st.id_base = be32(p + 1);
            break;
        case 0xA9:
            st.id_base += p[1] * static_cast<uint32_t>(st.multiplier);
            break;
        case 0xAA:
            st.id_base += static_cast<uint32_t>(st.multiplier);
            break;
        case 0xAB:
            break;
        case 0xAC:
        case 0xAD:
        case 0xAE:
        case 0xAF:
            in.pos += 1;
            if (!write_whole_design(st, value_letters[tag & 3])) return write_failed(out);
            continue;
        case 0xB0:
        case 0xB1:
        case 0xB2:
        case 0xB3: {
            // The whole record must be there before any of its lines is
            // written: a cut record writes nothing.
            size_t count = be16(p + 1);
            size_t size = 3 + 2 * count;
            if (!in_fill(in, size)) {
                if (in.error != 0) return ran_out(in);
                return Status{Fault::cut_record, in_offset(in), tag};
            }
            p = in.data + in.pos + 3;
            in.pos += size;
            const char letter = value_letters[tag & 3];
            while (count > 0) {
                size_t run = std::min(count, run_lines);
                if (!out_room(out, run * 8)) return write_failed(out);
                o = out.buf.get() + out.len;
                for (size_t j = 0; j < run; ++j, p += 2)
                    o = put_change(o, letter, be16(p) + st.id_base);
                out.len = static_cast<size_t>(o - out.buf.get());
                count -= run;
            }
            continue;
        }
        case 0xB4:
            in.pos += 1;
            return Status{};
        default: // 0xB5..0xB8: a 24-bit identifier, without the base
            o = put_change(o, value_letters[(tag - 1) & 3],
                           (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]);
            break;
        }
        in.pos += size_t(operands) + 1;
        out.len = static_cast<size_t>(o - out.buf.get());
    }
}
