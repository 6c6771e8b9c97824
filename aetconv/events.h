// The event stream: tagged records decoded straight from the input window
// and handed to a writer, which says how a time and a value change are
// written.  The loop is a template over the writer, so that each program's
// loop is compiled for its own writer and neither pays for the other.
//
// A writer W is a small value (the loop keeps a copy, whose fields the
// compiler holds in registers) with:
//   W::changes_per_check         value changes it takes between two ready()
//   bool ready()                 before each record: room for its output;
//                                false when the output failed
//   void time(uint64_t t)        the clock is now t
//   void change(char v, uint32_t id)  identifier id takes value letter v
//   bool whole(char v)           every bit of the design takes v; false
//                                when the output failed
//   void save()                  stores what the copy holds back behind its
//                                pointers, before the loop returns
//   Status failed()              the status of a failed output
#pragma once

#include "aet.h"

#include <algorithm>

namespace events {

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
inline constexpr Records records;
constexpr size_t longest_fixed = 5;

// Where the loop stands: the input position and the window's end, held
// here where the compiler keeps them in registers, and stored back into the
// window around the slow paths; and the writer's copy.
template <typename W> struct Cursor {
    Input &in;
    W w;
    const unsigned char *p = nullptr, *end = nullptr;

    Cursor(Input &i, W writer) : in(i), w(writer) { load(); }
    void load() {
        p = in.data + in.pos;
        end = in.data + in.len;
    }
    void save() { in.pos = static_cast<size_t>(p - in.data); }
    size_t left() const { return static_cast<size_t>(end - p); }
    // Makes n bytes available; false when the trace ends (or a read fails) first.
    bool fill(size_t n) {
        save();
        bool ok = in_fill(in, n);
        load();
        return ok;
    }
    // The status of a record that the trace ends inside of.
    Status cut() {
        save();
        return in.error != 0 ? ran_out(in) : Status{Fault::cut_record, in_offset(in)};
    }
};

// 0xA4 sets the clock to its operand, 0xA5 and 0xA6 advance it, 0xA7 sets
// it to 0; each is written.  The clock counts in 64 bits, so that it never
// wraps.
template <typename W> void time_record(Cursor<W> &c, uint64_t &clock) {
    const int tag = c.p[0];
    clock = tag == 0xA4 ? be32(c.p + 1) : tag == 0xA7 ? 0 : clock + (tag == 0xA5 ? c.p[1] : 1);
    c.w.time(clock);
    c.p += records.of[tag].length;
}

// 0xA8 sets the base of list identifiers, 0xA9 and 0xAA advance it in
// steps of the multiplier (0xA9 by its operand's count); 0xAB does nothing.
// The base wraps at 32 bits.
template <typename W> void base_record(Cursor<W> &c, uint32_t &base, uint32_t multiplier) {
    const int tag = c.p[0];
    base = tag == 0xA8 ? be32(c.p + 1) : base + (tag == 0xA9 ? c.p[1] : tag == 0xAA) * multiplier;
    c.p += records.of[tag].length;
}

// A run of 24-bit records (0xB5..0xB8), the bulk of most traces: as many
// as the window holds and the writer takes between two checks, without
// the base.
template <typename W> void single_run(Cursor<W> &c) {
    size_t n = std::min(c.left() / 4, W::changes_per_check);
    do {
        uint32_t record = be32(c.p);
        c.w.change(value_letters[((record >> 24) - 1) & 3], record & 0xFFFFFF);
        c.p += 4;
    } while (--n > 0 && static_cast<unsigned>(c.p[0] - 0xB5) < 4);
}

// A list record: a count, then that many 16-bit identifiers relative to
// the base.  The whole record is in the window before any of its changes is
// written, so that a cut record writes nothing.
template <typename W> Status list_record(Cursor<W> &c, uint32_t base) {
    size_t count = be16(c.p + 1), size = 3 + 2 * count;
    if (c.left() < size && !c.fill(size)) return c.cut();
    const char letter = value_letters[c.p[0] & 3];
    const unsigned char *entry = c.p + 3;
    c.p += size;
    for (size_t run = 0; count > 0; count -= run) {
        if (!c.w.ready()) return c.w.failed();
        run = std::min(count, W::changes_per_check);
        for (const unsigned char *stop = entry + 2 * run; entry < stop; entry += 2)
            c.w.change(letter, be16(entry) + base);
    }
    return Status{};
}

// One record at c.p, whose fixed part is in the window; `end` is set by the
// end tag.
template <typename W>
Status record(Cursor<W> &c, Records::Kind kind, uint64_t &clock, uint32_t &base,
              uint32_t multiplier, bool &end) {
    switch (kind.family) {
    case Family::time:
        time_record(c, clock);
        return Status{};
    case Family::base:
        base_record(c, base, multiplier);
        return Status{};
    case Family::single:
        single_run(c);
        return Status{};
    case Family::list:
        return list_record(c, base);
    case Family::whole: {
        const char letter = value_letters[c.p[0] & 3];
        c.p += 1;
        return c.w.whole(letter) ? Status{} : c.w.failed();
    }
    default: // the end tag
        c.p += 1;
        end = true;
        return Status{};
    }
}

template <typename W> Status loop(Cursor<W> &c, uint32_t multiplier) {
    uint64_t clock = 0;
    uint32_t base = 0;
    for (bool end = false; !end;) {
        if (c.left() < longest_fixed && !c.fill(longest_fixed) && c.left() == 0)
            return c.in.error != 0 ? ran_out(c.in) : Status{};
        if (!c.w.ready()) return c.w.failed();
        const Records::Kind kind = records.of[c.p[0]];
        if (kind.family == Family::none) {
            c.save();
            return Status{Fault::unknown_tag, in_offset(c.in), c.p[0]};
        }
        if (c.left() < kind.length) return c.cut();
        Status s = record(c, kind, clock, base, multiplier, end);
        if (s.fault != Fault::none) return s;
    }
    return Status{};
}

} // namespace events

// Reads the event records from the first tag to the end tag or the end of
// the trace, handing each to the writer.
template <typename W> Status translate_events(AetState &st, W writer) {
    events::Cursor<W> c(st.handle, writer);
    Status s = events::loop(c, static_cast<uint32_t>(st.multiplier));
    c.save();
    c.w.save();
    return s;
}
