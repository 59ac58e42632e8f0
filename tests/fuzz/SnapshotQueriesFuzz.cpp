// Snapshot queries over fuzzed but well-formed snapshots: names of any bytes, a map sorted by
// hash, parents pointing at nodes of the map or null, entries without a node, and a record
// table. Every answer is compared with a brute-force reading of the same snapshot.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "stats/SnapshotQueries.h"
#include "support/SnapshotBuilder.h"

namespace {

using namespace SnapshotQueries;

// The name codes written out as the table gives them: letters of either case 1 to 26, digits
// 27 to 36, then these characters 37 to 69 in this order, every other byte 0.
uint32_t CharCode(unsigned char byte) {
    static const std::string punctuation = " _-+=\\|[]{};:'\"/?,.<>!@#$%^&*()`~";
    if (byte >= 'a' && byte <= 'z') return byte - 'a' + 1;
    if (byte >= 'A' && byte <= 'Z') return byte - 'A' + 1;
    if (byte >= '0' && byte <= '9') return byte - '0' + 27;
    const size_t at = byte ? punctuation.find(char(byte)) : std::string::npos;
    return at == std::string::npos ? 0 : uint32_t(37 + at);
}

uint32_t ModelHash(const std::string& name) {
    uint64_t hash = 0;
    for (unsigned char byte : name) hash = (hash * 919 + CharCode(byte)) % (uint64_t(1) << 32);
    return uint32_t(hash);
}

MemStats FuzzedStats(FuzzedDataProvider& in) {
    MemStats stats;
    for (uint32_t& word : stats.words) word = in.ConsumeIntegral<uint32_t>();
    return stats;
}

const MemStats Untouched = Words(0xC0DE0000u);

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
        std::vector<uint32_t> at;
        for (uint32_t i = 0; i < map_.count; ++i)
            if (map_.entries[i].hash == hash) at.push_back(i);
        if (at.empty()) return nullptr;
        if (at.size() == 1) return map_.entries[at[0]].node;
        int64_t low = 0, high = int64_t(map_.count) - 1;
        while (low <= high) {
            const int64_t middle = (low + high) / 2;
            if (map_.entries[middle].hash == hash) {
                FUZZ_CHECK(std::count(at.begin(), at.end(), uint32_t(middle)) == 1);
                return map_.entries[middle].node;
            }
            if (hash < map_.entries[middle].hash)
                high = middle - 1;
            else
                low = middle + 1;
        }
        FUZZ_CHECK(false);  // sorted hashes: the bisection cannot miss a present hash
        return nullptr;
    }

    std::vector<uint32_t> ChildIds(const CategoryNode* parent) const {
        std::vector<uint32_t> ids;
        for (uint32_t i = 0; i < map_.count; ++i)
            if (map_.entries[i].node && map_.entries[i].node->parent == parent)
                ids.push_back(map_.entries[i].node->id);
        return ids;
    }

private:
    const MemSnapshot::CategoryMap& map_;
};

// Everything the name and child queries answer for one name (null: the top level).
void CheckName(MemSnapshot* snapshot, const Model& model, const char* name) {
    const CategoryNode* node = name ? model.Find(ModelHash(name)) : nullptr;
    if (name) {
        FUZZ_CHECK(HashCategoryName(name) == ModelHash(name));
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
    const std::vector<uint32_t> children = model.ChildIds(node);
    FUZZ_CHECK(GetChildCategoryCount(snapshot, name) == children.size());
    for (uint32_t i = 0; i <= children.size(); ++i) {
        uint32_t id = 0xC0DEu;
        GetChildCategoryId(snapshot, name, i, &id);
        FUZZ_CHECK(id == (i < children.size() ? children[i] : 0u));
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
    std::string name = in.ConsumeRandomLengthString(16);
    name.erase(std::find(name.begin(), name.end(), '\0'), name.end());
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    SnapshotBuilder builder;
    std::deque<CategoryNode> nodes;
    std::vector<Category> categories;

    const size_t categoryCount = in.ConsumeIntegralInRange<size_t>(0, 48);
    for (size_t i = 0; i < categoryCount; ++i) {
        Category category;
        category.name = FuzzedName(in, categories);
        category.hash = ModelHash(category.name);
        category.node = nullptr;
        if (in.ConsumeIntegralInRange(0, 7) != 0) {
            // The parent is one of the nodes made so far, or none.
            CategoryNode* parent = nullptr;
            if (!nodes.empty() && in.ConsumeBool())
                parent = &nodes[in.ConsumeIntegralInRange<size_t>(0, nodes.size() - 1)];
            nodes.push_back(
                {FuzzedStats(in), FuzzedStats(in), in.ConsumeIntegral<uint32_t>(), parent});
            category.node = &nodes.back();
        }
        builder.AddEntry(category.hash, category.node);
        categories.push_back(category);
    }
    const size_t recordCount = nodes.empty() ? 0 : in.ConsumeIntegralInRange<size_t>(0, 32);
    for (size_t i = 0; i < recordCount; ++i) {
        CategoryNode* node = &nodes[in.ConsumeIntegralInRange<size_t>(0, nodes.size() - 1)];
        const uint32_t first = in.ConsumeIntegral<uint32_t>();
        builder.AddRecord(node, first, in.ConsumeIntegral<uint32_t>(), FuzzedStats(in));
    }

    MemSnapshot* snapshot = &builder.snapshot;
    const MemSnapshot::CategoryMap& map = snapshot->categoryMap;
    FUZZ_CHECK(map.count == categories.size());
    for (uint32_t i = 1; i < map.count; ++i)
        FUZZ_CHECK(map.entries[i - 1].hash <= map.entries[i].hash);
    const Model model(*snapshot);

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
    for (const Category& category : categories) CheckName(snapshot, model, category.name.c_str());
    CheckName(snapshot, model, nullptr);
    while (in.remaining_bytes() > 0) CheckName(snapshot, model, FuzzedName(in, categories).c_str());

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
