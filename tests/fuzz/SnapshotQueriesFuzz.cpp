// Snapshot queries over fuzzed but well-formed snapshots: names of any bytes, a map sorted by
// hash, parents pointing at nodes of the map or null, entries without a node, and a record
// table. Every answer is compared with a brute-force reading of the same snapshot. The children
// of each parent are listed in full the first time a name leads to it; a later name that leads
// to the same parent is checked for its count and one of its children.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "stats/SnapshotQueries.h"
#include "support/SnapshotBuilder.h"

namespace {

using namespace SnapshotQueries;

// The name codes written out as the table gives them: letters of either case 1 to 26, digits
// 27 to 36, then these characters 37 to 69 in this order, every other byte 0. Worked out once
// for all 256 bytes rather than searched for per byte.
struct CharCodes {
    CharCodes() {
        static const std::string punctuation = " _-+=\\|[]{};:'\"/?,.<>!@#$%^&*()`~";
        for (unsigned byte = 0; byte < 256; ++byte) {
            uint32_t code = 0;
            if (byte >= 'a' && byte <= 'z') code = byte - 'a' + 1;
            if (byte >= 'A' && byte <= 'Z') code = byte - 'A' + 1;
            if (byte >= '0' && byte <= '9') code = byte - '0' + 27;
            const size_t at = byte ? punctuation.find(char(byte)) : std::string::npos;
            if (at != std::string::npos) code = uint32_t(37 + at);
            codes[byte] = code;
        }
    }
    uint32_t codes[256];
};

uint32_t CharCode(unsigned char byte) {
    static const CharCodes table;
    return table.codes[byte];
}

uint32_t ModelHash(const char* name) {
    uint64_t hash = 0;
    for (; *name; ++name)
        hash = (hash * 919 + CharCode(static_cast<unsigned char>(*name))) % (uint64_t(1) << 32);
    return uint32_t(hash);
}

MemStats FuzzedStats(FuzzedDataProvider& in) {
    MemStats stats;
    for (uint32_t& word : stats.words) word = in.ConsumeIntegral<uint32_t>();
    return stats;
}

const MemStats Untouched = Words(0xC0DE0000u);
constexpr uint32_t MaxCategories = 48;
constexpr uint32_t MaxRecords = 32;

struct Category {
    std::string name;
    uint32_t hash;
    CategoryNode* node;  // null for an entry without a node
};

class Model {
public:
    explicit Model(const MemSnapshot& snapshot) : map_(snapshot.categoryMap) {}

    // The node a name stands for. With one entry of the hash the answer is that entry's; with
    // several, the one an independent bisection over the hashes meets first.
    CategoryNode* Find(uint32_t hash) const {
        uint32_t entries = 0;
        uint32_t first = 0;
        for (uint32_t i = 0; i < map_.count; ++i)
            if (map_.entries[i].hash == hash && entries++ == 0) first = i;
        if (entries == 0) return nullptr;
        if (entries == 1) return map_.entries[first].node;
        int64_t low = 0, high = int64_t(map_.count) - 1;
        while (low <= high) {
            const int64_t middle = (low + high) / 2;
            if (map_.entries[middle].hash == hash) return map_.entries[middle].node;
            if (hash < map_.entries[middle].hash)
                high = middle - 1;
            else
                low = middle + 1;
        }
        FUZZ_CHECK(false);  // sorted hashes: the bisection cannot miss a present hash
        return nullptr;
    }

    // The ids of parent's children in map order; ChildCount() of them, valid until the next
    // call.
    const uint32_t* ChildIds(const CategoryNode* parent) {
        childCount_ = 0;
        for (uint32_t i = 0; i < map_.count; ++i)
            if (map_.entries[i].node && map_.entries[i].node->parent == parent)
                ids_[childCount_++] = map_.entries[i].node->id;
        return ids_;
    }
    uint32_t ChildCount() const { return childCount_; }

    // True the first time it is asked about parent.
    bool FirstVisit(const CategoryNode* parent) {
        if (std::find(listed_, listed_ + listedCount_, parent) != listed_ + listedCount_)
            return false;
        listed_[listedCount_++] = parent;
        return true;
    }

private:
    // Fixed arrays: a snapshot has few categories, and heap blocks cost more than the queries.
    const MemSnapshot::CategoryMap& map_;
    uint32_t ids_[MaxCategories];
    uint32_t childCount_ = 0;
    const CategoryNode* listed_[MaxCategories + 1];  // parents whose children were listed
    uint32_t listedCount_ = 0;
};

// Everything the name and child queries answer for one name (null: the top level). The children
// are listed in full for a parent met for the first time; for one listed before, the count and
// the child at index spot (modulo one past the last) show that the name leads to it.
void CheckName(MemSnapshot* snapshot, Model& model, const char* name, uint32_t spot) {
    const uint32_t hash = name ? ModelHash(name) : 0;
    const CategoryNode* node = name ? model.Find(hash) : nullptr;
    if (name) {
        FUZZ_CHECK(HashCategoryName(name) == hash);
        MemStats first = Untouched, second = Untouched;
        const bool found = GetCategoryStatsByName(snapshot, name, &first, &second);
        FUZZ_CHECK(found == (node != nullptr));
        if (found) {
            FUZZ_CHECK(SameWords(first, node->first) && SameWords(second, node->second));
        } else {
            FUZZ_CHECK(SameWords(first, Untouched) && SameWords(second, Untouched));
        }
    }
    // An unknown name, or one whose entry has no node, asks for the top level.
    const uint32_t* children = model.ChildIds(node);
    const uint32_t childCount = model.ChildCount();
    FUZZ_CHECK(GetChildCategoryCount(snapshot, name) == childCount);
    if (!model.FirstVisit(node)) {
        const uint32_t i = spot % (childCount + 1);
        uint32_t id = 0xC0DEu;
        GetChildCategoryId(snapshot, name, i, &id);
        FUZZ_CHECK(id == (i < childCount ? children[i] : 0u));
        return;
    }
    for (uint32_t i = 0; i <= childCount; ++i) {
        uint32_t id = 0xC0DEu;
        GetChildCategoryId(snapshot, name, i, &id);
        FUZZ_CHECK(id == (i < childCount ? children[i] : 0u));
    }
    uint32_t id = 0xC0DEu;
    GetChildCategoryId(snapshot, name, 0xFFFFFFFFu, &id);
    FUZZ_CHECK(id == 0);
}

std::string FuzzedName(FuzzedDataProvider& in, const std::vector<Category>& known) {
    if (!known.empty() && in.ConsumeIntegralInRange(0, 3) == 0) {
        // A known name with the case of its letters flipped: the same category.
        std::string name = known[in.ConsumeIntegralInRange<size_t>(0, known.size() - 1)].name;
        for (char& c : name)
            if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') c ^= 0x20;
        return name;
    }
    // Up to 15 bytes: the string stays in place rather than taking a heap block per name.
    std::string name = in.ConsumeRandomLengthString(15);
    name.erase(std::find(name.begin(), name.end(), '\0'), name.end());
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // The snapshot is laid out in fixed arrays, as a host with a bounded set of categories could
    // keep it: nodes keep their addresses, and no input pays for heap blocks.
    static CategoryNode nodes[MaxCategories];
    static CategoryMapEntry entries[MaxCategories];
    static SnapshotRecord records[MaxRecords];
    static RecordTableEntry table[MaxRecords];
    std::vector<Category> categories;
    const size_t categoryCount = in.ConsumeIntegralInRange<size_t>(0, MaxCategories);
    categories.reserve(categoryCount);
    size_t nodeCount = 0;

    for (size_t i = 0; i < categoryCount; ++i) {
        Category category;
        category.name = FuzzedName(in, categories);
        category.hash = ModelHash(category.name.c_str());
        category.node = nullptr;
        if (in.ConsumeIntegralInRange(0, 7) != 0) {
            // The parent is one of the nodes made so far, or none.
            CategoryNode* parent = nullptr;
            if (nodeCount != 0 && in.ConsumeBool())
                parent = &nodes[in.ConsumeIntegralInRange<size_t>(0, nodeCount - 1)];
            nodes[nodeCount] = {FuzzedStats(in), FuzzedStats(in), in.ConsumeIntegral<uint32_t>(),
                                parent};
            category.node = &nodes[nodeCount++];
        }
        entries[i] = {category.hash, category.node};
        categories.push_back(category);
    }
    // Sorted by hash as a host keeps the map; entries of equal hash stay in the order they came.
    std::stable_sort(
        entries, entries + categoryCount,
        [](const CategoryMapEntry& a, const CategoryMapEntry& b) { return a.hash < b.hash; });
    const size_t recordCount =
        nodeCount == 0 ? 0 : in.ConsumeIntegralInRange<size_t>(0, MaxRecords);
    for (size_t i = 0; i < recordCount; ++i) {
        CategoryNode* node = &nodes[in.ConsumeIntegralInRange<size_t>(0, nodeCount - 1)];
        const uint32_t first = in.ConsumeIntegral<uint32_t>();
        const uint32_t second = in.ConsumeIntegral<uint32_t>();
        records[i] = {first, second, node, 0, FuzzedStats(in)};
        table[i] = {{0, 0}, &records[i]};
    }

    MemSnapshot storage;
    storage.categoryMap.entries = entries;
    storage.categoryMap.count = uint32_t(categoryCount);
    storage.records = table;
    storage.recordCount = uint32_t(recordCount);
    MemSnapshot* snapshot = &storage;
    const MemSnapshot::CategoryMap& map = snapshot->categoryMap;
    Model model(*snapshot);

    // By index, one past the end and far past it.
    FUZZ_CHECK(GetCategoryCount(snapshot) == map.count);
    for (uint32_t i = 0; i <= map.count + 1; ++i) {
        const uint32_t index = i <= map.count ? i : 0xFFFFFFFFu;
        uint32_t id = 0xC0DEu;
        MemStats first = Untouched, second = Untouched;
        const bool found = GetCategoryStats(snapshot, index, &id, &first, &second);
        const CategoryNode* node = index < map.count ? map.entries[index].node : nullptr;
        FUZZ_CHECK(found == (node != nullptr));
        if (found) {
            FUZZ_CHECK(id == node->id && SameWords(first, node->first) &&
                       SameWords(second, node->second));
        } else {
            FUZZ_CHECK(id == 0xC0DEu && SameWords(first, Untouched) &&
                       SameWords(second, Untouched));
        }
    }

    FUZZ_CHECK(GetRecordCount(snapshot) == recordCount);
    for (uint32_t i = 0; i <= recordCount + 1; ++i) {
        const uint32_t index = i <= recordCount ? i : 0xFFFFFFFFu;
        uint32_t id = 0xC0DEu, first = 0xC0DEu, second = 0xC0DEu;
        MemStats stats = Untouched;
        const bool found = GetRecord(snapshot, index, &id, &first, &second, &stats);
        FUZZ_CHECK(found == (index < recordCount));
        if (found) {
            const SnapshotRecord& record = *snapshot->records[index].record;
            FUZZ_CHECK(id == record.category->id && first == record.firstWord &&
                       second == record.secondWord && SameWords(stats, record.stats));
        } else {
            FUZZ_CHECK(id == 0xC0DEu && first == 0xC0DEu && second == 0xC0DEu &&
                       SameWords(stats, Untouched));
        }
    }

    // Every name of the map, the top level, and names made up after the map was built.
    uint32_t spot = 0;
    CheckName(snapshot, model, nullptr, spot++);
    for (const Category& category : categories)
        CheckName(snapshot, model, category.name.c_str(), spot++);
    while (in.remaining_bytes() > 0)
        CheckName(snapshot, model, FuzzedName(in, categories).c_str(), spot++);

    // A null snapshot answers 0, false or nothing, and writes nothing.
    uint32_t word = 0xC0DEu;
    MemStats first = Untouched, second = Untouched;
    FUZZ_CHECK(GetCategoryCount(nullptr) == 0 && GetRecordCount(nullptr) == 0);
    FUZZ_CHECK(!GetCategoryStatsByName(nullptr, "All", &first, &second));
    FUZZ_CHECK(!GetCategoryStats(nullptr, 0, &word, &first, &second));
    FUZZ_CHECK(!GetRecord(nullptr, 0, &word, &word, &word, &first));
    FUZZ_CHECK(GetChildCategoryCount(nullptr, nullptr) == 0);
    GetChildCategoryId(nullptr, nullptr, 0, &word);
    FUZZ_CHECK(word == 0xC0DEu && SameWords(first, Untouched) && SameWords(second, Untouched));
    return 0;
}
