// The event stream: tagged records decoded straight from the input window
// into time lines and value-change lines in the output buffer.
#include "aet.h"
#include "vcdtext.h"

#include <algorithm>

namespace {

constexpr char value_letters[] = "01xz";

enum class Family : unsigned char { none, time, base, whole, list, end, single };

// Every tag's family and the length of its record, the tag included.  A
// list record's length is that of its head, the tag and the count; its
// entries follow.
struct Records {
    struct Kind {
        Family family = Family::none;
        unsigned char length = 0;
    } of[256];
    constexpr Records() : of() {
        auto set = [this](int first, int last, Family f, unsigned char length) {
            for (int t = first; t <= last; ++t)
                of[t] = {f, length};
        };
        set(0xA4, 0xA4, Family::time, 5);
        set(0xA5, 0xA5, Family::time, 2);
        set(0xA6, 0xA7, Family::time, 1);
        set(0xA8, 0xA8, Family::base, 5);
        set(0xA9, 0xA9, Family::base, 2);
        set(0xAA, 0xAB, Family::base, 1);
        set(0xAC, 0xAF, Family::whole, 1);
        set(0xB0, 0xB3, Family::list, 3);
        set(0xB4, 0xB4, Family::end, 1);
        set(0xB5, 0xB8, Family::single, 4);
    }
};
constexpr Records records;
constexpr size_t longest_fixed = 5;
// Value changes a list record writes between two checks of the flush mark.
constexpr size_t changes_per_check = out_slack / 7;

// Where the loop stands: the input position and the window's end, the
// output position and the flush mark.  They are held here, where the
// compiler keeps them in registers, and stored back into the window and the
// buffer around the slow paths.
struct Cursor {
    Input &in;
    Output &out;
    const unsigned char *p = nullptr, *end = nullptr;
    char *o = nullptr, *mark = nullptr;

    Cursor(Input &i, Output &u) : in(i), out(u) { load(); }
    void load() {
        p = in.data + in.pos;
        end = in.data + in.len;
        o = out.buf.get() + out.len;
        mark = out.buf.get() + out_mark(out);
    }
    void save() {
        in.pos = static_cast<size_t>(p - in.data);
        out.len = static_cast<size_t>(o - out.buf.get());
    }
    size_t left() const { return static_cast<size_t>(end - p); }
    // A slow path, with the positions stored around it.
    template <typename Step> bool around(Step step) {
        save();
        bool ok = step();
        load();
        return ok;
    }
    // Makes n bytes available; false when the trace ends (or a read fails) first.
    bool fill(size_t n) {
        return around([&] { return in_fill(in, n); });
    }
    bool flush() {
        return around([&] { return out_flush(out); });
    }
    // The status of a record that the trace ends inside of.
    Status cut() {
        save();
        return in.error != 0 ? ran_out(in) : Status{Fault::cut_record, in_offset(in)};
    }
};

// 0xA4 sets the clock to its operand, 0xA5 and 0xA6 advance it, 0xA7 sets
// it to 0; each writes a time line.  The clock counts in 64 bits, so that
// it never wraps.
void time_record(Cursor &c, uint64_t &clock) {
    const int tag = c.p[0];
    clock = tag == 0xA4 ? be32(c.p + 1) : tag == 0xA7 ? 0 : clock + (tag == 0xA5 ? c.p[1] : 1);
    c.o = put_time(c.o, clock);
    c.p += records.of[tag].length;
}

// 0xA8 sets the base of list identifiers, 0xA9 and 0xAA advance it in
// steps of the multiplier (0xA9 by its operand's count); 0xAB does nothing.
// The base wraps at 32 bits.
void base_record(Cursor &c, uint32_t &base, uint32_t multiplier) {
    const int tag = c.p[0];
    base = tag == 0xA8 ? be32(c.p + 1) : base + (tag == 0xA9 ? c.p[1] : tag == 0xAA) * multiplier;
    c.p += records.of[tag].length;
}

// A run of 24-bit records (0xB5..0xB8), the bulk of most traces: as many
// as the window holds and the slack has room for, without the base.
void single_run(Cursor &c) {
    size_t n = std::min(c.left() / 4, changes_per_check);
    do {
        uint32_t record = be32(c.p);
        c.o = put_change(c.o, value_letters[((record >> 24) - 1) & 3], record & 0xFFFFFF);
        c.p += 4;
    } while (--n > 0 && static_cast<unsigned>(c.p[0] - 0xB5) < 4);
}

// A list record: a count, then that many 16-bit identifiers relative to
// the base.  The whole record is in the window before any of its lines is
// written, so that a cut record writes nothing.
Status list_record(Cursor &c, uint32_t base) {
    size_t count = be16(c.p + 1), size = 3 + 2 * count;
    if (c.left() < size && !c.fill(size)) return c.cut();
    const char letter = value_letters[c.p[0] & 3];
    const unsigned char *entry = c.p + 3;
    c.p += size;
    for (size_t run = 0; count > 0; count -= run) {
        if (c.o > c.mark && !c.flush()) return write_failed(c.out);
        run = std::min(count, changes_per_check);
        for (const unsigned char *stop = entry + 2 * run; entry < stop; entry += 2)
            c.o = put_change(c.o, letter, be16(entry) + base);
    }
    return Status{};
}

// The text of a whole-design record ("L<id>\n" for every bit, in table
// order), made once and reused with its letters set; a design whose text
// would pass text_cap is written as it is made instead.
struct DesignText {
    std::vector<char> text;
    std::vector<uint32_t> letter_at; // where every line's letter is
    char letter = 0;                 // the letter the text now holds; 0: not made yet
};
constexpr uint64_t text_cap = uint64_t{8} << 20;

uint64_t design_bits(const AetState &st) {
    uint64_t bits = 0;
    for (const AetFacility &f : st.txfacs)
        bits += facility_bits(f);
    return bits;
}

// Every bit of every facility, in table order, with its identifier; false
// when write() asks to stop.
template <typename Write> bool for_each_bit(const AetState &st, Write write) {
    for (const AetFacility &f : st.txfacs) {
        auto id = static_cast<uint32_t>(f.first_id);
        for (uint64_t j = facility_bits(f); j > 0; --j)
            if (!write(id++)) return false;
    }
    return true;
}

void build_design_text(const AetState &st, DesignText &d) {
    d.letter = '0';
    uint64_t bits = design_bits(st);
    if (bits > text_cap / 7) return; // compared without multiplying, so that no size wraps
    d.text.resize(size_t(bits) * 7);
    d.letter_at.reserve(size_t(bits));
    char *start = d.text.data(), *p = start;
    for_each_bit(st, [&](uint32_t id) {
        d.letter_at.push_back(static_cast<uint32_t>(p - start));
        p = put_change(p, '0', id);
        return true;
    });
    d.text.resize(static_cast<size_t>(p - start));
}

// A whole-design record: every bit of every facility gets the record's letter.
Status whole_design(Cursor &c, const AetState &st, DesignText &d) {
    const char letter = value_letters[c.p[0] & 3];
    c.p += 1;
    if (d.letter == 0) build_design_text(st, d);
    if (d.text.empty()) { // too large to keep, or no bits at all
        bool ok = for_each_bit(st, [&](uint32_t id) {
            if (c.o > c.mark && !c.flush()) return false;
            c.o = put_change(c.o, letter, id);
            return true;
        });
        return ok ? Status{} : write_failed(c.out);
    }
    if (d.letter != letter) {
        for (uint32_t at : d.letter_at)
            d.text[at] = letter;
        d.letter = letter;
    }
    c.save();
    out_put(c.out, {d.text.data(), d.text.size()});
    c.load();
    return c.out.error == 0 ? Status{} : write_failed(c.out);
}

} // namespace

Status translate_events(AetState &st) {
    Cursor c(st.handle, st.out);
    uint64_t current_time = 0;
    uint32_t id_base = 0;
    const auto multiplier = static_cast<uint32_t>(st.multiplier);
    DesignText design;
    for (;;) {
        if (c.left() < longest_fixed && !c.fill(longest_fixed) && c.left() == 0)
            return st.handle.error != 0 ? ran_out(st.handle) : Status{};
        if (c.o > c.mark && !c.flush()) return write_failed(st.out);
        const Records::Kind kind = records.of[c.p[0]];
        if (kind.family == Family::none) {
            c.save();
            return Status{Fault::unknown_tag, in_offset(st.handle), c.p[0]};
        }
        if (c.left() < kind.length) return c.cut();
        Status s;
        switch (kind.family) {
        case Family::time:
            time_record(c, current_time);
            break;
        case Family::base:
            base_record(c, id_base, multiplier);
            break;
        case Family::single:
            single_run(c);
            break;
        case Family::list:
            s = list_record(c, id_base);
            break;
        case Family::whole:
            s = whole_design(c, st, design);
            break;
        default:
            c.p += 1;
            c.save();
            return Status{}; // the end tag
        }
        if (s.fault != Fault::none) return s;
    }
}
