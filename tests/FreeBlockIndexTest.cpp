// FreeBlockIndex on its own: seeded random insertions (at the ends, where nodes split most, and
// between any two neighbours), removals, replacements and resizes against a plain list of
// (block, size), with every search compared to a scan of that list; and Validate catching each
// kind of damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "range/FreeBlockIndex.h"

// Compared and printed by the expectations below.
bool operator==(const FreeBlockIndex::Listed& a, const FreeBlockIndex::Listed& b) {
    return a.block == b.block && a.size == b.size;
}
std::ostream& operator<<(std::ostream& out, const FreeBlockIndex::Listed& listed) {
    return out << listed.block << ":" << listed.size;
}

namespace {

using Listed = FreeBlockIndex::Listed;
constexpr uint16_t NoNode = FreeBlockIndex::NoNode;
constexpr int Low = FreeBlockIndex::Low;
constexpr int High = FreeBlockIndex::High;

// An index and the list it must hold, changed together.
class Pair {
public:
    explicit Pair(uint32_t blockCount)
        : blockCount_(blockCount),
          table_((FreeBlockIndex::TableBytes(blockCount, blockCount) + 1) / 2),
          index_(blockCount, blockCount) {
        index_.SetTable(table_.data());
        for (uint32_t n = blockCount; n-- > 0;) unused_.push_back(uint16_t(n));
        index_.Keep();
    }

    uint16_t Insert(size_t at, uint32_t size) {
        const uint16_t d = unused_.back();
        unused_.pop_back();
        const uint16_t down = at > 0 ? list_[at - 1].block : NoNode;
        const uint16_t up = at < list_.size() ? list_[at].block : NoNode;
        index_.Insert(d, size, down, up);
        list_.insert(list_.begin() + long(at), Listed{d, size});
        return d;
    }
    void Remove(size_t at) {
        index_.Remove(list_[at].block);
        unused_.push_back(list_[at].block);
        list_.erase(list_.begin() + long(at));
    }
    void Replace(size_t at, uint32_t size) {
        const uint16_t d = unused_.back();
        unused_.pop_back();
        index_.Replace(list_[at].block, d, size);
        unused_.push_back(list_[at].block);
        list_[at] = Listed{d, size};
    }
    // The block at `at` gives way to two, the first of `size` and the second of `nextSize`.
    void ReplaceWithTwo(size_t at, uint32_t size, uint32_t nextSize) {
        const uint16_t d = unused_.back();
        unused_.pop_back();
        const uint16_t e = unused_.back();
        unused_.pop_back();
        index_.ReplaceWithTwo(list_[at].block, d, size, e, nextSize);
        unused_.push_back(list_[at].block);
        list_[at] = Listed{d, size};
        list_.insert(list_.begin() + long(at) + 1, Listed{e, nextSize});
    }
    void Resize(size_t at, uint32_t size) {
        index_.Resize(list_[at].block, size);
        list_[at].size = size;
    }

    // The first block of at least atLeast from the `from` end, or NoNode.
    uint16_t First(int from, uint32_t atLeast) const {
        return index_.First(from, atLeast, End(from));
    }
    // Every block of at least atLeast, from the `from` end, as the index enumerates them and as
    // a scan of the list finds them.
    std::vector<Listed> Search(int from, uint32_t atLeast) const {
        std::vector<Listed> found;
        for (FreeBlockIndex::Search search(index_, from, atLeast, End(from));
             found.size() <= list_.size() && search.Next();)
            found.push_back(Listed{search.Block(), search.Size()});
        return found;
    }
    // The block at the `from` end of the list, where a search starts.
    uint16_t End(int from) const {
        if (list_.empty()) return NoNode;
        return from == Low ? list_.front().block : list_.back().block;
    }
    std::vector<Listed> Scan(int from, uint32_t atLeast) const {
        std::vector<Listed> found;
        for (const Listed& listed : list_)
            if (listed.size >= atLeast) found.push_back(listed);
        if (from == High) std::reverse(found.begin(), found.end());
        return found;
    }
    uint32_t Largest() const {
        uint32_t largest = 0;
        for (const Listed& listed : list_) largest = std::max(largest, listed.size);
        return largest;
    }

    // Stops keeping the index, then keeps it again, entering the list block by block.
    void Drop() { index_.Drop(); }
    void KeepAgain() {
        index_.Keep();
        for (size_t i = 0; i < list_.size(); ++i)
            index_.Insert(list_[i].block, list_[i].size, i > 0 ? list_[i - 1].block : NoNode,
                          NoNode);
    }
    bool Valid() const { return index_.Validate(list_); }
    const std::vector<Listed>& List() const { return list_; }
    const FreeBlockIndex& Index() const { return index_; }
    size_t Unused() const { return unused_.size(); }

    // The table as the header lays it out: the leaf of each block, then the nodes from the
    // next cache line on.
    uint16_t* LeafOf() { return table_.data(); }
    FreeBlockIndex::Node* Nodes() {
        const uintptr_t end = reinterpret_cast<uintptr_t>(table_.data() + blockCount_);
        return reinterpret_cast<FreeBlockIndex::Node*>((end + 63) & ~uintptr_t(63));
    }
    std::vector<uint16_t>& Table() { return table_; }

private:
    uint32_t blockCount_;
    std::vector<uint16_t> table_;
    FreeBlockIndex index_;
    std::vector<Listed> list_;
    std::vector<uint16_t> unused_;
};

// Sizes with many repeats and zeros, so that ties and empty blocks are searched for too.
uint32_t DrawSize(std::mt19937& random) {
    switch (random() % 4) {
        case 0:
            return random() % 4;
        case 1:
            return 1000 * (random() % 8);
        default:
            return random() % 100000;
    }
}

}  // namespace

TEST(FreeBlockIndexTest, AnEmptyIndexFindsNothing) {
    Pair pair(4);
    EXPECT_TRUE(pair.Valid());
    EXPECT_EQ(pair.First(Low, 0), NoNode);
    EXPECT_EQ(pair.First(High, 0), NoNode);
    EXPECT_EQ(pair.Index().Largest(), 0u);
    const uint16_t only = pair.Insert(0, 0);
    EXPECT_EQ(pair.First(High, 0), only);
    EXPECT_EQ(pair.First(Low, 1), NoNode);
    pair.Remove(0);
    EXPECT_TRUE(pair.Valid());
    EXPECT_EQ(pair.First(Low, 0), NoNode);
}

// Runs that grow one end of the list are what unbalances a tree kept in list order.
TEST(FreeBlockIndexTest, InsertionsAtOneEndStayBalancedAndInOrder) {
    for (int end : {Low, High}) {
        SCOPED_TRACE(end);
        Pair pair(4000);
        for (uint32_t i = 0; i < 4000; ++i) {
            pair.Insert(end == Low ? 0 : pair.List().size(), i);
            if (i % 97 == 0) {
                ASSERT_TRUE(pair.Valid()) << i;
            }
        }
        ASSERT_TRUE(pair.Valid());
        EXPECT_EQ(pair.Index().Largest(), 3999u);
        // The largest block is the newest, at the end the insertions went to.
        const uint16_t newest = end == Low ? pair.List().front().block : pair.List().back().block;
        EXPECT_EQ(pair.First(1 - end, 3999), newest);
        EXPECT_EQ(pair.Search(Low, 3990), pair.Scan(Low, 3990));
        // Removing from the other end, the oldest first, turns the tree the other way.
        while (pair.List().size() > 1) {
            pair.Remove(end == Low ? pair.List().size() - 1 : 0);
            if (pair.List().size() % 89 == 0) {
                ASSERT_TRUE(pair.Valid()) << pair.List().size();
            }
        }
        EXPECT_TRUE(pair.Valid());
        EXPECT_EQ(pair.Index().Largest(), 3999u);
    }
}

TEST(FreeBlockIndexTest, RandomChangesMatchAPlainList) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        Pair pair(300);
        bool full = false, emptied = false;
        for (int step = 0; step < 6000 && !::testing::Test::HasFailure(); ++step) {
            SCOPED_TRACE(step);
            // The list fills the whole table, then empties, twice over: nodes split up to a
            // full pool and merge down to an empty root.
            const bool growing = step / 1500 % 2 == 0;
            const size_t count = pair.List().size();
            const unsigned choice = random() % 10;
            if (count == 0 || (choice < (growing ? 6u : 2u) && pair.Unused() > 0)) {
                // Either end half the time, otherwise between any two neighbours.
                const size_t at =
                    random() % 2 ? (random() % 2 ? 0 : count) : random() % (count + 1);
                pair.Insert(at, DrawSize(random));
            } else if (choice < 8) {
                pair.Remove(random() % count);
            } else if (choice == 8 && pair.Unused() > 0) {
                pair.Replace(random() % count, DrawSize(random));
            } else if (choice == 9 && random() % 2 && pair.Unused() > 1) {
                pair.ReplaceWithTwo(random() % count, DrawSize(random), DrawSize(random));
            } else {
                pair.Resize(random() % count, DrawSize(random));
            }
            full |= pair.Unused() == 0;
            emptied |= full && pair.List().empty();
            ASSERT_TRUE(pair.Valid());
            EXPECT_EQ(pair.Index().Largest(), pair.Largest());
            const uint32_t probes[] = {0, 1, DrawSize(random), pair.Largest(), pair.Largest() + 1};
            for (uint32_t atLeast : probes) {
                for (int from : {Low, High}) {
                    const std::vector<Listed> scan = pair.Scan(from, atLeast);
                    EXPECT_EQ(pair.First(from, atLeast), scan.empty() ? NoNode : scan[0].block);
                }
            }
            // Enumerating every match from a node walks both climbs and descents.
            const uint32_t atLeast = DrawSize(random);
            const int from = int(random() % 2);
            ASSERT_EQ(pair.Search(from, atLeast), pair.Scan(from, atLeast)) << atLeast;
        }
        EXPECT_TRUE(full && emptied);
    }
}

// What a split of a free block does to the index: the block gives way to two smaller ones in its
// place. Here it is always the largest block, whose size must come down through every level, and
// every other round its leaf is full, so that the leaf splits too.
TEST(FreeBlockIndexTest, ABlockGivingWayToTwoLowersTheLargestWithOrWithoutALeafSplit) {
    for (int end : {Low, High}) {
        SCOPED_TRACE(end);
        Pair pair(400);
        for (uint32_t i = 0; i < 64; ++i) pair.Insert(pair.List().size(), 10 + i % 8);
        size_t at = 32;
        uint32_t size = 100000;
        pair.Insert(at, size);
        for (int round = 0; round < 12; ++round) {
            SCOPED_TRACE(round);
            auto fill = [&] { return pair.Nodes()[pair.LeafOf()[pair.List()[at].block]].count; };
            // A block entered just before goes into the same leaf.
            if (round % 2 == 0)
                for (; fill() < FreeBlockIndex::Fanout; ++at) pair.Insert(at, 20);
            ASSERT_EQ(fill() == FreeBlockIndex::Fanout, round % 2 == 0);
            // The larger part stays towards the end searched from, where the next round finds it;
            // the smaller is smaller than any other block.
            const uint32_t larger = size / 2, smaller = 5;
            if (end == Low) {
                pair.ReplaceWithTwo(at, larger, smaller);
            } else {
                pair.ReplaceWithTwo(at, smaller, larger);
                ++at;
            }
            size = larger;
            ASSERT_TRUE(pair.Valid());
            EXPECT_EQ(pair.Index().Largest(), size);
            EXPECT_EQ(pair.First(end, size), pair.List()[at].block);
            EXPECT_EQ(pair.Search(1 - end, smaller), pair.Scan(1 - end, smaller));
        }
        EXPECT_EQ(size, 24u);  // still above every other block
    }
}

TEST(FreeBlockIndexTest, ADroppedIndexHoldsNothingUntilKeptAgain) {
    Pair pair(500);
    for (uint32_t i = 0; i < 300; ++i)
        pair.Insert(i % 7 == 0 ? 0 : pair.List().size(), i * 37 % 1000);
    ASSERT_TRUE(pair.Valid());
    pair.Drop();
    EXPECT_FALSE(pair.Index().Kept());
    EXPECT_EQ(pair.Index().Largest(), 0u);
    // Holds nothing, with every node unused again: Validate counts them.
    EXPECT_TRUE(pair.Index().Validate({}));
    pair.KeepAgain();
    ASSERT_TRUE(pair.Valid());
    EXPECT_EQ(pair.Index().Largest(), 999u);
    pair.Insert(5, 123456);
    EXPECT_EQ(pair.Index().Largest(), 123456u);
    EXPECT_EQ(pair.Search(High, 500), pair.Scan(High, 500));
}

TEST(FreeBlockIndexTest, ValidateNoticesEachKindOfDamage) {
    constexpr uint32_t Blocks = 200;
    Pair pair(Blocks);
    // Falling sizes appended at the high end: every leaf's largest block is its first.
    for (uint32_t i = 0; i < 120; ++i) pair.Insert(pair.List().size(), 1000 - i);
    ASSERT_TRUE(pair.Valid());
    const std::vector<uint16_t> intact = pair.Table();
    FreeBlockIndex::Node* nodes = pair.Nodes();
    const uint16_t first = pair.List().front().block;
    const uint16_t leaf = pair.LeafOf()[first];
    ASSERT_EQ(nodes[leaf].entry[0], first) << "the table is laid out as the header says";
    ASSERT_EQ(nodes[leaf].count, FreeBlockIndex::MinFill);
    const uint16_t parent = nodes[leaf].parent;
    ASSERT_NE(parent, FreeBlockIndex::NoNode);

    const struct {
        const char* what;
        void (*apply)(FreeBlockIndex::Node* nodes, uint16_t* leafOf, uint16_t leaf);
    } damages[] = {
        {"a stale size in a leaf", [](auto nodes, auto, uint16_t n) { nodes[n].size[1] += 1; }},
        {"a stale largest size above",
         [](auto nodes, auto, uint16_t n) { nodes[nodes[n].parent].size[0] -= 1; }},
        {"a stale largest size of a node",
         [](auto nodes, auto, uint16_t n) { nodes[nodes[n].parent].largest += 1; }},
        {"a wrong parent link", [](auto nodes, auto, uint16_t n) { nodes[n].parent ^= 1; }},
        {"a block whose leaf is wrong",
         [](auto nodes, auto leafOf, uint16_t n) { leafOf[nodes[n].entry[2]] ^= 1; }},
        {"two blocks swapped",
         [](auto nodes, auto, uint16_t n) {
             std::swap(nodes[n].entry[1], nodes[n].entry[2]);
             std::swap(nodes[n].size[1], nodes[n].size[2]);
         }},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.what);
        pair.Table() = intact;
        damage.apply(nodes, pair.LeafOf(), leaf);
        EXPECT_FALSE(pair.Valid());
    }
    pair.Table() = intact;
    EXPECT_TRUE(pair.Valid());

    // A list that differs from what the tree holds: a size, a member, the order.
    std::vector<Listed> list = pair.List();
    list[5].size += 1;
    EXPECT_FALSE(pair.Index().Validate(list));
    list = pair.List();
    list.pop_back();
    EXPECT_FALSE(pair.Index().Validate(list));
    list = pair.List();
    std::swap(list[7], list[8]);
    EXPECT_FALSE(pair.Index().Validate(list));

    // A leaf under the fill every node but the root keeps, although all else agrees: its last
    // block is not its largest, and the list leaves it out too.
    list = pair.List();
    list.erase(list.begin() + FreeBlockIndex::MinFill - 1);
    --nodes[leaf].count;
    EXPECT_FALSE(pair.Index().Validate(list));
    ++nodes[leaf].count;
    EXPECT_TRUE(pair.Valid());
}
