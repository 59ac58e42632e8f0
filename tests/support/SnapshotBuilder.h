// SnapshotBuilder - a MemSnapshot put together the way a host would: categories added in any
// order, the map kept sorted by hash, records pointing at category nodes.
#pragma once

#include <algorithm>

#include "IQXMemory.h"
#include "QXMemory.hpp"
#include "stats/SnapshotQueries.h"

// Ten distinct words starting at base, so every copied word can be told apart.
inline MemStats Words(uint32_t base) {
    MemStats stats;
    for (uint32_t i = 0; i < 10; ++i) stats.words[i] = base + i;
    return stats;
}

inline bool SameWords(const MemStats& a, const MemStats& b) {
    return std::equal(a.words, a.words + 10, b.words);
}

// The companion header's builder under the names the tests use; each change is published to
// the public snapshot member, a caller-owned snapshot as a host would keep one.
class SnapshotBuilder {
public:
    SnapshotBuilder() { builder_.Publish(snapshot); }

    // A category whose two records are Words(id * 100) and Words(id * 100 + 50).
    CategoryNode* Add(uint32_t hash, uint32_t id, CategoryNode* parent = nullptr) {
        CategoryNode* node =
            builder_.AddCategoryWithHash(hash, id, parent, Words(id * 100), Words(id * 100 + 50));
        builder_.Publish(snapshot);
        return node;
    }
    CategoryNode* Add(const char* name, uint32_t id, CategoryNode* parent = nullptr) {
        return Add(SnapshotQueries::HashCategoryName(name), id, parent);
    }
    CategoryNode* AddEntry(uint32_t hash, CategoryNode* node) {
        builder_.AddEntry(hash, node);
        builder_.Publish(snapshot);
        return node;
    }
    SnapshotRecord* AddRecord(CategoryNode* category, uint32_t first, uint32_t second,
                              const MemStats& stats) {
        SnapshotRecord* record = builder_.AddRecord(category, first, second, stats);
        builder_.Publish(snapshot);
        return record;
    }

    MemSnapshot snapshot;

private:
    qxmemory::SnapshotBuilder builder_;  // declared after snapshot: destroyed before it
};
