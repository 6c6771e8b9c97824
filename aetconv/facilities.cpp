// The facility table and the VCD declaration section made from it.
#include "aet.h"

#include <algorithm>
#include <cstring>
#include <string_view>

constexpr uint64_t records_offset_a0 = 164;
constexpr uint64_t text_offset_c0 = 240;
constexpr size_t record_size = 16;

Status read_facilities(AetState &st) {
    Input &in = st.handle;
    if (st.facbytes < 0) return Status{Fault::bad_facbytes, 0, st.facbytes};

    uint64_t start = records_offset_a0;
    if (st.format == 0xC0) {
        // A text at offset 240 ends in a 0 byte; the records start at the
        // next multiple of four after it.  When the model name ran past 240,
        // its own 0 byte closes that text too, and the scan is already done.
        if (in_offset(in) <= text_offset_c0) {
            if (!in_seek(in, text_offset_c0)) return ran_out(in);
            for (;;) {
                int c = get_byte(in);
                if (c < 0) return ran_out(in);
                if (c == 0) break;
            }
        }
        start = (in_offset(in) + 3) & ~uint64_t{3};
    }
    if (!in_seek(in, start)) return ran_out(in);

    // The table grows with the records actually read, never with what the
    // header claims.
    st.txfacs.clear();
    for (int32_t i = 0; i < st.numfacs; ++i) {
        // The whole record is buffered first, so no reader meets the end.
        if (!in_fill(in, record_size)) return ran_out(in);
        in.pos += 4; // not used
        AetFacility f;
        f.array_count = get_short(in);
        f.lsb = 0;
        f.msb = get_short(in) - 1;
        f.first_id = get_long(in);
        f.name_offset = get_long(in);
        st.txfacs.push_back(f);
    }

    st.facnames.clear();
    size_t left = static_cast<size_t>(st.facbytes);
    while (left > 0) {
        if (!in_fill(in, 1)) return ran_out(in);
        size_t take = std::min(left, in_avail(in));
        const unsigned char *p = in.data + in.pos;
        st.facnames.insert(st.facnames.end(), p, p + take);
        in.pos += take;
        left -= take;
    }
    return Status{};
}

// One piece of a dotted name as written: the text, and whether another
// piece follows (the piece is then a scope).
struct ScopeNode {
    std::string name;
    bool has_child;
};

// A facility's name: from name_offset to its NUL or to the end of the table;
// an offset outside the table gives the empty name.
static std::string_view facility_name(const AetState &st, const AetFacility &f) {
    if (f.name_offset < 0 || f.name_offset >= st.facbytes) return {};
    std::string_view rest(st.facnames.data() + f.name_offset,
                          st.facnames.size() - static_cast<size_t>(f.name_offset));
    return rest.substr(0, rest.find('\0'));
}

// Splits a name at every '.' into path[0, count).  An empty piece is written
// as "unnamed", and a byte that would break a declaration line (space,
// control and non-ASCII bytes) as '_'.  Returns the piece count.
static size_t split_name(std::string_view name, std::vector<ScopeNode> &path) {
    size_t count = 0;
    for (;;) {
        size_t dot = name.find('.');
        std::string_view piece = name.substr(0, dot);
        if (count == path.size()) path.emplace_back();
        ScopeNode &node = path[count++];
        if (piece.empty()) {
            node.name = "unnamed";
        } else {
            node.name.assign(piece);
            for (char &c : node.name)
                if (c < '!' || c > '~') c = '_';
        }
        node.has_child = dot != std::string_view::npos;
        if (!node.has_child) return count;
        name.remove_prefix(dot + 1);
    }
}

static void put_scope(Output &out, const std::string &name) {
    out_put(out, "$scope module ", 14);
    out_put(out, name);
    out_put(out, " $end\n", 6);
}

// "$var wire 1 <id> <ref>[<index>] $end", the index left out for one bit.
static bool put_var(Output &out, uint32_t id, const std::string &ref, bool indexed,
                    int64_t index) {
    constexpr size_t short_name = 1024;
    if (ref.size() > short_name) {
        char head[32];
        char *p = put_vcdid(head, id);
        out_put(out, "$var wire 1 ", 12);
        out_put(out, head, static_cast<size_t>(p - head));
        out_put(out, " ", 1);
        out_put(out, ref);
        p = head;
        if (indexed) {
            *p++ = '[';
            p = put_i64(p, index);
            *p++ = ']';
        }
        out_put(out, head, static_cast<size_t>(p - head));
        out_put(out, " $end\n", 6);
        return out.error == 0;
    }
    if (!out_room(out, short_name + 64)) return false;
    char *p = out.buf.get() + out.len;
    std::memcpy(p, "$var wire 1 ", 12);
    p = put_vcdid(p + 12, id);
    *p++ = ' ';
    std::memcpy(p, ref.data(), ref.size());
    p += ref.size();
    if (indexed) {
        *p++ = '[';
        p = put_i64(p, index);
        *p++ = ']';
    }
    std::memcpy(p, " $end\n", 6);
    out.len = static_cast<size_t>(p + 6 - out.buf.get());
    return true;
}

Status write_declarations(AetState &st) {
    Output &out = st.out;
    // The previous facility's path and the current one; only these two are
    // held, and their strings are reused from facility to facility.
    std::vector<ScopeNode> nhold, path;
    size_t held = 0;
    for (const AetFacility &f : st.txfacs) {
        size_t count = split_name(facility_name(st, f), path);

        // Walk both paths from the outermost piece while both are equal
        // scopes; close what is left of the old path, open the new one.
        size_t i = 0;
        if (held > 0) {
            while (nhold[i].has_child && path[i].has_child && nhold[i].name == path[i].name) ++i;
            for (size_t k = i; k + 1 < held; ++k) out_put(out, "$upscope $end\n", 14);
        }
        for (size_t k = i; k + 1 < count; ++k) put_scope(out, path[k].name);

        std::swap(nhold, path);
        held = count;

        // One one-bit wire per bit, named ref[0] .. ref[n-1]; a facility of
        // no bits is declared as ref[0] and ref[-1], as the format has it.
        const std::string &ref = nhold[held - 1].name;
        int64_t top = int64_t{f.msb + 1} * f.array_count - 1;
        auto first = static_cast<uint32_t>(f.first_id);
        if (top == f.lsb) {
            if (!put_var(out, first, ref, false, 0)) break;
            continue;
        }
        int64_t distance = top - f.lsb;
        int64_t step = distance < 0 ? -1 : 1;
        if (distance < 0) distance = -distance;
        for (int64_t k = 0; k <= distance; ++k)
            if (!put_var(out, first + static_cast<uint32_t>(k), ref, true, f.lsb + k * step)) break;
        if (out.error != 0) break;
    }
    out_put(out, "$enddefinitions $end\n\n", 22);
    if (out.error != 0) return Status{Fault::write_error, 0, 0, out.error};
    return Status{};
}
