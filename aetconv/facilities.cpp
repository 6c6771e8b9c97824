// The facility table, and the VCD declaration section made from it through
// a tree of the facilities' scopes.
#include "aet.h"
#include "vcdtext.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

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
char name_byte(unsigned char c) {
    return c != 0 && (c < '!' || c > '~') ? '_' : char(c);
}

// Moves to the first facility record.  In a 0xC0 trace a text at offset 240
// ends in a 0 byte, and the records start at the next multiple of four
// after it; when the model name ran past 240, its own 0 byte closed that
// text too, and the scan is already done.
bool seek_records(AetState &st) {
    Input &in = st.handle;
    if (st.format != 0xC0) return in_seek(in, records_offset_a0);
    if (in_offset(in) <= text_offset_c0) {
        if (!in_seek(in, text_offset_c0)) return false;
        for (int c; (c = get_byte(in)) != 0;)
            if (c < 0) return false;
    }
    return in_seek(in, (in_offset(in) + 3) & ~uint64_t{3});
}

} // namespace

Status read_facilities(AetState &st) {
    Input &in = st.handle;
    if (st.facbytes < 0) return Status{Fault::bad_facbytes, 0, st.facbytes};
    if (!seek_records(st)) return ran_out(in);

    st.txfacs.clear();
    if (st.numfacs > 0) {
        st.txfacs.reserve(
            std::min<uint64_t>(uint64_t(st.numfacs), bytes_from(in, in_offset(in)) / record_size));
    }
    for (int32_t i = 0; i < st.numfacs; ++i) {
        const unsigned char *r = in_take(in, record_size);
        if (r == nullptr) return ran_out(in);
        // Bytes 0..3 of a record are not used.
        st.txfacs.push_back({static_cast<uint16_t>(be16(r + 4)), static_cast<uint16_t>(be16(r + 6)),
                             static_cast<int32_t>(be32(r + 8)),
                             static_cast<int32_t>(be32(r + 12))});
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

// A dotted name is a scope path, its pieces each ended by a '.', and then
// the reference, the signal's own name.  Pieces are compared as written:
// an empty piece is written "unnamed" (other bytes that would break a line
// were made '_' as the table was read).
constexpr std::string_view unnamed = "unnamed";
std::string_view written(std::string_view piece) {
    return piece.empty() ? unnamed : piece;
}

// The length of the longest common prefix, compared a word at a time.
size_t common_prefix(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size()), i = 0;
    for (uint64_t x = 0, y = 0; i + 8 <= n; i += 8) {
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) break;
    }
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

uint32_t dots(std::string_view s) {
    return static_cast<uint32_t>(std::count(s.begin(), s.end(), '.'));
}

// The length of the first piece of `run` if it is `piece` as written, else
// npos; it reads no further into `run` than the piece is long.
size_t same_piece(std::string_view run, std::string_view piece) {
    std::string_view w = written(piece);
    if (run.starts_with(w) && run.substr(w.size()).starts_with('.')) return w.size();
    if (w == unnamed && run.starts_with('.')) return 0;
    return std::string_view::npos;
}

// The pieces at the start of a run and a path that are equal as written,
// and their bytes in each.  Bytes that agree are compared a word at a time;
// only pieces that differ as bytes ("" and "unnamed") are compared as such.
struct Match {
    uint32_t pieces = 0;
    size_t run_bytes = 0, path_bytes = 0;
};

Match match(std::string_view run, std::string_view path) {
    Match m;
    for (;;) {
        size_t same = path.substr(0, common_prefix(run, path)).rfind('.') + 1; // npos + 1 == 0
        m.pieces += dots(path.substr(0, same));
        size_t b = path.find('.', same);
        size_t a = b == path.npos ? b : same_piece(run.substr(same), path.substr(same, b - same));
        if (a == path.npos) {
            m.run_bytes += same;
            m.path_bytes += same;
            return m;
        }
        m.pieces += 1;
        m.run_bytes += same + a + 1;
        m.path_bytes += b + 1;
        run.remove_prefix(same + a + 1);
        path.remove_prefix(b + 1);
    }
}

uint64_t mix(uint64_t x) {
    x = (x ^ (x >> 31)) * 0x7fb5d329728ea185u;
    x = (x ^ (x >> 27)) * 0x81dadef4bc2dd44du;
    return x ^ (x >> 33);
}

// A child of a scope is known by its parent and its first piece as written.
using ChildKey = std::pair<uint32_t, std::string_view>;

struct Seeded {
    uint64_t seed;
    size_t operator()(int32_t offset) const { return mix(seed ^ uint32_t(offset)); }
    size_t operator()(const ChildKey &k) const {
        uint64_t h = mix(seed ^ k.first);
        for (std::string_view s = k.second; !s.empty();
             s.remove_prefix(std::min<size_t>(8, s.size()))) {
            uint64_t w = 0;
            std::memcpy(&w, s.data(), std::min<size_t>(8, s.size()));
            h = mix(h ^ w);
        }
        return h;
    }
};

// A node of the scope tree: a run of one or more scope pieces below its
// parent, its bytes in the name table.  The tree is compressed: a path that
// no other path parts from is one node, however many pieces it has, and a
// run is split where two paths part.
struct Scope {
    uint32_t parent = 0;
    uint32_t pieces = 0; // in the run
    uint32_t depth = 0;  // pieces from the root to the run's end
    std::string_view run;
};

// A name as declared: its scope node, its scope path and its reference.
struct Named {
    uint32_t node = 0;
    std::string_view scope, ref;
};

// The scopes of every name seen so far, and the names by their offset, so
// that each distinct name is placed once and a facility that reuses a name
// costs nothing more.  The maps hash with a seed made anew for every run,
// so that no trace can be made to pile its names into one bucket.
struct ScopeTree {
    std::string_view names;
    std::vector<Scope> nodes{Scope{}}; // [0]: the root, the scope of names without a dot
    std::unordered_map<ChildKey, uint32_t, Seeded> children{
        16, Seeded{mix(uint64_t(clock()) ^ reinterpret_cast<uintptr_t>(this))}};
    std::unordered_map<int32_t, Named, Seeded> seen{16, children.hash_function()};
    std::vector<uint32_t> down; // scratch of walk()

    explicit ScopeTree(std::string_view table) : names(table) {}
    static ChildKey key(uint32_t parent, std::string_view path) {
        return {parent, written(path.substr(0, path.find('.')))};
    }

    // The node of `path` below `node`, made if it is new: the path follows
    // the child that begins with its first piece as far as both agree; where
    // they part, the child is split, and the rest of the path is a new node.
    uint32_t descend(uint32_t node, std::string_view path) {
        while (!path.empty()) {
            auto [at, fresh] = children.try_emplace(key(node, path), uint32_t(nodes.size()));
            uint32_t &child = at->second; // stays valid as the map grows
            if (fresh) {
                nodes.push_back({node, dots(path), nodes[node].depth + dots(path), path});
                return child;
            }
            Scope &c = nodes[child];
            Match m = match(c.run, path);
            if (m.pieces < c.pieces) {
                // The upper part of c's run becomes a node of its own, in c's place.
                Scope top{c.parent, m.pieces, c.depth - c.pieces + m.pieces,
                          c.run.substr(0, m.run_bytes)};
                c = {uint32_t(nodes.size()), c.pieces - m.pieces, c.depth,
                     c.run.substr(m.run_bytes)};
                children.emplace(key(c.parent, c.run), child);
                child = c.parent;
                nodes.push_back(top);
            }
            node = child;
            path.remove_prefix(m.path_bytes);
        }
        return node;
    }

    // The node of a new scope path, looked up from the deepest node of the
    // previous name's path that it shares byte for byte: the point where most
    // names part from their neighbours.
    uint32_t place(std::string_view path, const Named &prev) {
        size_t same = path.substr(0, common_prefix(path, prev.scope)).rfind('.') + 1;
        uint32_t shared = dots(path.substr(0, same)), node = prev.node;
        while (nodes[node].depth > shared)
            node = nodes[node].parent;
        // Back from the shared bytes to where the node's pieces end.
        for (uint32_t d = shared; d > nodes[node].depth; --d)
            same = path.substr(0, same - 1).rfind('.') + 1;
        return descend(node, path.substr(same));
    }

    // The scope node and reference of a facility's name: from its name
    // offset to its NUL or to the end of the table; an offset outside the
    // table gives the empty name.  Names are remembered by offset where an
    // offset may come again (when not every one is above the one before).
    Named name(int32_t offset, const Named &prev, bool remember) {
        if (auto it = seen.find(offset); it != seen.end()) return it->second;
        std::string_view name =
            offset >= 0 && size_t(offset) < names.size() ? names.substr(size_t(offset)) : "";
        name = name.substr(0, name.find('\0'));
        size_t cut = name.rfind('.') + 1;
        Named n{0, name.substr(0, cut), name.substr(cut)};
        n.node = place(n.scope, prev);
        if (remember) seen.emplace(offset, n);
        return n;
    }

    // The scope lines from node `from` to node `to`: "$upscope" for each
    // piece up to their common ancestor, "$scope" for each piece down from
    // there.  It costs only the lines it writes, as every step up or down
    // passes a run of at least one piece.
    void walk(Output &out, uint32_t from, uint32_t to) {
        uint64_t up = 0;
        for (down.clear(); from != to;) {
            const Scope a = nodes[from], b = nodes[to];
            up += a.depth >= b.depth ? a.pieces : 0;
            from = a.depth >= b.depth ? a.parent : from;
            if (b.depth >= a.depth) down.push_back(std::exchange(to, b.parent));
        }
        for (; up > 0; --up)
            out_put(out, "$upscope $end\n");
        for (auto n = down.rbegin(); n != down.rend(); ++n) {
            std::string_view r = nodes[*n].run;
            for (size_t dot; (dot = r.find('.')) != r.npos; r.remove_prefix(dot + 1)) {
                out_put(out, "$scope module ");
                out_put(out, written(r.substr(0, dot)));
                out_put(out, " $end\n");
            }
        }
    }
};

// One one-bit wire per bit, "$var wire 1 <id> <ref>[<k>] $end" for k = 0
// .. n-1, the index left out for a facility of one bit; a facility of no
// bits is declared as ref[0] and ref[-1], as the format has it.
void put_vars(Output &out, const AetFacility &f, std::string_view ref) {
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

} // namespace

Status write_declarations(AetState &st) {
    Output &out = st.out;
    ScopeTree tree({st.facnames.data(), st.facnames.size()});
    const bool repeats =
        std::adjacent_find(st.txfacs.begin(), st.txfacs.end(), [](auto &a, auto &b) {
            return a.name_offset >= b.name_offset;
        }) != st.txfacs.end();
    Named prev; // the root, before the first facility
    for (const AetFacility &f : st.txfacs) {
        Named n = tree.name(f.name_offset, prev, repeats);
        tree.walk(out, prev.node, n.node);
        put_vars(out, f, written(n.ref));
        prev = n;
        if (out.error != 0) return write_failed(out);
    }
    out_put(out, "$enddefinitions $end\n\n");
    return out.error == 0 ? Status{} : write_failed(out);
}
