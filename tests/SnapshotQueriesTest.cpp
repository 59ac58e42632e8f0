// Snapshot queries over small host-built snapshots: the name hash, lookup by bisection, copies
// out by index and by name, the category tree, and which queries wait for the snapshot's lock.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <utility>

#include "stats/SnapshotQueries.h"
#include "support/SnapshotBuilder.h"

using namespace SnapshotQueries;

namespace {

uint32_t Hash(const std::string& name) { return HashCategoryName(name.c_str()); }

class SnapshotQueriesTest : public ::testing::Test {
protected:
    // Outputs preset so that a query that must write nothing can be caught writing.
    uint32_t id = 0xAAAAu, firstWord = 0xBBBBu, secondWord = 0xCCCCu;
    MemStats first = Words(900), second = Words(950);

    void ExpectOutputsUntouched() {
        EXPECT_EQ(id, 0xAAAAu);
        EXPECT_EQ(firstWord + secondWord, 0xBBBBu + 0xCCCCu);
        EXPECT_TRUE(SameWords(first, Words(900)) && SameWords(second, Words(950)));
    }

    SnapshotBuilder host;
    MemSnapshot* snapshot = &host.snapshot;
};

}  // namespace

TEST(CategoryNameHash, KnownNames) {
    EXPECT_EQ(Hash("abc"), 846402u);
    EXPECT_EQ(Hash("ABC"), 846402u);
    EXPECT_EQ(Hash("aBc"), 846402u);
    EXPECT_EQ(Hash("ab"), 921u);
    EXPECT_EQ(Hash(""), 0u);
    EXPECT_EQ(Hash("abcde"), 1873552067u) << "wraps modulo 2^32 at the fifth letter";
    // A byte without a code still multiplies the running value.
    EXPECT_EQ(Hash({'a', '\x7F', 'b'}), 844563u);
    EXPECT_EQ(Hash({'a', '\x80', 'b'}), 844563u);
}

TEST(CategoryNameHash, EveryByteHasItsCode) {
    for (char letter = 'a'; letter <= 'z'; ++letter) {
        EXPECT_EQ(Hash({letter}), uint32_t(letter - 'a' + 1)) << letter;
        EXPECT_EQ(Hash({char(letter - 'a' + 'A')}), uint32_t(letter - 'a' + 1)) << letter;
    }
    for (char digit = '0'; digit <= '9'; ++digit)
        EXPECT_EQ(Hash({digit}), uint32_t(digit - '0' + 27)) << digit;
    const std::pair<char, uint32_t> punctuation[] = {{' ', 37}, {'_', 38}, {'\\', 42}, {'}', 47},
                                                     {'"', 51}, {',', 54}, {'@', 59},  {'(', 66},
                                                     {')', 67}, {'`', 68}, {'~', 69}};
    for (const auto& p : punctuation) EXPECT_EQ(Hash({p.first}), p.second) << p.first;
    for (int byte : {0x01, 0x1F, 0x7F, 0x80, 0xFF})
        EXPECT_EQ(Hash({'a', char(byte)}), 919u) << byte;
    for (int byte = 1; byte < 256; ++byte) EXPECT_LE(Hash({char(byte)}), 69u);
}

TEST_F(SnapshotQueriesTest, LookupComparesHashesAsUnsignedWords) {
    CategoryNode* ab = host.Add("ab", 1);
    CategoryNode* abc = host.Add("abc", 2);
    CategoryNode* high = host.Add("abcdef", 3);
    ASSERT_GE(Hash("abcdef"), 0x80000000u) << "must sit above every positive signed hash";
    EXPECT_EQ(FindCategory(snapshot->categoryMap, "AB"), ab);
    EXPECT_EQ(FindCategory(snapshot->categoryMap, "aBC"), abc);
    EXPECT_EQ(FindCategory(snapshot->categoryMap, "abcdef"), high);
    EXPECT_EQ(FindCategory(snapshot->categoryMap, ""), nullptr);
    EXPECT_EQ(FindCategory(snapshot->categoryMap, "zzzz"), nullptr);
}

TEST_F(SnapshotQueriesTest, AmongEqualHashesTheBisectionMeetsTheMiddleFirst) {
    host.Add("abc", 1);
    CategoryNode* middle = host.Add("ABC", 2);
    host.Add("aBc", 3);
    ASSERT_TRUE(GetCategoryStatsByName(snapshot, "Abc", &first, &second));
    EXPECT_TRUE(SameWords(first, middle->first));
    host.Add("abC", 4);  // with four the first probe still rounds down to index 1
    EXPECT_EQ(FindCategory(snapshot->categoryMap, "abc"), middle);
}

TEST_F(SnapshotQueriesTest, EmptyAndNullSnapshotsAnswerNothing) {
    for (MemSnapshot* target : {snapshot, static_cast<MemSnapshot*>(nullptr)}) {
        SCOPED_TRACE(target ? "empty" : "null");
        EXPECT_EQ(GetCategoryCount(target), 0u);
        EXPECT_EQ(GetRecordCount(target), 0u);
        EXPECT_FALSE(GetCategoryStatsByName(target, "", &first, &second));
        EXPECT_FALSE(GetCategoryStats(target, 0, &id, &first, &second));
        EXPECT_FALSE(GetRecord(target, 0, &id, &firstWord, &secondWord, &first));
        EXPECT_EQ(GetChildCategoryCount(target, nullptr), 0u);
        ExpectOutputsUntouched();
    }
    GetChildCategoryId(nullptr, nullptr, 0, &id);
    EXPECT_EQ(id, 0xAAAAu) << "a null snapshot leaves the id alone";
    GetChildCategoryId(snapshot, nullptr, 0, &id);
    EXPECT_EQ(id, 0u);
}

TEST_F(SnapshotQueriesTest, IndexAtOrPastTheCountWritesNothing) {
    host.AddRecord(host.Add("All", 1), 1, 2, Words(10));
    for (uint32_t index : {1u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(GetCategoryStats(snapshot, index, &id, &first, &second)) << index;
        EXPECT_FALSE(GetRecord(snapshot, index, &id, &firstWord, &secondWord, &first)) << index;
    }
    ExpectOutputsUntouched();
}

TEST_F(SnapshotQueriesTest, CopiesKeepEveryWordIncludingWordThree) {
    CategoryNode* other = host.Add("Other", 7);
    CategoryNode* all = host.Add("All", 4);  // lower hash: it takes index 0
    host.AddRecord(other, 0xF1u, 0xF2u, Words(300));
    host.AddRecord(all, 0xE1u, 0xE2u, Words(400));
    EXPECT_EQ(GetCategoryCount(snapshot), 2u);
    EXPECT_EQ(GetRecordCount(snapshot), 2u);

    ASSERT_TRUE(GetCategoryStats(snapshot, 0, &id, &first, &second));
    EXPECT_EQ(id, 4u);
    EXPECT_TRUE(SameWords(first, all->first) && SameWords(second, all->second));
    ASSERT_TRUE(GetCategoryStatsByName(snapshot, "OTHER", &first, &second));
    EXPECT_TRUE(SameWords(first, other->first) && SameWords(second, other->second));

    ASSERT_TRUE(GetRecord(snapshot, 1, &id, &firstWord, &secondWord, &first));
    EXPECT_EQ(id, 4u);
    EXPECT_EQ(firstWord, 0xE1u);
    EXPECT_EQ(secondWord, 0xE2u);
    EXPECT_TRUE(SameWords(first, Words(400)));
}

TEST_F(SnapshotQueriesTest, EntriesWithoutANodeAreAbsent) {
    host.Add("All.Pool", 2, host.Add("All", 1));
    host.AddEntry(Hash("Gone"), nullptr);
    uint32_t gone = 0;
    while (snapshot->categoryMap.entries[gone].node) ++gone;
    EXPECT_FALSE(GetCategoryStatsByName(snapshot, "Gone", &first, &second));
    // Our choice where a query reaches a null node by index: false, nothing written.
    EXPECT_FALSE(GetCategoryStats(snapshot, gone, &id, &first, &second));
    ExpectOutputsUntouched();
    EXPECT_EQ(GetChildCategoryCount(snapshot, nullptr), 1u) << "not even a top-level category";
    EXPECT_EQ(GetChildCategoryCount(snapshot, "Gone"), 1u);
    GetChildCategoryId(snapshot, "Gone", 0, &id);
    EXPECT_EQ(id, 1u);
}

TEST_F(SnapshotQueriesTest, NullNamesAndNullCategoriesAreRefused) {
    host.Add("", 1);  // a null name must not be taken for the empty one
    SnapshotRecord* orphan = host.AddRecord(nullptr, 1, 2, Words(10));
    // Our choices: a null name finds nothing; a record without a category is not copied.
    EXPECT_FALSE(GetCategoryStatsByName(snapshot, nullptr, &first, &second));
    EXPECT_FALSE(GetRecord(snapshot, 0, &id, &firstWord, &secondWord, &first));
    ExpectOutputsUntouched();
    orphan->category = host.Add("All", 5);
    ASSERT_TRUE(GetRecord(snapshot, 0, &id, &firstWord, &secondWord, &first));
    EXPECT_EQ(id, 5u);
}

TEST_F(SnapshotQueriesTest, ChildrenAreMetInMapOrderAndMatchedByNode) {
    CategoryNode* all = host.Add("All", 1);
    host.Add("Other", 2);
    // Hashes 1 and 0xFFFFFFFF put two of All's children at the ends of the map.
    host.Add(0xFFFFFFFFu, 20, all);
    CategoryNode* pool = host.Add("All.Pool", 30, all);
    host.Add(1u, 10, all);
    host.Add("All.Pool.Small", 40, pool);
    CategoryNode lookalike = *all;  // All's id and records, but not All's node
    host.Add(5u, 50, &lookalike);

    EXPECT_EQ(GetChildCategoryCount(snapshot, nullptr), 2u);
    EXPECT_EQ(GetChildCategoryCount(snapshot, "No.Such.Name"), 2u);
    EXPECT_EQ(GetChildCategoryCount(snapshot, "ALL"), 3u);
    EXPECT_EQ(GetChildCategoryCount(snapshot, "All.Pool"), 1u);
    EXPECT_EQ(GetChildCategoryCount(snapshot, "All.Pool.Small"), 0u);
    const uint32_t childrenOfAll[] = {10, 30, 20, 0};  // map order; 0 past the last child
    for (uint32_t index = 0; index < 4; ++index) {
        id = 99;
        GetChildCategoryId(snapshot, "All", index, &id);
        EXPECT_EQ(id, childrenOfAll[index]) << index;
    }
    GetChildCategoryId(snapshot, nullptr, 1, &id);
    EXPECT_EQ(id, 2u);
    GetChildCategoryId(snapshot, "All.Pool", 0, &id);
    EXPECT_EQ(id, 40u);
}

namespace {

// Runs the query on another thread while this one holds the snapshot's lock; true when the
// query was still waiting after the given time. The query is let through before returning.
bool WaitsForTheLock(MemSnapshot& snapshot, std::function<uint32_t()> query,
                     std::chrono::milliseconds patience) {
    snapshot.lock.Lock();
    std::future<uint32_t> answer = std::async(std::launch::async, query);
    const bool waiting = answer.wait_for(patience) == std::future_status::timeout;
    snapshot.lock.Unlock();
    answer.get();
    return waiting;
}

}  // namespace

TEST_F(SnapshotQueriesTest, QueriesByIndexAndNameHoldTheSnapshotLock) {
    host.AddRecord(host.Add("All", 1), 1, 2, Words(10));
    const std::function<uint32_t()> queries[] = {
        [&] { return GetCategoryCount(snapshot); },
        [&] { return GetCategoryStatsByName(snapshot, "All", &first, &second); },
        [&] { return GetCategoryStatsByName(snapshot, "None", &first, &second); },
        [&] { return GetCategoryStats(snapshot, 1, &id, &first, &second); },
        [&] { return GetRecordCount(snapshot); },
        [&] { return GetRecord(snapshot, 0, &id, &firstWord, &secondWord, &first); },
    };
    // Each round starts by taking the lock here, which only returns if the query before it,
    // failing or not, let the lock go.
    for (size_t i = 0; i < 6; ++i)
        EXPECT_TRUE(WaitsForTheLock(host.snapshot, queries[i], std::chrono::milliseconds(100)))
            << "query " << i;
}

TEST_F(SnapshotQueriesTest, ChildQueriesDoNotTakeTheLock) {
    host.Add("All.Pool", 2, host.Add("All", 1));
    const auto patience = std::chrono::seconds(10);
    EXPECT_FALSE(WaitsForTheLock(
        host.snapshot, [&] { return GetChildCategoryCount(snapshot, "All"); }, patience));
    EXPECT_FALSE(WaitsForTheLock(
        host.snapshot, [&] { return GetChildCategoryId(snapshot, "All", 0, &id), id; }, patience));
    EXPECT_EQ(id, 2u);
}
