#include "stats/SnapshotQueries.h"

#include "QXMemory.hpp"

namespace SnapshotQueries {

namespace {

// The parent node a child query looks for: null for a null or unknown name.
CategoryNode* ParentFor(MemSnapshot* snapshot, const char* name) {
    return name ? FindCategory(snapshot->categoryMap, name) : nullptr;
}

bool IsChildOf(const CategoryMapEntry& entry, const CategoryNode* parent) {
    return entry.node && entry.node->parent == parent;
}

}  // namespace

// The companion header's inline hash is the one definition; hosts compute the same keys.
uint32_t HashCategoryName(const char* name) { return qxmemory::HashCategoryName(name); }

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
