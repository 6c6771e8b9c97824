// The facility table and the VCD declaration section made from it.
#include "aet.h"
#include "vcdid.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

constexpr uint64_t records_offset_a0 = 164;
constexpr uint64_t text_offset_c0 = 240;
constexpr size_t record_size = 16;

// What the file still holds from offset on, when its size is known: the
// tables are reserved for what is there, never for what the header claims.
uint64_t bytes_from(const Input &in, uint64_t offset) {
    return in.size > offset ? in.size - offset : 0;
}

// A name byte that would break a declaration line (space, control and
// non-ASCII bytes) is stored as '_'; the NUL that ends a name stays.
char name_byte(unsigned char c) { return c != 0 && (c < '!' || c > '~') ? '_' : char(c); }

} // namespace

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

    st.txfacs.clear();
    if (st.numfacs > 0)
        st.txfacs.reserve(std::min<uint64_t>(uint64_t(st.numfacs), bytes_from(in, start) / record_size));
    for (int32_t i = 0; i < st.numfacs; ++i) {
        // The whole record is buffered first, so no reader meets the end.
        if (!in_fill(in, record_size)) return ran_out(in);
        in.pos += 4; // not used
        AetFacility f{};
        f.array_count = static_cast<uint16_t>(get_short(in));
        f.width = static_cast<uint16_t>(get_short(in));
        f.first_id = get_long(in);
        f.name_offset = get_long(in);
        st.txfacs.push_back(f);
    }

    st.facnames.clear();
    auto left = static_cast<size_t>(st.facbytes);
    st.facnames.reserve(std::min<uint64_t>(left, bytes_from(in, in_offset(in))));
    while (left > 0) {
        if (!in_fill(in, 1)) return ran_out(in);
        size_t take = std::min(left, in_avail(in));
        const unsigned char *p = in.data + in.pos;
        size_t had = st.facnames.size();
        st.facnames.resize(had + take);
        std::transform(p, p + take, st.facnames.begin() + static_cast<ptrdiff_t>(had), name_byte);
        in.pos += take;
        left -= take;
    }
    return Status{};
}

namespace {

constexpr std::string_view unnamed = "unnamed";

// A facility's name: from name_offset to its NUL or to the end of the table;
// an offset outside the table gives the empty name.
std::string_view facility_name(const AetState &st, const AetFacility &f) {
    if (f.name_offset < 0 || f.name_offset >= st.facbytes) return {};
    std::string_view rest(st.facnames.data() + f.name_offset,
                          st.facnames.size() - static_cast<size_t>(f.name_offset));
    return rest.substr(0, rest.find('\0'));
}

// A piece of a dotted name as written: an empty piece is "unnamed".
std::string_view written(std::string_view piece) { return piece.empty() ? unnamed : piece; }

// The length of the longest common prefix, compared a block at a time.
size_t common_prefix(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size()), i = 0;
    if (a.data() == b.data()) return n;
    constexpr size_t block = 256;
    while (i + block <= n && a.compare(i, block, b.substr(i, block)) == 0) i += block;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

void put_scope(Output &out, std::string_view piece) {
    out_put(out, "$scope module ");
    out_put(out, written(piece));
    out_put(out, " $end\n");
}

// The scope lines from the previous facility's name, nhold, to the next one.
// The pieces stay where they are in the name table: both names are walked
// from the outermost piece while both pieces are scopes equal as written;
// what is left of nhold's scopes is closed and the new name's are opened.
void change_scopes(Output &out, std::string_view nhold, std::string_view name) {
    // Equal bytes up to a '.' are equal scopes, skipped at memory speed.
    size_t same = nhold.substr(0, common_prefix(nhold, name)).rfind('.') + 1; // npos + 1 == 0
    nhold.remove_prefix(same);
    name.remove_prefix(same);
    for (;;) {
        size_t a = nhold.find('.'), b = name.find('.');
        if (a == nhold.npos || b == name.npos || written(nhold.substr(0, a)) != written(name.substr(0, b)))
            break;
        nhold.remove_prefix(a + 1);
        name.remove_prefix(b + 1);
    }
    for (auto n = std::count(nhold.begin(), nhold.end(), '.'); n > 0; --n) out_put(out, "$upscope $end\n");
    for (size_t dot; (dot = name.find('.')) != name.npos; name.remove_prefix(dot + 1))
        put_scope(out, name.substr(0, dot));
}

// "$var wire 1 <id> <ref>[<index>] $end", the index left out for one bit.
void put_var(Output &out, uint32_t id, std::string_view ref, bool indexed, int64_t index) {
    char head[24] = "$var wire 1 ";
    char *h = put_vcdid(head + 12, id);
    *h++ = ' ';
    char tail[32];
    char *t = tail;
    if (indexed) {
        *t++ = '[';
        t = put_i64(t, index);
        *t++ = ']';
    }
    std::memcpy(t, " $end\n", 6);
    t += 6;
    out_put(out, {head, size_t(h - head)});
    out_put(out, ref);
    out_put(out, {tail, size_t(t - tail)});
}

} // namespace

Status write_declarations(AetState &st) {
    Output &out = st.out;
    std::string_view nhold, ref; // the previous facility's name and its last piece
    const AetFacility *held = nullptr;
    for (const AetFacility &f : st.txfacs) {
        // Facilities that share a name share its walk.
        if (held == nullptr || f.name_offset != held->name_offset) {
            std::string_view name = facility_name(st, f);
            change_scopes(out, nhold, name);
            nhold = name;
            ref = written(name.substr(name.rfind('.') + 1));
        }
        held = &f;

        // One one-bit wire per bit, named ref[0] .. ref[n-1]; a facility of
        // no bits is declared as ref[0] and ref[-1], as the format has it.
        int64_t top = int64_t(facility_bits(f)) - 1;
        auto first = static_cast<uint32_t>(f.first_id);
        if (top == 0) {
            put_var(out, first, ref, false, 0);
        } else {
            int64_t step = top < 0 ? -1 : 1;
            for (int64_t k = 0; k <= top * step && out.error == 0; ++k)
                put_var(out, first + static_cast<uint32_t>(k), ref, true, k * step);
        }
        if (out.error != 0) return write_failed(out);
    }
    out_put(out, "$enddefinitions $end\n\n");
    return out.error == 0 ? Status{} : write_failed(out);
}
