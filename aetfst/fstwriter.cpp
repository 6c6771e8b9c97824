// The FST writer: scopes and one-bit wires through the library's writer,
// and the value changes at their times.
#include "fstwriter.h"

#include "events.h"
#include "fstapi.h"

#include <algorithm>
#include <new>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// The library's handle of each identifier number that a wire declares.
// Identifier numbers are 32-bit and may be sparse: they are kept in a
// seeded open-addressing table while the wires are declared, and in a
// plain array from the smallest number on afterwards if that is no larger,
// so that memory follows the wires, not the largest number.
struct Handles {
    struct Entry {
        uint32_t id;
        fstHandle handle; // 0: a free entry
    };
    uint64_t seed = hash_seed(this);
    std::vector<Entry> table = std::vector<Entry>(16);
    size_t used = 0;
    std::vector<fstHandle> dense; // handles from id `low` on, once made
    uint32_t low = UINT32_MAX, high = 0;

    Entry &find(uint32_t id) {
        const size_t mask = table.size() - 1;
        for (size_t i = mix(seed ^ id) & mask;; i = (i + 1) & mask)
            if (table[i].handle == 0 || table[i].id == id) return table[i];
    }
    void add(Entry &at, uint32_t id, fstHandle handle) {
        at = {id, handle};
        low = std::min(low, id);
        high = std::max(high, id);
        if (++used * 2 <= table.size()) return;
        std::vector<Entry> old(table.size() * 2);
        old.swap(table);
        for (const Entry &e : old)
            if (e.handle != 0) find(e.id) = e;
    }
    // After the declarations: the array where it is no larger than the table.
    void settle() {
        if (used == 0 || uint64_t{high} - low + 1 > table.size() * 2) return;
        dense.assign(size_t{high} - low + 1, 0);
        for (const Entry &e : table)
            if (e.handle != 0) dense[e.id - low] = e.handle;
        table = std::vector<Entry>();
    }
    fstHandle of(uint32_t id) {
        if (table.empty()) return id - low < dense.size() ? dense[id - low] : 0;
        return find(id).handle;
    }
};

struct FstOut {
    void *fst;
    const AetState *st;
    const char *path; // the file the library writes, for the progress line
    FstNotes *notes;
    Progress *progress;
    Handles handles;
    std::vector<IdRun> design; // made at the first whole-design record
    bool design_made = false;
    uint64_t block = 0;   // changes in a block
    uint64_t changes = 0; // since the last block
    uint64_t emitted = 0; // in all
    uint64_t records = 0;
    std::string name; // scratch

    FstOut(void *f, const AetState &s, const char *p, FstNotes &n, Progress &pr)
        : fst(f), st(&s), path(p), notes(&n), progress(&pr) {}
};

void fst_up(void *ctx, uint64_t scopes) {
    auto &f = *static_cast<FstOut *>(ctx);
    for (; scopes > 0; --scopes)
        fstWriterSetUpscope(f.fst);
}

void fst_scope(void *ctx, std::string_view piece) {
    auto &f = *static_cast<FstOut *>(ctx);
    f.name.assign(piece);
    fstWriterSetScope(f.fst, FST_ST_VCD_MODULE, f.name.c_str(), nullptr);
}

// One one-bit wire per bit, ref or ref[k], as in the VCD; a wire whose
// identifier an earlier wire declared is an alias of that wire.
void fst_wires(void *ctx, const AetFacility &f, std::string_view ref) {
    auto &o = *static_cast<FstOut *>(ctx);
    const int64_t top = int64_t(facility_bits(f)) - 1, step = top < 0 ? -1 : 1;
    for (int64_t k = 0; k <= top * step; ++k) {
        const uint32_t id = static_cast<uint32_t>(f.first_id) + static_cast<uint32_t>(k);
        o.name.assign(ref);
        if (top != 0) o.name.append("[").append(std::to_string(k * step)).append("]");
        Handles::Entry &at = o.handles.find(id);
        const fstHandle h = fstWriterCreateVar(o.fst, FST_VT_VCD_WIRE, FST_VD_IMPLICIT, 1,
                                               o.name.c_str(), at.handle);
        if (at.handle == 0) o.handles.add(at, id, h);
    }
}

int fst_error(void *) {
    return 0; // the library's write failures are collected for the end
}

// The event writer: each change goes to the wire its identifier declares.
// The library holds a block of changes in memory until it writes it out at
// a time record: a block ends at the first time record after out->block
// changes, and a time step of more than four blocks' changes is cut into
// blocks of the same time (which readers show as one step).
struct FstEvents {
    static constexpr size_t changes_per_check = 4096;
    FstOut *out;
    uint64_t latest = 0; // the largest time so far
    bool timed = false;  // a time record came: changes before it are the initial values

    bool ready() {
        if ((++out->records & 0xFFFF) == 0 && out->progress->wanted) {
            struct stat sb {};
            stat(out->path, &sb);
            progress_show(*out->progress, static_cast<uint64_t>(sb.st_size));
        }
        return true;
    }
    // FST cannot go back in time: after a time below the largest so far the
    // clock stays where it is, as a VCD reader keeps it (a time record that
    // repeats the time is a step of its own, and is kept).
    void time(uint64_t t) {
        if (t < latest) {
            ++out->notes->times_back;
            return;
        }
        latest = t;
        timed = true;
        if (out->changes >= out->block) {
            fstWriterFlushContext(out->fst);
            out->changes = 0;
        }
        fstWriterEmitTimeChange(out->fst, t);
    }
    void change(char letter, uint32_t id) {
        const fstHandle h = out->handles.of(id);
        if (h == 0) {
            ++out->notes->undeclared;
            return;
        }
        fstWriterEmitValueChange(out->fst, h, &letter);
        ++out->emitted;
        if (++out->changes >= 4 * out->block && timed) {
            fstWriterEmitTimeChange(out->fst, latest);
            fstWriterFlushContext(out->fst);
            fstWriterEmitTimeChange(out->fst, latest);
            out->changes = 0;
        }
    }
    bool whole(char letter);
    void save() const {}
    static Status failed() { return Status{}; }
};

bool FstEvents::whole(char letter) {
    FstOut &o = *out;
    if (!o.design_made) {
        o.design = design_runs(*o.st);
        o.design_made = true;
    }
    for (const IdRun &r : o.design) {
        for (uint64_t j = 0; j < r.count; ++j)
            change(letter, r.first + static_cast<uint32_t>(j));
    }
    return true;
}

// The file's time scale and the header's texts in its date and version.
void set_header(void *fst, const AetState &st) {
    const AetHeader &h = st.header;
    fstWriterSetPackType(fst, FST_WR_PT_LZ4);
    fstWriterSetTimescale(fst, -9); // 1 ns
    fstWriterSetDate(fst, (h.created_on + " " + h.created_at).c_str());
    std::string version = "AET created at " + h.created_at + " on " + h.created_on + ".";
    if (st.format == 0xC0)
        version += " Model " + h.model + " created at " + h.model_at + " on " + h.model_on + ".";
    fstWriterSetVersion(fst, version.c_str());
}

} // namespace

uint64_t design_wires(const AetState &st) {
    uint64_t wires = 0;
    for (const AetFacility &f : st.txfacs) {
        const uint64_t bits = facility_bits(f);
        wires += bits == 0 ? 2 : bits;
    }
    return wires;
}

Status read_design(AetState &st) {
    try {
        Status s = read_header(st);
        if (s.fault == Fault::none) s = read_facilities(st);
        if (s.fault != Fault::none) return s;
        const uint64_t wires = design_wires(st);
        if (wires == 0) return Status{Fault::no_wires};
        if (wires > fst_max_wires) return Status{Fault::many_wires, wires};
        return Status{};
    } catch (const std::bad_alloc &) {
        return Status{Fault::no_memory, in_offset(st.handle)};
    }
}

Status write_fst(AetState &st, void *fst, const char *path, FstNotes &notes, Progress &progress) {
    try {
        set_header(fst, st);
        FstOut out(fst, st, path, notes, progress);
        out.block = fst_block(design_wires(st));
        Status s = write_declarations(st, Declarer{&out, fst_up, fst_scope, fst_wires, fst_error});
        if (s.fault != Fault::none) return s;
        out.handles.settle();
        notes.declared = true;
        s = translate_events(st, FstEvents{&out});
        // Readers open no FST without a block of changes: a trace that
        // changes nothing gets its first wire set to x, what it is anyway.
        if (out.emitted == 0) fstWriterEmitValueChange(fst, 1, "x");
        return s;
    } catch (const std::bad_alloc &) {
        return Status{Fault::no_memory, in_offset(st.handle)};
    }
}
