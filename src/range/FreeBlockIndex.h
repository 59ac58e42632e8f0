// FreeBlockIndex - a B-tree over a range heap's free blocks, in free-list order, that finds the
// first block from either end of the list holding at least a given size in logarithmic time.
//
// The tree is not keyed by address or size: reading its leaves from left to right gives the free
// list itself, from lowEnd to highEnd, so an insertion names the list neighbours it goes between.
// A leaf holds up to Fanout blocks with their sizes; a node above holds up to Fanout children
// with the largest size under each, so a search reads one 64-byte node per level and goes down
// where a large enough block is. Every node but the root holds at least MinFill entries and all
// leaves are equally deep. The index lives in one table its owner gives it before first keeping
// it: for each block the leaf that holds it while it is free, then a fixed pool of nodes, linked
// by 16-bit indices, the unused ones on a stack. The index itself is a few words, which its owner
// keeps beside its other state.
#pragma once

#include <stdint.h>

#include <vector>

class FreeBlockIndex {
public:
    static constexpr uint16_t NoNode = 0xFFFF;  // no block, no node
    // The two ends of the free list; a search names the end it starts from.
    static constexpr int Low = 0;   // towards lowEnd, where bottom-up searches start
    static constexpr int High = 1;  // towards highEnd, where top-down searches start

    // Eight sizes are two 16-byte vectors and eight entries one, so a node is read with a few
    // wide compares.
    static constexpr int Fanout = 8;
    static constexpr int MinFill = Fanout / 2;
    // Levels from the root to a leaf, both counted, in the tallest tree an index can hold: a
    // tree of L levels holds at least 2 * MinFill^(L - 1) blocks, fewer than blocks there are.
    static constexpr int MaxLevels = 8;

    // One cache line, sizes first so that the vectors are aligned. Slots from count on hold
    // NoNode and 0.
    struct alignas(64) Node {
        uint32_t size[Fanout];   // a block's size in a leaf; the largest size under a child
        uint16_t entry[Fanout];  // blocks (descriptor indices) in a leaf, child nodes above
        uint32_t largest;        // the largest of size[]
        uint16_t parent;         // NoNode at the root; the next unused node while unused
        uint8_t count;           // entries in use, in the first slots
        uint8_t leaf;            // 1 when the entries are blocks, 0 when they are nodes
        uint8_t unused[8];       // zero
    };

    // A free block as the list holds it, for Validate.
    struct Listed {
        uint16_t block;
        uint32_t size;
    };

    // The bytes of table an index over blocks 0 to blockCount - 1 takes, of which at most
    // `capacity` are in it at once (blockCount at most 2^16 - 4).
    static uint32_t TableBytes(uint32_t blockCount, uint32_t capacity);
    // An empty index with no table yet.
    FreeBlockIndex(uint32_t blockCount, uint32_t capacity);
    // Gives the index its table of TableBytes(blockCount, capacity) bytes, aligned for 16-bit
    // words, which the caller owns; once, before the index is first kept.
    void SetTable(void* table);
    // The table given, or null.
    void* Table() const { return leafOf_; }
    uint32_t BlockCount() const { return blockCount_; }

    // The index is kept only while its owner wants it; while it is not, it must be neither
    // changed nor searched.
    bool Kept() const { return kept_; }
    // Starts keeping the index, empty: the owner then enters every block of its list. It must
    // have its table.
    void Keep() { kept_ = true; }
    // Stops keeping the index; its nodes go back to the unused ones.
    void Drop();

    // Where a block stands in the index: its leaf and slot there. Valid until the index changes.
    struct Position {
        uint16_t leaf;
        int slot;
    };
    Position PositionOf(uint16_t d) const;

    // Enters d between down and up, the blocks that are to become its list neighbours towards
    // lowEnd and towards highEnd (NoNode at an end of the list; both NoNode in an empty list).
    void Insert(uint16_t d, uint32_t size, uint16_t down, uint16_t up);
    void Remove(uint16_t d) { Remove(PositionOf(d)); }
    // d takes old's place in the list, with its own size, and old leaves it.
    void Replace(uint16_t old, uint16_t d, uint32_t size) { Replace(PositionOf(old), d, size); }
    // d and then e take old's place, d on the lowEnd side, each with its own size.
    void ReplaceWithTwo(uint16_t old, uint16_t d, uint32_t dSize, uint16_t e, uint32_t eSize) {
        ReplaceWithTwo(PositionOf(old), d, dSize, e, eSize);
    }
    // The same for the block at a position a search has just found, without looking it up.
    void Remove(Position at);
    void Replace(Position at, uint16_t d, uint32_t size);
    void ReplaceWithTwo(Position at, uint16_t d, uint32_t dSize, uint16_t e, uint32_t eSize);
    // d's block has grown or shrunk in place.
    void Resize(uint16_t d, uint32_t size);

    // The blocks of at least a given size, one by one from one end of the list. A search starts
    // in the leaf at that end and climbs only as far as it must. Each node on the way is read
    // once: the slots of a node still to visit are kept as a mask per level, so moving on from a
    // leaf goes back up without searching a node again. The index must not change while a
    // search runs.
    class Search {
    public:
        // `end` is the block at the `from` end of the list, NoNode when the list is empty.
        Search(const FreeBlockIndex& index, int from, uint32_t atLeast, uint16_t end);
        // Moves to the next such block; false when there is none left.
        bool Next() { return from_ == Low ? NextFrom<Low>() : NextFrom<High>(); }
        uint16_t Block() const { return block_; }
        uint32_t Size() const { return size_; }
        Position Where() const { return Position{node_[0], slot_}; }

    private:
        template <int From>
        bool NextFrom();

        const Node* nodes_;
        uint32_t atLeast_;
        int from_;
        int level_;  // the lowest level of the path, 0 at the leaves, with slots left to visit
        int top_;    // the highest level read; above it the path is the edge towards the end
        uint16_t block_;
        uint32_t size_;
        int slot_;                  // the block's slot in its leaf, node_[0]
        uint16_t node_[MaxLevels];  // the path, by level
        unsigned left_[MaxLevels];  // per level up to top_, the slots left that hold enough
    };

    // The first block from the `from` end, which is `end`, whose size is at least atLeast;
    // NoNode if none is.
    uint16_t First(int from, uint32_t atLeast, uint16_t end) const;
    // The largest block; 0 when the index is empty.
    uint32_t Largest() const { return root_ == NoNode ? 0 : Nodes()[root_].largest; }

    // Checks that the leaves hold exactly `list`, in its order and with its sizes, that every
    // size above is the largest below it, that the tree is balanced and filled as it must be,
    // that links up match links down and that every node is either in the tree or unused. An
    // index that is not kept must hold nothing, and one without a table no node.
    bool Validate(const std::vector<Listed>& list) const;

    FreeBlockIndex(const FreeBlockIndex&) = delete;
    FreeBlockIndex& operator=(const FreeBlockIndex&) = delete;

private:
    struct Walk;

    static uint32_t NodeCount(uint32_t capacity);
    static uint32_t LargestIn(const Node& node);
    static int SlotOf(const Node& node, uint16_t entry);
    static unsigned Matches(const Node& node, uint32_t atLeast);
    static void Clear(Node& node, int first);
    static void Open(Node& node, int slot);
    static void Close(Node& node, int slot);
    void ReturnTree(uint16_t n);

    uint16_t TakeNode(bool leaf);
    void ReturnNode(uint16_t n);
    void Adopt(uint16_t n, int slot);
    int SlotInParent(uint16_t n) const { return SlotOf(Nodes()[Nodes()[n].parent], n); }
    void SetSize(uint16_t n, int slot, uint32_t size);
    void Recount(uint16_t n);
    void InsertAt(uint16_t n, int slot, uint16_t entry, uint32_t size);
    void RemoveAt(uint16_t n, int slot);
    bool CheckNode(uint16_t n, uint16_t parent, int depth, Walk& walk) const;

    static constexpr uintptr_t CacheLine = 64;
    // The nodes start at the first cache line boundary after the leaf table: computed rather than
    // kept, so that the index stays four words on 32-bit targets.
    Node* Nodes() const {
        const uintptr_t end = reinterpret_cast<uintptr_t>(leafOf_ + blockCount_);
        return reinterpret_cast<Node*>((end + CacheLine - 1) & ~(CacheLine - 1));
    }

    uint16_t* leafOf_;  // per block, the leaf that holds it while it is free; the table's start
    uint16_t blockCount_;
    uint16_t nodeCount_;
    uint16_t root_;
    uint16_t unusedNodes_;  // the top of the stack of unused nodes
    bool kept_;
};

static_assert(sizeof(FreeBlockIndex::Node) == 64, "an index node is one cache line");

// 2 * MinFill^MaxLevels blocks, the fewest a tree one level taller than MaxLevels holds.
constexpr uint64_t FewestBlocksPastMaxLevels(uint64_t n = 2, int levels = 0) {
    return levels == FreeBlockIndex::MaxLevels
               ? n
               : FewestBlocksPastMaxLevels(n * FreeBlockIndex::MinFill, levels + 1);
}
static_assert(FewestBlocksPastMaxLevels() > 0xFFFC, "a search's path holds the tallest tree");
