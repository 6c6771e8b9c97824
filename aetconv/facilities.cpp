// The facility table, and the declarations made from it through a tree of
// the facilities' scopes.
#include "aet.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string_view>
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

std::vector<IdRun> design_runs(const AetState &st) {
    std::vector<IdRun> runs;
    for (const AetFacility &f : st.txfacs) {
        const uint64_t bits = facility_bits(f);
        const auto first = static_cast<uint32_t>(f.first_id);
        if (bits == 0) continue;
        if (!runs.empty() &&
            static_cast<uint32_t>(runs.back().first + runs.back().count) == first) {
            runs.back().count += bits;
        } else {
            runs.push_back({first, bits});
        }
    }
    return runs;
}

namespace {

// A dotted name is a scope path, its pieces each ended by a '.', and then
// the reference, the signal's own name.  Pieces are compared as written.

// The length of the longest common prefix: memcmp over blocks, then words,
// then bytes.
size_t common_prefix(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    constexpr size_t block = 256;
    size_t i = 0;
    while (i + block <= n && std::memcmp(a.data() + i, b.data() + i, block) == 0)
        i += block;
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

// Whether the first pieces of a and b, which differ as bytes, are equal as
// written: one empty, the other "unnamed".
bool same_unnamed(std::string_view a, std::string_view b) {
    return (a.starts_with('.') && b.starts_with("unnamed.")) ||
           (b.starts_with('.') && a.starts_with("unnamed."));
}

// How far a path agrees with a run, piece by piece as written: the bytes of
// each up to the last piece where they agree.  Bytes that agree are compared
// a block at a time; only pieces that differ as bytes are compared as pieces.
struct Match {
    size_t run = 0, path = 0;
};

Match match(std::string_view run, std::string_view path) {
    Match m;
    for (;;) {
        const size_t same = common_prefix(run.substr(m.run), path.substr(m.path));
        if (m.run + same == run.size()) return {run.size(), m.path + same};
        const size_t whole = run.substr(m.run, same).rfind('.') + 1; // npos + 1 == 0
        m.run += whole;
        m.path += whole;
        std::string_view a = run.substr(m.run), b = path.substr(m.path);
        if (!same_unnamed(a, b)) return m;
        m.run += a.find('.') + 1;
        m.path += b.find('.') + 1;
        if (m.run == run.size()) return m;
    }
}

uint64_t mix(uint64_t x) {
    x = (x ^ (x >> 31)) * 0x7fb5d329728ea185u;
    x = (x ^ (x >> 27)) * 0x81dadef4bc2dd44du;
    return x ^ (x >> 33);
}

// A table of indices by a hash the caller gives and an equality it tests:
// open addressing, one 4-byte slot an entry (index + 1; 0 is free), at
// most half full.
struct IndexTable {
    std::vector<uint32_t> slots = std::vector<uint32_t>(16, 0);
    size_t used = 0;

    // The slot that holds the index `same` accepts, or the free slot where
    // it belongs.
    template <typename Same> uint32_t &find(uint64_t hash, Same same) {
        const size_t mask = slots.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask)
            if (slots[i] == 0 || same(slots[i] - 1)) return slots[i];
    }
    // Puts an index into the free slot that find gave; past half full the
    // table doubles, every entry placed again by hash_of(index).
    template <typename HashOf> void fill(uint32_t &slot, uint32_t index, HashOf hash_of) {
        slot = index + 1;
        if (++used * 2 <= slots.size()) return;
        std::vector<uint32_t> old(slots.size() * 2, 0);
        old.swap(slots);
        const size_t mask = slots.size() - 1;
        for (uint32_t s : old) {
            if (s == 0) continue;
            size_t i = hash_of(s - 1) & mask;
            while (slots[i] != 0)
                i = (i + 1) & mask;
            slots[i] = s;
        }
    }
};

// A node of the scope tree: a run of one or more scope pieces below its
// parent, its bytes in the name table.  The tree is compressed: a path that
// no other path parts from is one node, however many pieces it has, and a
// run is split where two paths part.
struct Node {
    uint32_t parent = 0;
    uint32_t depth = 0;           // pieces from the root to the run's end
    uint32_t begin = 0, size = 0; // the run's bytes in the name table
};

// A name as declared: its scope node and its reference's bytes.
struct Named {
    int32_t offset = 0;
    uint32_t node = 0;
    uint32_t ref = 0, ref_size = 0;
};

// The scopes of every name seen so far.  A new name's scope path is placed
// from the path placed before it: the bytes both share are compared at
// memory speed, the path goes up the nodes it does not share, and down from
// there through the children, whose table hashes with a seed made anew for
// every run, so that no trace can pile its names into one bucket.  Each
// byte of a name is compared once and each piece counted at most once per
// placement; the nodes of the previous path are held with where their runs
// end in it, so that going up costs one step per node.
struct ScopeTree {
    struct Step {
        uint32_t node, end; // a node of the last path, and where its run ends in it
    };
    std::string_view names;
    uint64_t seed;
    std::vector<Node> nodes{Node{}}; // [0]: the root, the scope of names without a dot
    IndexTable children;             // by parent and first piece as written
    std::string_view last;           // the scope path placed last
    std::vector<Step> chain{Step{}}; // its nodes, from the root
    std::vector<uint32_t> down;      // scratch of walk()

    explicit ScopeTree(std::string_view table)
        : names(table), seed(mix(uint64_t(clock()) ^ reinterpret_cast<uintptr_t>(this))) {}

    std::string_view run(const Node &n) const { return names.substr(n.begin, n.size); }
    uint32_t pieces(const Node &n) const { return n.depth - nodes[n.parent].depth; }
    uint32_t offset(std::string_view s) const {
        return static_cast<uint32_t>(s.data() - names.data());
    }
    static std::string_view first_piece(std::string_view path) {
        return written(path.substr(0, path.find('.')));
    }

    uint64_t hash(uint32_t parent, std::string_view piece) const {
        uint64_t h = mix(seed ^ parent);
        for (; !piece.empty(); piece.remove_prefix(std::min<size_t>(8, piece.size()))) {
            uint64_t w = 0; // pieces hold no NUL, so the padding is unambiguous
            std::memcpy(&w, piece.data(), std::min<size_t>(8, piece.size()));
            h = mix(h ^ w);
        }
        return h;
    }
    uint64_t hash_of(uint32_t c) const { return hash(nodes[c].parent, first_piece(run(nodes[c]))); }
    uint32_t &child(uint32_t parent, std::string_view piece) {
        return children.find(hash(parent, piece), [&](uint32_t c) {
            return nodes[c].parent == parent && first_piece(run(nodes[c])) == piece;
        });
    }
    void add_child(uint32_t c) {
        children.fill(child(nodes[c].parent, first_piece(run(nodes[c]))), c,
                      [this](uint32_t i) { return hash_of(i); });
    }

    // Splits node b after `cut` bytes of its run, which hold `top` pieces:
    // the upper part becomes a new node in b's place, and b keeps the lower
    // part below it, so that whatever names b still means b.
    uint32_t split(uint32_t b, size_t cut, uint32_t top) {
        const auto upper = static_cast<uint32_t>(nodes.size());
        const Node n = nodes[b];
        child(n.parent, first_piece(run(n))) = upper + 1;
        nodes.push_back({n.parent, nodes[n.parent].depth + top, n.begin, uint32_t(cut)});
        nodes[b] = {upper, n.depth, n.begin + uint32_t(cut), n.size - uint32_t(cut)};
        add_child(b);
        return upper;
    }

    // The pieces in the first `cut` bytes of run r of node b, counted on the
    // shorter side of the cut.
    uint32_t pieces_before(uint32_t b, std::string_view r, size_t cut) const {
        return 2 * cut <= r.size() ? dots(r.substr(0, cut))
                                   : pieces(nodes[b]) - dots(r.substr(cut));
    }

    // The node of `path` below `node`, whose pieces start at byte `at`;
    // made where it is new.  The path follows the child that begins with its
    // next piece as far as both agree; where they part, the child is split,
    // and the rest of the path is a new node.  Each node passed takes the
    // path's bytes as its run, so that the runs along the chain are the last
    // path's own bytes.
    uint32_t descend(uint32_t node, std::string_view path, size_t at) {
        while (at < path.size()) {
            const std::string_view rest = path.substr(at);
            uint32_t &slot = child(node, first_piece(rest));
            if (slot == 0) {
                const auto fresh = static_cast<uint32_t>(nodes.size());
                nodes.push_back({node, nodes[node].depth + dots(rest), offset(rest),
                                 static_cast<uint32_t>(rest.size())});
                children.fill(slot, fresh, [this](uint32_t i) { return hash_of(i); });
                chain.push_back({fresh, static_cast<uint32_t>(path.size())});
                return fresh;
            }
            uint32_t c = slot - 1;
            const std::string_view r = run(nodes[c]);
            const Match m = match(r, rest);
            if (m.run < r.size()) c = split(c, m.run, pieces_before(c, r, m.run));
            nodes[c].begin = offset(rest);
            nodes[c].size = static_cast<uint32_t>(m.path);
            at += m.path;
            chain.push_back({c, static_cast<uint32_t>(at)});
            node = c;
        }
        return node;
    }

    // The node of a scope path, placed from the last path: up the chain to
    // the deepest node that ends within the bytes both share; where the
    // shared pieces end inside the next node's run, that node is split.
    uint32_t place(std::string_view path) {
        const size_t same = path.substr(0, common_prefix(path, last)).rfind('.') + 1;
        Step below{};
        while (chain.back().end > same) {
            below = chain.back();
            chain.pop_back();
        }
        Step at = chain.back();
        if (same > at.end) {
            // The run of `below` holds the last path's bytes, so the cut lies
            // at the same distance into it.
            const Node b = nodes[below.node];
            at = {
                split(below.node, same - at.end, pieces_before(below.node, run(b), same - at.end)),
                static_cast<uint32_t>(same)};
            chain.push_back(at);
        }
        last = path;
        return descend(at.node, path, at.end);
    }

    // The scope node and reference of the name at `offset`: to its NUL or to
    // the end of the table; an offset outside the table gives the empty name.
    Named name(int32_t offset) {
        std::string_view name =
            offset >= 0 && size_t(offset) < names.size() ? names.substr(size_t(offset)) : "";
        name = name.substr(0, name.find('\0'));
        const size_t cut = name.rfind('.') + 1;
        const std::string_view ref = name.substr(cut);
        return {offset, place(name.substr(0, cut)), ref.empty() ? 0 : this->offset(ref),
                static_cast<uint32_t>(ref.size())};
    }
    std::string_view ref(const Named &n) const { return names.substr(n.ref, n.ref_size); }

    // The scope lines from node `from` to node `to`: up each piece to their
    // common ancestor, down each piece from there.  It costs only the lines
    // it writes, as every step up or down passes a run of at least one piece.
    void walk(const Declarer &d, uint32_t from, uint32_t to) {
        uint64_t up = 0;
        for (down.clear(); from != to;) {
            const Node a = nodes[from], b = nodes[to];
            if (a.depth >= b.depth) {
                up += pieces(a);
                from = a.parent;
            }
            if (b.depth >= a.depth) down.push_back(std::exchange(to, b.parent));
        }
        if (up > 0) d.up(d.ctx, up);
        for (auto n = down.rbegin(); n != down.rend(); ++n) {
            std::string_view r = run(nodes[*n]);
            for (size_t dot; (dot = r.find('.')) != r.npos; r.remove_prefix(dot + 1))
                d.down(d.ctx, written(r.substr(0, dot)));
        }
    }
};

// Names by their offset, each placed once, for tables where an offset may
// come again (when not every one is above the one before).
struct NameMemo {
    IndexTable by_offset;
    std::vector<Named> named;

    Named get(ScopeTree &tree, int32_t offset) {
        const uint64_t h = mix(tree.seed ^ uint32_t(offset));
        uint32_t &slot = by_offset.find(h, [&](uint32_t i) { return named[i].offset == offset; });
        if (slot != 0) return named[slot - 1];
        named.push_back(tree.name(offset));
        by_offset.fill(slot, uint32_t(named.size() - 1),
                       [&](uint32_t i) { return mix(tree.seed ^ uint32_t(named[i].offset)); });
        return named.back();
    }
};

} // namespace

Status write_declarations(const AetState &st, const Declarer &d) {
    ScopeTree tree({st.facnames.data(), st.facnames.size()});
    const bool repeats =
        std::adjacent_find(st.txfacs.begin(), st.txfacs.end(), [](auto &a, auto &b) {
            return a.name_offset >= b.name_offset;
        }) != st.txfacs.end();
    NameMemo memo;
    if (repeats) memo.named.reserve(st.txfacs.size());
    uint32_t from = 0; // the root, before the first facility
    for (const AetFacility &f : st.txfacs) {
        const Named n = repeats ? memo.get(tree, f.name_offset) : tree.name(f.name_offset);
        tree.walk(d, from, n.node);
        d.wires(d.ctx, f, written(tree.ref(n)));
        from = n.node;
        if (int err = d.error(d.ctx); err != 0) return write_failed(err);
    }
    return Status{};
}
