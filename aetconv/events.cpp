// The event stream: tagged records decoded straight from the input window
// into time lines and value-change lines in the output buffer.
#include "aet.h"
#include "vcdid.h"

#include <algorithm>

namespace {

constexpr char value_letters[] = "01xz";

// Room reserved in the output buffer before each fixed-size record: the
// longest line one record writes is "#4294967295\n".
constexpr size_t line_room = 16;
// List entries and whole-design bits are written in runs of up to this many
// lines (of up to 8 bytes), fewer when the output buffer is smaller.
constexpr size_t max_run_lines = 4096;
size_t run_lines(const Output &out) { return std::min(max_run_lines, (out.cap - line_room) / 8); }

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

// The length of every fixed-size record, its tag included; 0: unknown tag.
// The list record's length here is its tag and count (its entries follow).
struct TagTable {
    unsigned char length[256];
    constexpr TagTable() : length() {
        length[0xA4] = 5;
        length[0xA5] = 2;
        length[0xA6] = 1;
        length[0xA7] = 1;
        length[0xA8] = 5;
        length[0xA9] = 2;
        length[0xAA] = 1;
        length[0xAB] = 1;
        for (int t = 0xAC; t <= 0xAF; ++t) length[t] = 1;
        for (int t = 0xB0; t <= 0xB3; ++t) length[t] = 3;
        length[0xB4] = 1;
        for (int t = 0xB5; t <= 0xB8; ++t) length[t] = 4;
    }
};
constexpr TagTable tag_table;

inline char *put_time(char *p, uint32_t t) {
    *p++ = '#';
    p = put_u32(p, t);
    *p++ = '\n';
    return p;
}

inline char *put_change(char *p, char letter, uint32_t id) {
    *p++ = letter;
    p = put_vcdid(p, id);
    *p++ = '\n';
    return p;
}

// Every bit of every facility, in table order, with its identifier.
template <typename Line> void for_each_bit(const AetState &st, Line line) {
    for (const AetFacility &f : st.txfacs) {
        uint64_t bits = facility_bits(f);
        auto id = static_cast<uint32_t>(f.first_id);
        for (uint64_t j = 0; j < bits; ++j)
            if (!line(id++)) return;
    }
}

uint64_t design_bits(const AetState &st) {
    uint64_t bits = 0;
    for (const AetFacility &f : st.txfacs) bits += facility_bits(f);
    return bits;
}

// Makes the design's text once, if it fits under the cap.
// (A line takes at most 7 bytes; the cap is compared without multiplying,
// so that no design size can wrap around it.)
void build_design_text(const AetState &st, DesignText &d) {
    d.built = true;
    uint64_t bits = design_bits(st);
    if (bits == 0 || bits > design_text_cap / 7) return;
    d.text.resize(bits * 7);
    d.letter_at.reserve(bits);
    char *start = d.text.data(), *p = start;
    for_each_bit(st, [&](uint32_t id) {
        d.letter_at.push_back(static_cast<uint32_t>(p - start));
        p = put_change(p, '0', id);
        return true;
    });
    d.text.resize(static_cast<size_t>(p - start));
    d.letter = '0';
}

// Every bit of every facility, in table order, gets one letter.
bool write_whole_design(AetState &st, DesignText &d, char letter) {
    Output &out = st.out;
    if (!d.built) build_design_text(st, d);
    if (!d.text.empty()) {
        if (d.letter != letter) {
            for (uint32_t at : d.letter_at) d.text[at] = letter;
            d.letter = letter;
        }
        out_put(out, {d.text.data(), d.text.size()});
        return out.error == 0;
    }
    // Too large to keep: written as it is made, in runs.
    uint64_t left = design_bits(st);
    if (left == 0) return true;
    bool ok = true;
    char *p = nullptr;
    uint64_t run = 0;
    for_each_bit(st, [&](uint32_t id) {
        if (run == 0) {
            if (p) out.len = static_cast<size_t>(p - out.buf.get());
            run = std::min<uint64_t>(left, run_lines(out));
            left -= run;
            if (!out_room(out, run * 8)) return ok = false;
            p = out.buf.get() + out.len;
        }
        p = put_change(p, letter, id);
        --run;
        return true;
    });
    if (ok && p) out.len = static_cast<size_t>(p - out.buf.get());
    return ok;
}

} // namespace

Status translate_events(AetState &st) {
    Input &in = st.handle;
    Output &out = st.out;
    constexpr size_t longest_fixed = 5;
    const size_t most_lines = run_lines(out);
    DesignText design;

    // The loop works on local copies of the buffer positions and the state,
    // so that the compiler can keep them in registers while it stores text;
    // sync() and load() move them to and from the records around slow paths.
    const unsigned char *p, *end;
    char *o, *o_limit;
    uint32_t time = st.current_time, base = st.id_base;
    const auto multiplier = static_cast<uint32_t>(st.multiplier);
    auto load = [&] {
        p = in.data + in.pos;
        end = in.data + in.len;
        o = out.buf.get() + out.len;
        o_limit = out.buf.get() + out.cap - line_room;
    };
    auto sync = [&] {
        in.pos = static_cast<size_t>(p - in.data);
        out.len = static_cast<size_t>(o - out.buf.get());
        st.current_time = time;
        st.id_base = base;
    };
    auto cut = [&] {
        sync();
        if (in.error != 0) return ran_out(in);
        return Status{Fault::cut_record, in_offset(in), *p};
    };
    load();

    for (;;) {
        if (end - p < static_cast<ptrdiff_t>(longest_fixed)) {
            sync();
            in_fill(in, longest_fixed);
            load();
            // Near the end: the last records are checked one by one below.
            if (p == end) {
                if (in.error != 0) return ran_out(in);
                return Status{};
            }
        }
        if (o > o_limit) {
            sync();
            if (!out_flush(out)) return write_failed(out);
            load();
        }

        const int tag = p[0];
        const int length = tag_table.length[tag];
        if (length == 0) {
            sync();
            return Status{Fault::unknown_tag, in_offset(in), tag};
        }
        if (end - p < length) return cut();

        switch (tag) {
        case 0xA4:
            time = be32(p + 1);
            o = put_time(o, time);
            break;
        case 0xA5:
            time += p[1];
            o = put_time(o, time);
            break;
        case 0xA6:
            time += 1;
            o = put_time(o, time);
            break;
        case 0xA7:
            time = 0;
            o = put_time(o, time);
            break;
        case 0xA8:
            base = be32(p + 1);
            break;
        case 0xA9:
            base += p[1] * multiplier;
            break;
        case 0xAA:
            base += multiplier;
            break;
        case 0xAB:
            break;
        case 0xAC:
        case 0xAD:
        case 0xAE:
        case 0xAF:
            p += 1;
            sync();
            if (!write_whole_design(st, design, value_letters[tag & 3])) return write_failed(out);
            load();
            continue;
        case 0xB0:
        case 0xB1:
        case 0xB2:
        case 0xB3: {
            // The whole record must be there before any of its lines is
            // written: a cut record writes nothing.
            size_t count = be16(p + 1);
            size_t size = 3 + 2 * count;
            if (static_cast<size_t>(end - p) < size) {
                sync();
                in_fill(in, size);
                load();
                if (static_cast<size_t>(end - p) < size) return cut();
            }
            const char letter = value_letters[tag & 3];
            const unsigned char *entry = p + 3;
            p += size;
            while (count > 0) {
                size_t run = std::min(count, most_lines);
                if (static_cast<size_t>(o_limit - o) < run * 8) {
                    sync();
                    if (!out_room(out, run * 8 + line_room)) return write_failed(out);
                    load();
                }
                for (size_t j = 0; j < run; ++j, entry += 2)
                    o = put_change(o, letter, be16(entry) + base);
                count -= run;
            }
            continue;
        }
        case 0xB4:
            p += 1;
            sync();
            return Status{};
        default: { // 0xB5..0xB8: a 24-bit identifier, without the base
            // Runs of these records are the bulk of most traces: they are
            // converted in a loop of their own, for as many records as the
            // input holds and the output has room for (7 bytes a line).
            auto fit = std::min((end - p) / 4, (o_limit - o) / 7 + 1);
            do {
                uint32_t record = be32(p);
                o = put_change(o, value_letters[((record >> 24) - 1) & 3], record & 0xFFFFFF);
                p += 4;
            } while (--fit > 0 && static_cast<unsigned>(p[0] - 0xB5) < 4);
            continue;
        }
        }
        p += length;
    }
}
