#include "range/FreeBlockIndex.h"

#include <stdint.h>

#include <algorithm>
#include <cstring>

#include "common/Check.h"

namespace {

constexpr uintptr_t CacheLine = 64;
// With the root holding two entries or more and every other node MinFill or more, leaves are at
// most 7 levels below the root; deeper is a bad link.
constexpr int MaxDepth = 8;

}  // namespace

// --- Layout ----------------------------------------------------------------------------------

// Every node but the root holds MinFill entries or more, so n blocks need at most n / MinFill
// leaves, n / MinFill^2 nodes above them and so on: n / 3 in all, plus one partly filled node
// per level and one more while a split makes a new root.
uint32_t FreeBlockIndex::NodeCount(uint32_t capacity) { return capacity / 3 + 10; }

uint32_t FreeBlockIndex::TableBytes(uint32_t blockCount, uint32_t capacity) {
    // The nodes start at the first cache line boundary after the leaf table.
    return uint32_t(blockCount * sizeof(uint16_t) + CacheLine - 1 +
                    NodeCount(capacity) * sizeof(Node));
}

FreeBlockIndex::FreeBlockIndex(void* table, uint32_t blockCount, uint32_t capacity)
    : kept_(false),
      blockCount_(uint16_t(blockCount)),
      nodeCount_(uint16_t(NodeCount(capacity))),
      root_(NoNode),
      unusedNodes_(NoNode),
      leafOf_(static_cast<uint16_t*>(table)) {
    const uintptr_t end = reinterpret_cast<uintptr_t>(leafOf_ + blockCount);
    nodes_ = reinterpret_cast<Node*>((end + CacheLine - 1) & ~(CacheLine - 1));
    for (uint32_t n = nodeCount_; n-- > 0;) ReturnNode(uint16_t(n));
}

// --- Node helpers ----------------------------------------------------------------------------

// The helpers below read every slot, used or not, so that they compile to a few wide compares
// without branches; slots past count hold NoNode and 0.

uint32_t FreeBlockIndex::LargestIn(const Node& node) {
    uint32_t largest = 0;
    for (int i = 0; i < Fanout; ++i) largest = std::max(largest, node.size[i]);
    return largest;
}

int FreeBlockIndex::SlotOf(const Node& node, uint16_t entry) {
    unsigned found = 0;
    for (int i = 0; i < Fanout; ++i) found |= unsigned(node.entry[i] == entry) << i;
    QX_ASSERT(found != 0);
    return __builtin_ctz(found);
}

// The first slot from `start` on, moving away from the `from` end, whose largest size is at
// least atLeast; -1 when there is none. `start` may lie one past either end.
int FreeBlockIndex::Scan(const Node& node, int from, int start, uint32_t atLeast) {
    unsigned found = 0;
    for (int i = 0; i < Fanout; ++i) found |= unsigned(node.size[i] >= atLeast) << i;
    found &= (1u << node.count) - 1;
    if (from == Low) {
        found &= ~0u << start;  // start is at most Fanout
        return found ? __builtin_ctz(found) : -1;
    }
    found &= (1u << (start + 1)) - 1;  // start is at least -1
    return found ? 31 - __builtin_clz(found) : -1;
}

// Empties slots from `first` on.
void FreeBlockIndex::Clear(Node& node, int first) {
    for (int i = first; i < Fanout; ++i) {
        node.entry[i] = NoNode;
        node.size[i] = 0;
    }
}

uint16_t FreeBlockIndex::TakeNode(bool leaf) {
    const uint16_t n = unusedNodes_;
    QX_ASSERT(n != NoNode);
    unusedNodes_ = nodes_[n].parent;
    nodes_[n].parent = NoNode;
    nodes_[n].count = 0;
    nodes_[n].leaf = leaf;
    nodes_[n].largest = 0;
    nodes_[n].unused = 0;
    Clear(nodes_[n], 0);
    return n;
}

void FreeBlockIndex::ReturnNode(uint16_t n) {
    nodes_[n].parent = unusedNodes_;
    nodes_[n].count = 0;
    unusedNodes_ = n;
}

// Points the entry at `slot` of node n back at n.
void FreeBlockIndex::Adopt(uint16_t n, int slot) {
    const uint16_t entry = nodes_[n].entry[slot];
    if (nodes_[n].leaf)
        leafOf_[entry] = n;
    else
        nodes_[entry].parent = n;
}

// --- Changes ---------------------------------------------------------------------------------

void FreeBlockIndex::Drop() {
    if (root_ != NoNode) ReturnTree(root_);
    root_ = NoNode;
    kept_ = false;
}

void FreeBlockIndex::ReturnTree(uint16_t n) {
    if (!nodes_[n].leaf)
        for (int i = 0; i < nodes_[n].count; ++i) ReturnTree(nodes_[n].entry[i]);
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
        InsertAt(leaf, SlotOf(nodes_[leaf], up), d, size);
    } else {
        const uint16_t leaf = leafOf_[down];
        InsertAt(leaf, SlotOf(nodes_[leaf], down) + 1, d, size);
    }
}

void FreeBlockIndex::Remove(uint16_t d) {
    QX_ASSERT(kept_);
    const uint16_t leaf = leafOf_[d];
    RemoveAt(leaf, SlotOf(nodes_[leaf], d));
}

void FreeBlockIndex::Replace(uint16_t old, uint16_t d, uint32_t size) {
    QX_ASSERT(kept_);
    const uint16_t leaf = leafOf_[old];
    const int slot = SlotOf(nodes_[leaf], old);
    nodes_[leaf].entry[slot] = d;
    leafOf_[d] = leaf;
    SetSize(leaf, slot, size);
}

void FreeBlockIndex::Resize(uint16_t d, uint32_t size) {
    QX_ASSERT(kept_);
    const uint16_t leaf = leafOf_[d];
    SetSize(leaf, SlotOf(nodes_[leaf], d), size);
}

// Sets the size at `slot` of node n and passes the change up for as long as it moves a node's
// largest size.
void FreeBlockIndex::SetSize(uint16_t n, int slot, uint32_t size) {
    for (;;) {
        Node& node = nodes_[n];
        const uint32_t was = node.size[slot];
        const uint32_t before = node.largest;
        node.size[slot] = size;
        if (size > before)
            node.largest = size;
        else if (was == before && size < was)
            node.largest = LargestIn(node);  // the largest shrank: another may be larger now
        if (node.largest == before || node.parent == NoNode) return;
        slot = SlotOf(nodes_[node.parent], n);
        size = node.largest;
        n = node.parent;
    }
}

// Takes node n's largest size anew after entries came or went, and passes it up.
void FreeBlockIndex::Recount(uint16_t n) {
    Node& node = nodes_[n];
    const uint32_t largest = LargestIn(node);
    if (largest == node.largest) return;
    node.largest = largest;
    if (node.parent != NoNode) SetSize(node.parent, SlotOf(nodes_[node.parent], n), largest);
}

// Puts an entry into node n at `slot`. A full node is split in two first, the upper half going
// to a new node that is entered in the parent just after n (a full root gets a new root above).
void FreeBlockIndex::InsertAt(uint16_t n, int slot, uint16_t entry, uint32_t size) {
    Node& node = nodes_[n];
    uint16_t into = n;
    uint16_t split = NoNode;
    if (node.count == Fanout) {
        split = TakeNode(node.leaf);
        Node& upper = nodes_[split];
        upper.count = Fanout - MinFill;
        std::memcpy(upper.entry, &node.entry[MinFill], upper.count * sizeof node.entry[0]);
        std::memcpy(upper.size, &node.size[MinFill], upper.count * sizeof node.size[0]);
        node.count = MinFill;
        Clear(node, MinFill);
        for (int i = 0; i < upper.count; ++i) Adopt(split, i);
        // Both halves have room now; the entry goes where its slot fell.
        if (slot > MinFill) {
            into = split;
            slot -= MinFill;
        }
    }
    Node& target = nodes_[into];
    std::memmove(&target.entry[slot + 1], &target.entry[slot],
                 (target.count - slot) * sizeof target.entry[0]);
    std::memmove(&target.size[slot + 1], &target.size[slot],
                 (target.count - slot) * sizeof target.size[0]);
    target.entry[slot] = entry;
    target.size[slot] = size;
    ++target.count;
    Adopt(into, slot);
    if (split == NoNode) {
        if (size > node.largest) {
            node.largest = size;
            if (node.parent != NoNode) SetSize(node.parent, SlotOf(nodes_[node.parent], n), size);
        }
        return;
    }

    Node& upper = nodes_[split];
    node.largest = LargestIn(node);
    upper.largest = LargestIn(upper);
    if (node.parent == NoNode) {
        root_ = TakeNode(false);
        Node& top = nodes_[root_];
        top.count = 2;
        top.entry[0] = n;
        top.entry[1] = split;
        top.size[0] = node.largest;
        top.size[1] = upper.largest;
        top.largest = std::max(node.largest, upper.largest);
        node.parent = upper.parent = root_;
        return;
    }
    const int at = SlotOf(nodes_[node.parent], n);
    SetSize(node.parent, at, node.largest);
    InsertAt(node.parent, at + 1, split, upper.largest);
}

// Takes the entry at `slot` out of node n. A node left under MinFill entries borrows one from a
// neighbour that can spare it, or else merges with a neighbour, which takes an entry out of the
// parent in turn. A root with a single child gives way to that child.
void FreeBlockIndex::RemoveAt(uint16_t n, int slot) {
    Node& node = nodes_[n];
    const uint32_t removed = node.size[slot];
    --node.count;
    std::memmove(&node.entry[slot], &node.entry[slot + 1],
                 (node.count - slot) * sizeof node.entry[0]);
    std::memmove(&node.size[slot], &node.size[slot + 1], (node.count - slot) * sizeof node.size[0]);
    Clear(node, node.count);
    if (node.parent == NoNode) {
        if (node.count == 0 || (!node.leaf && node.count == 1)) {
            root_ = node.count == 0 ? NoNode : node.entry[0];
            if (root_ != NoNode) nodes_[root_].parent = NoNode;
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
    Node& parent = nodes_[p];
    const int at = SlotOf(parent, n);
    const uint16_t left = at > 0 ? parent.entry[at - 1] : NoNode;
    const uint16_t right = at + 1 < parent.count ? parent.entry[at + 1] : NoNode;
    if (left != NoNode && nodes_[left].count > MinFill) {
        // The left neighbour's last entry becomes n's first.
        Node& from = nodes_[left];
        --from.count;
        std::memmove(&node.entry[1], &node.entry[0], node.count * sizeof node.entry[0]);
        std::memmove(&node.size[1], &node.size[0], node.count * sizeof node.size[0]);
        node.entry[0] = from.entry[from.count];
        node.size[0] = from.size[from.count];
        ++node.count;
        Clear(from, from.count);
        Adopt(n, 0);
        Recount(left);
        Recount(n);
    } else if (right != NoNode && nodes_[right].count > MinFill) {
        // The right neighbour's first entry becomes n's last.
        Node& from = nodes_[right];
        node.entry[node.count] = from.entry[0];
        node.size[node.count] = from.size[0];
        Adopt(n, node.count);
        ++node.count;
        --from.count;
        std::memmove(&from.entry[0], &from.entry[1], from.count * sizeof from.entry[0]);
        std::memmove(&from.size[0], &from.size[1], from.count * sizeof from.size[0]);
        Clear(from, from.count);
        Recount(right);
        Recount(n);
    } else {
        // Neither can spare one: the right one of the pair moves into the left one and goes.
        const uint16_t into = left != NoNode ? left : n;
        const uint16_t gone = left != NoNode ? n : right;
        Node& merged = nodes_[into];
        const Node& emptied = nodes_[gone];
        std::memcpy(&merged.entry[merged.count], emptied.entry,
                    emptied.count * sizeof emptied.entry[0]);
        std::memcpy(&merged.size[merged.count], emptied.size,
                    emptied.count * sizeof emptied.size[0]);
        const int first = merged.count;
        merged.count = uint8_t(merged.count + emptied.count);
        for (int i = first; i < merged.count; ++i) Adopt(into, i);
        ReturnNode(gone);
        Recount(into);
        RemoveAt(p, SlotOf(parent, gone));
    }
}

// --- Searches --------------------------------------------------------------------------------

FreeBlockIndex::Cursor FreeBlockIndex::First(int from, uint32_t atLeast) const {
    QX_ASSERT(kept_);
    if (root_ == NoNode || nodes_[root_].largest < atLeast) return Cursor{NoNode, 0};
    return FirstIn(root_, from, atLeast);
}

FreeBlockIndex::Cursor FreeBlockIndex::Next(Cursor at, int from, uint32_t atLeast) const {
    const int step = from == Low ? 1 : -1;
    uint16_t n = at.leaf;
    int slot = at.slot;
    // Further along the leaf, then further along each node above it, going down again into the
    // first child that holds a large enough block.
    for (;;) {
        const Node& node = nodes_[n];
        const int found = Scan(node, from, slot + step, atLeast);
        if (found >= 0)
            return node.leaf ? Cursor{n, found} : FirstIn(node.entry[found], from, atLeast);
        if (node.parent == NoNode) return Cursor{NoNode, 0};
        slot = SlotOf(nodes_[node.parent], n);
        n = node.parent;
    }
}

// Node n must hold a block of at least atLeast.
FreeBlockIndex::Cursor FreeBlockIndex::FirstIn(uint16_t n, int from, uint32_t atLeast) const {
    for (;;) {
        const Node& node = nodes_[n];
        const int slot = Scan(node, from, from == Low ? 0 : node.count - 1, atLeast);
        QX_ASSERT(slot >= 0);
        if (node.leaf) return Cursor{n, slot};
        n = node.entry[slot];
    }
}

// --- Validation ------------------------------------------------------------------------------

struct FreeBlockIndex::Walk {
    const std::vector<Listed>& list;
    size_t next;               // the list position the walk over the leaves has reached
    int leafDepth;             // the depth of the first leaf met; -1 before
    std::vector<uint8_t> met;  // per node: in the tree or unused
};

bool FreeBlockIndex::Validate(const std::vector<Listed>& list) const {
    Walk walk{list, 0, -1, std::vector<uint8_t>(nodeCount_, 0)};
    if (!kept_) {
        if (root_ != NoNode) return false;
    } else {
        if (root_ != NoNode && !CheckNode(root_, NoNode, 0, walk)) return false;
        if (walk.next != list.size()) return false;
    }
    for (uint16_t n = unusedNodes_; n != NoNode; n = nodes_[n].parent) {
        if (n >= nodeCount_ || walk.met[n]) return false;
        walk.met[n] = 1;
    }
    return std::count(walk.met.begin(), walk.met.end(), 1) == nodeCount_;
}

bool FreeBlockIndex::CheckNode(uint16_t n, uint16_t parent, int depth, Walk& walk) const {
    if (n >= nodeCount_ || walk.met[n] || depth > MaxDepth) return false;
    walk.met[n] = 1;
    const Node& node = nodes_[n];
    const int least = parent != NoNode ? MinFill : node.leaf ? 1 : 2;
    if (node.parent != parent || node.count < least || node.count > Fanout ||
        node.largest != LargestIn(node) || node.unused != 0)
        return false;
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
        } else if (!CheckNode(entry, n, depth + 1, walk) || nodes_[entry].largest != node.size[i]) {
            return false;
        }
    }
    if (node.leaf) {
        if (walk.leafDepth < 0) walk.leafDepth = depth;
        if (depth != walk.leafDepth) return false;
    }
    return true;
}
