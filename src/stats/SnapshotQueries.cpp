#include "stats/SnapshotQueries.h"

#include <array>

namespace SnapshotQueries {

namespace {

// Letters 1-26 (either case), digits 27-36, these 33 characters 37-69, every other byte 0.
constexpr char Punctuation[] = " _-+=\\|[]{};:'\"/?,.<>!@#$%^&*()`~";
static_assert(sizeof(Punctuation) - 1 == 33, "codes 37 to 69");

constexpr std::array<uint8_t, 256> MakeCharCodes() {
    std::array<uint8_t, 256> codes{};
    for (int letter = 0; letter < 26; ++letter) {
        codes['A' + letter] = codes['a' + letter] = uint8_t(1 + letter);
    }
    for (int digit = 0; digit < 10; ++digit) codes['0' + digit] = uint8_t(27 + digit);
    for (int i = 0; i < 33; ++i) codes[uint8_t(Punctuation[i])] = uint8_t(37 + i);
    return codes;
}

constexpr std::array<uint8_t, 256> CategoryCharCode = MakeCharCodes();
static_assert(CategoryCharCode['~'] == 69 && CategoryCharCode[' '] == 37, "table ends");

// The parent node a child query looks for: null for a null or unknown name.
CategoryNode* ParentFor(MemSnapshot* snapshot, const char* name) {
    return name ? FindCategory(snapshot->categoryMap, name) : nullptr;
}

bool IsChildOf(const CategoryMapEntry& entry, const CategoryNode* parent) {
    return entry.node && entry.node->parent == parent;
}

}  // namespace

uint32_t HashCategoryName(const char* name) {
    uint32_t hash = 0;
    for (const unsigned char* byte = reinterpret_cast<const unsigned char*>(name); *byte; ++byte)
        hash = hash * 919 + CategoryCharCode[*byte];
    return hash;
}

CategoryNode* FindCategory(const MemSnapshot::CategoryMap& map, const char* name) {
    const uint32_t key = HashCategoryName(name);
    int32_t low = 0;
    int32_t high = int32_t(map.count) - 1;
    while (low <= high) {
        const int32_t middle = (low + high) / 2;
        const uint32_t hash = map.entries[middle].hash;
        if (key == hash) return map.entries[middle].node;
        if (key < hash)
            high = middle - 1;
        else
            low = middle + 1;
    }
    return nullptr;
}

uint32_t GetCategoryCount(MemSnapshot* snapshot) {
    if (!snapshot) return 0;
    ScopedLock hold(snapshot->lock);
    return snapshot->categoryMap.count;
}

bool GetCategoryStatsByName(MemSnapshot* snapshot, const char* name, MemStats* first,
                            MemStats* second) {
    if (!snapshot || !name) return false;
    ScopedLock hold(snapshot->lock);
    const CategoryNode* node = FindCategory(snapshot->categoryMap, name);
    if (!node) return false;
    *first = node->first;
    *second = node->second;
    return true;
}

bool GetCategoryStats(MemSnapshot* snapshot, uint32_t index, uint32_t* id, MemStats* first,
                      MemStats* second) {
    if (!snapshot) return false;
    ScopedLock hold(snapshot->lock);
    if (index >= snapshot->categoryMap.count) return false;
    const CategoryNode* node = snapshot->categoryMap.entries[index].node;
    if (!node) return false;
    *id = node->id;
    *first = node->first;
    *second = node->second;
    return true;
}

uint32_t GetRecordCount(MemSnapshot* snapshot) {
    if (!snapshot) return 0;
    ScopedLock hold(snapshot->lock);
    return snapshot->recordCount;
}

bool GetRecord(MemSnapshot* snapshot, uint32_t index, uint32_t* categoryId, uint32_t* firstWord,
               uint32_t* secondWord, MemStats* stats) {
    if (!snapshot) return false;
    ScopedLock hold(snapshot->lock);
    if (index >= snapshot->recordCount) return false;
    const SnapshotRecord* record = snapshot->records[index].record;
    if (!record || !record->category) return false;
    *categoryId = record->category->id;
    *firstWord = record->firstWord;
    *secondWord = record->secondWord;
    *stats = record->stats;
    return true;
}

uint32_t GetChildCategoryCount(MemSnapshot* snapshot, const char* name) {
    if (!snapshot) return 0;
    const CategoryNode* parent = ParentFor(snapshot, name);
    const MemSnapshot::CategoryMap& map = snapshot->categoryMap;
    uint32_t count = 0;
    for (uint32_t i = 0; i < map.count; ++i) count += IsChildOf(map.entries[i], parent);
    return count;
}

void GetChildCategoryId(MemSnapshot* snapshot, const char* name, uint32_t index, uint32_t* id) {
    if (!snapshot) return;
    const CategoryNode* parent = ParentFor(snapshot, name);
    *id = 0;
    const MemSnapshot::CategoryMap& map = snapshot->categoryMap;
    uint32_t seen = 0;
    for (uint32_t i = 0; i < map.count; ++i) {
        if (!IsChildOf(map.entries[i], parent)) continue;
        if (seen++ == index) {
            *id = map.entries[i].node->id;
            return;
        }
    }
}

}  // namespace SnapshotQueries
