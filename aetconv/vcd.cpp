// The VCD writer: the header blocks, the declarations and the value changes
// as VCD text in the output buffer.
#include "vcd.h"

#include "events.h"
#include "vcdtext.h"

#include <cstring>
#include <new>
#include <string>

namespace {

Status write_header(const AetState &st, Output &out) {
    const AetHeader &h = st.header;
    std::string text = "$version\n\tAET created at ";
    text.append(h.created_at).append(" on ").append(h.created_on).append(".\n");
    if (st.format == 0xC0) {
        text.append("\tModel ")
            .append(h.model)
            .append(" created at ")
            .append(h.model_at)
            .append(" on ")
            .append(h.model_on)
            .append(".\n");
    }
    text.append("\t").append(std::to_string(st.numfacs)).append(" facilities found occupying ");
    text.append(std::to_string(st.facbytes)).append(" bytes.\n$end\n\n$timescale\n\t1ns\n$end\n\n");
    out_put(out, text);
    return out.error == 0 ? Status{} : write_failed(out);
}

void put_upscopes(void *ctx, uint64_t scopes) {
    for (; scopes > 0; --scopes)
        out_put(*static_cast<Output *>(ctx), "$upscope $end\n");
}

void put_scope(void *ctx, std::string_view piece) {
    auto &out = *static_cast<Output *>(ctx);
    out_put(out, "$scope module ");
    out_put(out, piece);
    out_put(out, " $end\n");
}

// One one-bit wire per bit, "$var wire 1 <id> <ref>[<k>] $end" for k = 0
// .. n-1, the index left out for a facility of one bit; a facility of no
// bits is declared as ref[0] and ref[-1], as the format has it.
void put_vars(void *ctx, const AetFacility &f, std::string_view ref) {
    auto &out = *static_cast<Output *>(ctx);
    const int64_t top = int64_t(facility_bits(f)) - 1, step = top < 0 ? -1 : 1;
    for (int64_t k = 0; k <= top * step && out.error == 0; ++k) {
        char head[24] = "$var wire 1 ", tail[32];
        char *h = vcdid(head + 12, static_cast<uint32_t>(f.first_id) + static_cast<uint32_t>(k)),
             *t = tail;
        *h++ = ' ';
        if (top != 0) {
            *t++ = '[';
            t = put_signed(t, k * step);
            *t++ = ']';
        }
        std::memcpy(t, " $end\n", 6);
        out_put(out, {head, size_t(h - head)});
        out_put(out, ref);
        out_put(out, {tail, size_t(t + 6 - tail)});
    }
}

int output_error(void *ctx) {
    return static_cast<Output *>(ctx)->error;
}

// The text of a whole-design record ("L<id>\n" for every bit, in table
// order), made once and reused with its letters set; a design whose text
// would pass text_cap is written from its runs of identifiers instead.
struct DesignText {
    const AetState *st = nullptr;
    bool made = false;
    std::vector<IdRun> runs; // when the text is too large to keep
    std::vector<char> text;
    std::vector<uint32_t> letter_at; // where every line's letter is
    char letter = '0';               // the letter the text now holds
};
constexpr uint64_t text_cap = uint64_t{8} << 20;

void make_design(DesignText &d) {
    d.made = true;
    d.runs = design_runs(*d.st);
    uint64_t bits = 0;
    for (const IdRun &r : d.runs)
        bits += r.count;
    if (bits > text_cap / 7) return; // compared without multiplying, so that no size wraps
    d.text.resize(size_t(bits) * 7);
    d.letter_at.reserve(size_t(bits));
    char *start = d.text.data(), *p = start;
    for (const IdRun &r : d.runs) {
        for (uint64_t j = 0; j < r.count; ++j) {
            d.letter_at.push_back(static_cast<uint32_t>(p - start));
            p = put_change(p, '0', r.first + static_cast<uint32_t>(j));
        }
    }
    d.text.resize(static_cast<size_t>(p - start));
    d.runs.clear();
    d.runs.shrink_to_fit();
}

// The event writer: text stored straight into the output buffer through a
// position and a flush mark held in registers.
struct VcdEvents {
    // Value changes between two checks of the flush mark: the slack holds them.
    static constexpr size_t changes_per_check = out_slack / 7;
    Output *out;
    DesignText *design;
    char *o = nullptr, *mark = nullptr;

    VcdEvents(Output &u, DesignText &d) : out(&u), design(&d) { load(); }
    void load() {
        o = out->buf.get() + out->len;
        mark = out->buf.get() + out_mark(*out);
    }
    void save() const { out->len = static_cast<size_t>(o - out->buf.get()); }
    bool flush() {
        save();
        bool ok = out_flush(*out);
        load();
        return ok;
    }
    bool ready() { return o <= mark || flush(); }
    void time(uint64_t t) { o = put_time(o, t); }
    void change(char letter, uint32_t id) { o = put_change(o, letter, id); }
    bool whole(char letter);
    Status failed() const { return write_failed(*out); }
};

// A whole-design record: every bit of every facility gets the letter.
bool VcdEvents::whole(char letter) {
    DesignText &d = *design;
    if (!d.made) make_design(d);
    if (d.text.empty()) { // too large to keep, or no bits at all
        for (const IdRun &r : d.runs) {
            for (uint64_t j = 0; j < r.count; ++j) {
                if (!ready()) return false;
                change(letter, r.first + static_cast<uint32_t>(j));
            }
        }
        return true;
    }
    if (d.letter != letter) {
        for (uint32_t at : d.letter_at)
            d.text[at] = letter;
        d.letter = letter;
    }
    save();
    out_put(*out, {d.text.data(), d.text.size()});
    load();
    return out->error == 0;
}

} // namespace

Status convert(AetState &st, Output &out) {
    // The tables grow with what the trace holds.  When memory runs out the
    // conversion ends like any other failure, its text so far kept: the
    // library's allocation failure is caught here, the one place it can
    // come from, and never crosses into main.
    try {
        Status s = read_header(st);
        if (s.fault == Fault::none) s = write_header(st, out);
        if (s.fault == Fault::none) s = read_facilities(st);
        const Declarer vcd{&out, put_upscopes, put_scope, put_vars, output_error};
        if (s.fault == Fault::none) s = write_declarations(st, vcd);
        if (s.fault == Fault::none) {
            out_put(out, "$enddefinitions $end\n\n");
            if (out.error != 0) return write_failed(out);
            DesignText design;
            design.st = &st;
            s = translate_events(st, VcdEvents(out, design));
        }
        return s;
    } catch (const std::bad_alloc &) {
        return Status{Fault::no_memory, in_offset(st.handle)};
    }
}
