#include "range/FreeBlockIndex.h"

#include <stdint.h>

#include <algorithm>
#include <cstring>

#include "common/Check.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

static_assert(FreeBlockIndex::Fanout % 8 == 0 && FreeBlockIndex::Fanout <= 16,
              "node reads go by whole vectors and their masks fit a word");

}  // namespace

// --- Layout ----------------------------------------------------------------------------------

// Every node but the root holds MinFill entries or more, so n blocks need at most n / MinFill
// leaves, n / MinFill^2 nodes above them and so on: n / (MinFill - 1) in all, plus one partly
// filled node per level and one more while a split makes a new root.
uint32_t FreeBlockIndex::NodeCount(uint32_t capacity) {
    return capacity / (MinFill - 1) + MaxLevels + 2;
}

uint32_t FreeBlockIndex::TableBytes(uint32_t blockCount, uint32_t capacity) {
    // The nodes start at the first cache line boundary after the leaf table.
    return uint32_t(blockCount * sizeof(uint16_t) + CacheLine - 1 +
                    NodeCount(capacity) * sizeof(Node));
}

FreeBlockIndex::FreeBlockIndex(uint32_t blockCount, uint32_t capacity)
    : leafOf_(nullptr),
      blockCount_(uint16_t(blockCount)),
      nodeCount_(uint16_t(NodeCount(capacity))),
      root_(NoNode),
      unusedNodes_(NoNode),
      kept_(false) {}

void FreeBlockIndex::SetTable(void* table) {
    QX_ASSERT(!leafOf_ && table);
    leafOf_ = static_cast<uint16_t*>(table);
    for (uint32_t n = nodeCount_; n-- > 0;) ReturnNode(uint16_t(n));
}

// --- Node helpers ----------------------------------------------------------------------------

// The reads below look at every slot, used or not, so that they compile to a few wide compares
// without branches; slots past count hold NoNode and 0.

uint32_t FreeBlockIndex::LargestIn(const Node& node) {
    uint32_t largest = 0;
    for (int i = 0; i < Fanout; ++i) largest = std::max(largest, node.size[i]);
    return largest;
}

int FreeBlockIndex::SlotOf(const Node& node, uint16_t entry) {
    unsigned found = 0;
#if defined(__SSE2__)
    // One bit per byte, so two per entry.
    const __m128i wanted = _mm_set1_epi16(int16_t(entry));
    for (int i = 0; i < Fanout; i += 8) {
        const __m128i entries = _mm_load_si128(reinterpret_cast<const __m128i*>(&node.entry[i]));
        found |= unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(entries, wanted))) << (2 * i);
    }
    QX_ASSERT(found != 0);
    return __builtin_ctz(found) / 2;
#else
    for (int i = 0; i < Fanout; ++i) found |= unsigned(node.entry[i] == entry) << i;
    QX_ASSERT(found != 0);
    return __builtin_ctz(found);
#endif
}

// One bit per slot in use whose size is at least atLeast.
unsigned FreeBlockIndex::Matches(const Node& node, uint32_t atLeast) {
    unsigned found = 0;
#if defined(__SSE2__)
    // SSE2 compares signed words only: flipping the top bit of both sides orders them as
    // unsigned. A slot is short when atLeast is greater than its size.
    const __m128i flip = _mm_set1_epi32(int32_t(0x80000000u));
    const __m128i least = _mm_xor_si128(_mm_set1_epi32(int32_t(atLeast)), flip);
    unsigned shortOf = 0;
    for (int i = 0; i < Fanout; i += 4) {
        const __m128i sizes = _mm_load_si128(reinterpret_cast<const __m128i*>(&node.size[i]));
        const __m128i isShort = _mm_cmpgt_epi32(least, _mm_xor_si128(sizes, flip));
        shortOf |= unsigned(_mm_movemask_ps(_mm_castsi128_ps(isShort))) << i;
    }
    found = ~shortOf;
#else
    for (int i = 0; i < Fanout; ++i) found |= unsigned(node.size[i] >= atLeast) << i;
#endif
    return found & ((1u << node.count) - 1);
}

// Empties slots from `first` on.
void FreeBlockIndex::Clear(Node& node, int first) {
    for (int i = first; i < Fanout; ++i) {
        node.entry[i] = NoNode;
        node.size[i] = 0;
    }
}

// Moves the entries from `slot` on one slot up, leaving `slot` to be filled; count grows.
void FreeBlockIndex::Open(Node& node, int slot) {
    for (int i = node.count; i > slot; --i) {
        node.entry[i] = node.entry[i - 1];
        node.size[i] = node.size[i - 1];
    }
    ++node.count;
}

// Moves the entries after `slot` one slot down over it, emptying the last; count drops.
void FreeBlockIndex::Close(Node& node, int slot) {
    --node.count;
    for (int i = slot; i < node.count; ++i) {
        node.entry[i] = node.entry[i + 1];
        node.size[i] = node.size[i + 1];
    }
    node.entry[node.count] = NoNode;
    node.size[node.count] = 0;
}

uint16_t FreeBlockIndex::TakeNode(bool leaf) {
    const uint16_t n = unusedNodes_;
    QX_ASSERT(n != NoNode);
    Node& node = Nodes()[n];
    unusedNodes_ = node.parent;
    node.parent = NoNode;
    node.count = 0;
    node.leaf = leaf;
    node.largest = 0;
    std::memset(node.unused, 0, sizeof node.unused);
    Clear(node, 0);
    return n;
}

void FreeBlockIndex::ReturnNode(uint16_t n) {
    Nodes()[n].parent = unusedNodes_;
    Nodes()[n].count = 0;
    unusedNodes_ = n;
}

// Points the entry at `slot` of node n back at n.
void FreeBlockIndex::Adopt(uint16_t n, int slot) {
    const uint16_t entry = Nodes()[n].entry[slot];
    if (Nodes()[n].leaf)
        leafOf_[entry] = n;
    else
        Nodes()[entry].parent = n;
}

// --- Changes ---------------------------------------------------------------------------------

void FreeBlockIndex::Drop() {
    if (root_ != NoNode) ReturnTree(root_);
    root_ = NoNode;
    kept_ = false;
}

void FreeBlockIndex::ReturnTree(uint16_t n) {
    if (!Nodes()[n].leaf)
        for (int i = 0; i < Nodes()[n].count; ++i) ReturnTree(Nodes()[n].entry[i]);
    ReturnNode(n);
}

void FreeBlockIndex::Insert(uint16_t d, uint32_t size, uint16_t down, uint16_t up) {
    QX_ASSERT(kept_);
    if (root_ == NoNode) {
        QX_ASSERT(down == NoNode && up == NoNode);
        root_ = TakeNode(true);
        InsertAt(root_, 0, d, size);
    } else if (up != NoNode) {
        const uint16_t leaf = leafOf_[up];
        InsertAt(leaf, SlotOf(Nodes()[leaf], up), d, size);
    } else {
        const uint16_t leaf = leafOf_[down];
        InsertAt(leaf, SlotOf(Nodes()[leaf], down) + 1, d, size);
    }
}

FreeBlockIndex::Position FreeBlockIndex::PositionOf(uint16_t d) const {
    const uint16_t leaf = leafOf_[d];
    return Position{leaf, SlotOf(Nodes()[leaf], d)};
}

void FreeBlockIndex::Remove(Position at) {
    QX_ASSERT(kept_);
    RemoveAt(at.leaf, at.slot);
}

void FreeBlockIndex::Replace(Position at, uint16_t d, uint32_t size) {
    QX_ASSERT(kept_);
    Nodes()[at.leaf].entry[at.slot] = d;
    leafOf_[d] = at.leaf;
    SetSize(at.leaf, at.slot, size);
}

// d is written over the old block without telling the nodes above, e goes in after it, and the
// leaf then takes its largest size anew, passing it up once.
void FreeBlockIndex::ReplaceWithTwo(Position at, uint16_t d, uint32_t dSize, uint16_t e,
                                    uint32_t eSize) {
    QX_ASSERT(kept_);
    Node& node = Nodes()[at.leaf];
    node.entry[at.slot] = d;
    node.size[at.slot] = dSize;
    leafOf_[d] = at.leaf;
    InsertAt(at.leaf, at.slot + 1, e, eSize);
    // A split of the leaf took both halves' largest sizes anew; otherwise the leaf's is stale.
    Recount(leafOf_[d]);
}

void FreeBlockIndex::Resize(uint16_t d, uint32_t size) {
    QX_ASSERT(kept_);
    const uint16_t leaf = leafOf_[d];
    SetSize(leaf, SlotOf(Nodes()[leaf], d), size);
}

// Sets the size at `slot` of node n and passes the change up for as long as it moves a node's
// largest size.
void FreeBlockIndex::SetSize(uint16_t n, int slot, uint32_t size) {
    for (;;) {
        Node& node = Nodes()[n];
        const uint32_t was = node.size[slot];
        const uint32_t before = node.largest;
        node.size[slot] = size;
        uint32_t largest;
        if (size >= before)
            largest = size;
        else if (was == before)
            largest = LargestIn(node);  // the largest shrank: another may be larger now
        else
            return;  // neither the old size nor the new one is the largest
        if (largest == before) return;
        node.largest = largest;
        if (node.parent == NoNode) return;
        slot = SlotInParent(n);
        size = largest;
        n = node.parent;
    }
}

// Takes node n's largest size anew after entries came or went, and passes it up.
void FreeBlockIndex::Recount(uint16_t n) {
    Node& node = Nodes()[n];
    const uint32_t largest = LargestIn(node);
    if (largest == node.largest) return;
    node.largest = largest;
    if (node.parent != NoNode) SetSize(node.parent, SlotInParent(n), largest);
}

// Puts an entry into node n at `slot`. A full node is split in two first, the upper half going
// to a new node that is entered in the parent just after n (a full root gets a new root above).
void FreeBlockIndex::InsertAt(uint16_t n, int slot, uint16_t entry, uint32_t size) {
    Node& node = Nodes()[n];
    if (node.count < Fanout) {
        Open(node, slot);
        node.entry[slot] = entry;
        node.size[slot] = size;
        Adopt(n, slot);
        if (size > node.largest) {
            node.largest = size;
            if (node.parent != NoNode) SetSize(node.parent, SlotInParent(n), size);
        }
        return;
    }

    const uint16_t split = TakeNode(node.leaf);
    Node& upper = Nodes()[split];
    // Sizes known when compiling, so that the copies are a few moves rather than calls.
    constexpr int Moved = Fanout - MinFill;
    upper.count = Moved;
    std::memcpy(upper.entry, &node.entry[MinFill], Moved * sizeof node.entry[0]);
    std::memcpy(upper.size, &node.size[MinFill], Moved * sizeof node.size[0]);
    node.count = MinFill;
    Clear(node, MinFill);
    for (int i = 0; i < upper.count; ++i) Adopt(split, i);
    // Both halves have room now; the entry goes where its slot fell.
    const uint16_t into = slot > MinFill ? split : n;
    Node& target = Nodes()[into];
    if (into == split) slot -= MinFill;
    Open(target, slot);
    target.entry[slot] = entry;
    target.size[slot] = size;
    Adopt(into, slot);
    node.largest = LargestIn(node);
    upper.largest = LargestIn(upper);
    if (node.parent == NoNode) {
        root_ = TakeNode(false);
        Node& top = Nodes()[root_];
        top.count = 2;
        top.entry[0] = n;
        top.entry[1] = split;
        top.size[0] = node.largest;
        top.size[1] = upper.largest;
        top.largest = std::max(node.largest, upper.largest);
        node.parent = upper.parent = root_;
        return;
    }
    const int at = SlotInParent(n);
    SetSize(node.parent, at, node.largest);
    InsertAt(node.parent, at + 1, split, upper.largest);
}

// Takes the entry at `slot` out of node n. A node left under MinFill entries borrows one from a
// neighbour that can spare it, or else merges with a neighbour, which takes an entry out of the
// parent in turn. A root with a single child gives way to that child.
void FreeBlockIndex::RemoveAt(uint16_t n, int slot) {
    Node& node = Nodes()[n];
    const uint32_t removed = node.size[slot];
    Close(node, slot);
    if (node.parent == NoNode) {
        if (node.count == 0 || (!node.leaf && node.count == 1)) {
            root_ = node.count == 0 ? NoNode : node.entry[0];
            if (root_ != NoNode) Nodes()[root_].parent = NoNode;
            ReturnNode(n);
        } else if (removed == node.largest) {
            node.largest = LargestIn(node);
        }
        return;
    }
    if (node.count >= MinFill) {
        if (removed == node.largest) Recount(n);
        return;
    }
    const uint16_t p = node.parent;
    Node& parent = Nodes()[p];
    const int at = SlotOf(parent, n);
    const uint16_t left = at > 0 ? parent.entry[at - 1] : NoNode;
    const uint16_t right = at + 1 < parent.count ? parent.entry[at + 1] : NoNode;
    if (left != NoNode && Nodes()[left].count > MinFill) {
        // The left neighbour's last entry becomes n's first.
        Node& from = Nodes()[left];
        const int last = from.count - 1;
        Open(node, 0);
        node.entry[0] = from.entry[last];
        node.size[0] = from.size[last];
        Close(from, last);
        Adopt(n, 0);
        Recount(left);
        Recount(n);
    } else if (right != NoNode && Nodes()[right].count > MinFill) {
        // The right neighbour's first entry becomes n's last.
        Node& from = Nodes()[right];
        node.entry[node.count] = from.entry[0];
        node.size[node.count] = from.size[0];
        Adopt(n, node.count);
        ++node.count;
        Close(from, 0);
        Recount(right);
        Recount(n);
    } else {
        // Neither can spare one: the right one of the pair moves into the left one and goes.
        const uint16_t into = left != NoNode ? left : n;
        const uint16_t gone = left != NoNode ? n : right;
        Node& merged = Nodes()[into];
        const Node& emptied = Nodes()[gone];
        // The emptied node holds at most MinFill entries and the two at most Fanout; copying
        // MinFill slots, unused ones included, keeps the unused slots empty and the size fixed.
        static_assert(2 * MinFill == Fanout, "two nodes that cannot spare one fit in one");
        std::memcpy(&merged.entry[merged.count], emptied.entry, MinFill * sizeof emptied.entry[0]);
        std::memcpy(&merged.size[merged.count], emptied.size, MinFill * sizeof emptied.size[0]);
        const int first = merged.count;
        merged.count = uint8_t(merged.count + emptied.count);
        for (int i = first; i < merged.count; ++i) Adopt(into, i);
        ReturnNode(gone);
        Recount(into);
        RemoveAt(p, gone == n ? at : at + 1);
    }
}

// --- Searches --------------------------------------------------------------------------------

FreeBlockIndex::Search::Search(const FreeBlockIndex& index, int from, uint32_t atLeast,
                               uint16_t end)
    : nodes_(index.Nodes()),
      atLeast_(atLeast),
      from_(from),
      level_(0),
      top_(0),
      block_(NoNode),
      size_(0),
      slot_(0) {
    QX_ASSERT(index.kept_);
    left_[0] = 0;
    node_[0] = NoNode;
    const uint16_t root = index.root_;
    if (root == NoNode || nodes_[root].largest < atLeast) return;
    node_[0] = index.leafOf_[end];
    const Node& leaf = nodes_[node_[0]];
    QX_ASSERT(leaf.entry[from == Low ? 0 : leaf.count - 1] == end);
    left_[0] = Matches(leaf, atLeast);
}

template <int From>
bool FreeBlockIndex::Search::NextFrom() {
    for (;;) {
        // Back up to the lowest level with slots left. A level above top_ is read now, without
        // its edge slot: that was the way up.
        while (left_[level_] == 0) {
            if (level_ == top_) {
                const uint16_t above = node_[top_] == NoNode ? NoNode : nodes_[node_[top_]].parent;
                if (above == NoNode) return false;
                QX_ASSERT(top_ + 1 < MaxLevels);
                node_[++top_] = above;
                const Node& node = nodes_[above];
                const unsigned edge = From == Low ? 1u : 1u << (node.count - 1);
                left_[top_] = Matches(node, atLeast_) & ~edge;
            }
            ++level_;
        }
        // The slot nearest the `from` end.
        unsigned& left = left_[level_];
        const int slot = From == Low ? __builtin_ctz(left) : 31 - __builtin_clz(left);
        left &= ~(1u << slot);
        const Node& node = nodes_[node_[level_]];
        if (level_ == 0) {
            block_ = node.entry[slot];
            size_ = node.size[slot];
            slot_ = slot;
            return true;
        }
        // A child's largest size is at least atLeast, so some of its slots match.
        const uint16_t child = node.entry[slot];
        node_[--level_] = child;
        left_[level_] = Matches(nodes_[child], atLeast_);
    }
}

// Next() is inline in the header and calls these from other files: without link-time
// optimisation nothing else would emit them.
template bool FreeBlockIndex::Search::NextFrom<FreeBlockIndex::Low>();
template bool FreeBlockIndex::Search::NextFrom<FreeBlockIndex::High>();

uint16_t FreeBlockIndex::First(int from, uint32_t atLeast, uint16_t end) const {
    Search search(*this, from, atLeast, end);
    return search.Next() ? search.Block() : NoNode;
}

// --- Validation ------------------------------------------------------------------------------

struct FreeBlockIndex::Walk {
    const std::vector<Listed>& list;
    size_t next;               // the list position the walk over the leaves has reached
    int leafDepth;             // the depth of the first leaf met; -1 before
    std::vector<uint8_t> met;  // per node: in the tree or unused
};

bool FreeBlockIndex::Validate(const std::vector<Listed>& list) const {
    if (!leafOf_) return !kept_ && root_ == NoNode && unusedNodes_ == NoNode;
    Walk walk{list, 0, -1, std::vector<uint8_t>(nodeCount_, 0)};
    if (!kept_) {
        if (root_ != NoNode) return false;
    } else {
        if (root_ != NoNode && !CheckNode(root_, NoNode, 0, walk)) return false;
        if (walk.next != list.size()) return false;
    }
    for (uint16_t n = unusedNodes_; n != NoNode; n = Nodes()[n].parent) {
        if (n >= nodeCount_ || walk.met[n]) return false;
        walk.met[n] = 1;
    }
    return std::count(walk.met.begin(), walk.met.end(), 1) == nodeCount_;
}

bool FreeBlockIndex::CheckNode(uint16_t n, uint16_t parent, int depth, Walk& walk) const {
    if (n >= nodeCount_ || walk.met[n] || depth >= MaxLevels) return false;
    walk.met[n] = 1;
    const Node& node = Nodes()[n];
    const int least = parent != NoNode ? MinFill : node.leaf ? 1 : 2;
    if (node.parent != parent || node.count < least || node.count > Fanout ||
        node.largest != LargestIn(node))
        return false;
    for (uint8_t byte : node.unused)
        if (byte != 0) return false;
    for (int i = node.count; i < Fanout; ++i)
        if (node.entry[i] != NoNode || node.size[i] != 0) return false;
    for (int i = 0; i < node.count; ++i) {
        const uint16_t entry = node.entry[i];
        if (node.leaf) {
            if (walk.next >= walk.list.size() || walk.list[walk.next].block != entry ||
                walk.list[walk.next].size != node.size[i] || entry >= blockCount_ ||
                leafOf_[entry] != n)
                return false;
            ++walk.next;
        } else if (!CheckNode(entry, n, depth + 1, walk) ||
                   Nodes()[entry].largest != node.size[i]) {
            return false;
        }
    }
    if (node.leaf) {
        if (walk.leafDepth < 0) walk.leafDepth = depth;
        if (depth != walk.leafDepth) return false;
    }
    return true;
}
