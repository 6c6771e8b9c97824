// The facility table, and the declarations made from it through a tree of
// the facilities' scopes.
#include "aet.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
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

// A table of indices 1, 2, ... by a hash the caller gives and an equality
// it tests: open addressing, one 4-byte slot an entry (0 is free), at most
// half full.  The bits of a slot above the largest index hold bits of the
// entry's hash, so that a probe rarely has to read the entry itself.  The
// slots are zeroed pages from the system, resident only where an entry
// lands: the table is sized for the most entries the caller expects at
// once, and doubles past that.
struct IndexTable {
    struct Free {
        void operator()(uint32_t *p) const { std::free(p); }
    };
    std::unique_ptr<uint32_t[], Free> slots;
    size_t size = 0, used = 0;
    uint32_t index_mask = 0;

    IndexTable(size_t expected, uint64_t largest_index) {
        const int bits = 64 - __builtin_clzll(largest_index | 1);
        index_mask = bits >= 32 ? ~uint32_t{0} : (uint32_t{1} << bits) - 1;
        allocate(std::bit_ceil(std::max<size_t>(2 * expected, 16)));
    }
    void allocate(size_t n) {
        slots.reset(static_cast<uint32_t *>(std::calloc(n, sizeof(uint32_t))));
        if (!slots) throw std::bad_alloc();
        size = n;
    }
    uint32_t tag(uint64_t hash) const {
        return static_cast<uint32_t>(hash >> 32) &
               ~index_mask; // the slot's index bits take the low ones
    }
    uint32_t entry(uint32_t index, uint64_t hash) const { return index | tag(hash); }
    uint32_t index(uint32_t slot) const { return slot & index_mask; }

    // The slot that holds the index `same` accepts, or the free slot where
    // it belongs.
    template <typename Same> uint32_t &find(uint64_t hash, Same same) {
        const size_t mask = size - 1;
        const uint32_t t = tag(hash);
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const uint32_t s = slots[i];
            if (s == 0 || ((s & ~index_mask) == t && same(s & index_mask))) return slots[i];
        }
    }
    // Puts an index into the free slot that find gave; n is the largest
    // index in the table.  Past half full, or for an index wider than the
    // slots' index bits, the table is made anew (twice as large, or with
    // more index bits) and every index 1..n placed again by hash_of(index):
    // in the order of the indices, not of the old slots, so that what
    // hash_of reads is read in the order it was made.
    template <typename HashOf>
    void fill(uint32_t &slot, uint32_t index, uint64_t hash, uint32_t n, HashOf hash_of) {
        ++used;
        if (index <= index_mask && used * 2 <= size) {
            slot = entry(index, hash);
        } else {
            rebuild(n, hash_of);
        }
    }
    template <typename HashOf> void rebuild(uint32_t n, HashOf hash_of) {
        while (index_mask < n)
            index_mask = index_mask * 2 + 1;
        allocate(used * 2 > size ? 2 * size : size);
        const size_t mask = size - 1;
        for (uint32_t i = 1; i <= n; ++i) {
            const uint64_t h = hash_of(i);
            size_t at = h & mask;
            while (slots[at] != 0)
                at = (at + 1) & mask;
            slots[at] = entry(i, h);
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
    bool shared;                     // nodes are found again through the child table
    std::vector<Node> nodes{Node{}}; // [0]: the root, the scope of names without a dot
    IndexTable children;             // by parent and first piece as written
    std::string_view last;           // the scope path placed last
    std::vector<Step> chain{Step{}}; // its nodes, from the root
    std::vector<uint32_t> gone;      // scratch of place(): the nodes of the last path left
    std::vector<uint32_t> down;      // scratch of walk()

    // A name makes a new node and mostly one split, at times a few: room for
    // two a name is reserved at once (only what is used becomes resident),
    // so that the nodes rarely stand twice in memory while they grow.  Nodes
    // are found again through the child table only where names repeat.
    ScopeTree(std::string_view table, size_t names_at_most, bool repeats)
        : names(table), seed(hash_seed(this)), shared(repeats),
          children(repeats ? names_at_most : 0, 2 * uint64_t{names_at_most} + 1) {
        nodes.reserve(std::min<size_t>(2 * names_at_most + 1, size_t{1} << 22));
    }

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
    // The slot of the child of `parent` whose first piece is `piece`, or the
    // free slot where it belongs; and the key's hash.
    struct Child {
        uint32_t &slot;
        uint64_t hash;
    };
    Child child(uint32_t parent, std::string_view piece) {
        const uint64_t h = hash(parent, piece);
        return {children.find(h,
                              [&](uint32_t c) {
                                  return nodes[c].parent == parent &&
                                         first_piece(run(nodes[c])) == piece;
                              }),
                h};
    }
    // Node c into the free slot that child() gave; every node but the root
    // is the child of one node.
    void add_child(Child at, uint32_t c) {
        children.fill(at.slot, c, at.hash, static_cast<uint32_t>(nodes.size() - 1),
                      [this](uint32_t i) { return hash_of(i); });
    }

    // Splits node b after `cut` bytes of its run, which hold `top` pieces:
    // the upper part becomes a new node in b's place, and b keeps the lower
    // part below it, so that whatever names b still means b.
    uint32_t split(uint32_t b, size_t cut, uint32_t top) {
        const auto upper = static_cast<uint32_t>(nodes.size());
        const Node n = nodes[b];
        uint32_t *was = nullptr; // b's slot, which the upper part takes
        uint64_t was_hash = 0;
        if (shared) {
            const Child c = child(n.parent, first_piece(run(n)));
            was = &c.slot;
            was_hash = c.hash;
        }
        nodes.push_back({n.parent, nodes[n.parent].depth + top, n.begin, uint32_t(cut)});
        nodes[b] = {upper, n.depth, n.begin + uint32_t(cut), n.size - uint32_t(cut)};
        if (!shared) return upper;
        if (upper > children.index_mask) { // placed anew, both parts with the rest
            ++children.used;
            children.rebuild(upper, [this](uint32_t i) { return hash_of(i); });
            return upper;
        }
        *was = children.entry(upper, was_hash);
        add_child(child(upper, first_piece(run(nodes[b]))), b);
        return upper;
    }

    // The pieces in the first `cut` bytes of run r of node b, counted on the
    // shorter side of the cut.
    uint32_t pieces_before(uint32_t b, std::string_view r, size_t cut) const {
        return 2 * cut <= r.size() ? dots(r.substr(0, cut))
                                   : pieces(nodes[b]) - dots(r.substr(cut));
    }

    // A new node for the rest of `path` from byte `at`, below `node`; in
    // the table too if `slot` is given.
    uint32_t fresh(uint32_t node, std::string_view path, size_t at, const Child *slot) {
        const std::string_view rest = path.substr(at);
        const auto n = static_cast<uint32_t>(nodes.size());
        nodes.push_back({node, nodes[node].depth + dots(rest), offset(rest),
                         static_cast<uint32_t>(rest.size())});
        if (slot != nullptr) add_child(*slot, n);
        chain.push_back({n, static_cast<uint32_t>(path.size())});
        return n;
    }

    // The node of `path` below `node`, whose pieces start at byte `at`;
    // made where it is new.  The path follows the child that begins with its
    // next piece as written (the next node of the last path if it is that
    // one, else the one in the table) as far as both agree; where they part,
    // the child is split, and the rest of the path is a new node.  Each node
    // passed takes the path's bytes as its run, so that the runs along the
    // chain are the last path's own bytes.
    uint32_t descend(uint32_t node, std::string_view path, size_t at) {
        while (at < path.size()) {
            const std::string_view rest = path.substr(at), piece = first_piece(rest);
            uint32_t c = 0;
            if (!gone.empty() && nodes[gone.back()].parent == node &&
                first_piece(run(nodes[gone.back()])) == piece) {
                c = gone.back();
                gone.pop_back();
            } else if (shared) {
                const Child slot = child(node, piece);
                c = children.index(slot.slot);
                if (c == 0) return fresh(node, path, at, &slot);
            } else {
                return fresh(node, path, at, nullptr);
            }
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

    // The node of a scope path, placed from the last path: the chain goes up
    // to the deepest node that ends within the bytes both share; where the
    // shared pieces end inside the run of the next node of the last path,
    // that node is split (its run holds the last path's bytes, so the cut
    // lies at the same distance into it), and the path goes down from there.
    uint32_t place(std::string_view path) {
        const size_t same = path.substr(0, common_prefix(path, last)).rfind('.') + 1;
        gone.clear();
        while (chain.back().end > same) {
            gone.push_back(chain.back().node);
            chain.pop_back();
        }
        Step at = chain.back();
        if (same > at.end) {
            const size_t cut = same - at.end;
            const uint32_t b = gone.back();
            at = {split(b, cut, pieces_before(b, run(nodes[b]), cut)), static_cast<uint32_t>(same)};
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

    explicit NameMemo(size_t names_at_most) : by_offset(names_at_most, names_at_most) {
        named.reserve(names_at_most);
    }
    // Slots hold positions in `named` plus one.
    Named get(ScopeTree &tree, int32_t offset) {
        auto hash = [&](int32_t o) { return mix(tree.seed ^ uint32_t(o)); };
        const uint64_t h = hash(offset);
        uint32_t &slot =
            by_offset.find(h, [&](uint32_t i) { return named[i - 1].offset == offset; });
        if (slot != 0) return named[by_offset.index(slot) - 1];
        named.push_back(tree.name(offset));
        const auto n = static_cast<uint32_t>(named.size());
        by_offset.fill(slot, n, h, n, [&](uint32_t i) { return hash(named[i - 1].offset); });
        return named.back();
    }
};

} // namespace

Status write_declarations(const AetState &st, const Declarer &d) {
    const std::vector<AetFacility> &facs = st.txfacs;
    const bool repeats = std::adjacent_find(facs.begin(), facs.end(), [](auto &a, auto &b) {
                             return a.name_offset >= b.name_offset;
                         }) != facs.end();
    ScopeTree tree({st.facnames.data(), st.facnames.size()}, facs.size(), repeats);
    NameMemo memo(repeats ? facs.size() : 0);
    uint32_t from = 0; // the root, before the first facility
    for (const AetFacility &f : facs) {
        const Named n = repeats ? memo.get(tree, f.name_offset) : tree.name(f.name_offset);
        tree.walk(d, from, n.node);
        d.wires(d.ctx, f, written(tree.ref(n)));
        from = n.node;
        if (int err = d.error(d.ctx); err != 0) return write_failed(err);
    }
    return Status{};
}
