// SnapshotBuilder - a MemSnapshot put together the way a host would: categories added in any
// order, the map kept sorted by hash, records pointing at category nodes.
#pragma once

#include <algorithm>
#include <deque>
#include <vector>

#include "IQXMemory.h"
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

class SnapshotBuilder {
public:
    SnapshotBuilder() { Publish(); }

    // A category whose two records are Words(id * 100) and Words(id * 100 + 50).
    CategoryNode* Add(uint32_t hash, uint32_t id, CategoryNode* parent = nullptr) {
        nodes_.push_back({Words(id * 100), Words(id * 100 + 50), id, parent});
        return AddEntry(hash, &nodes_.back());
    }
    CategoryNode* Add(const char* name, uint32_t id, CategoryNode* parent = nullptr) {
        return Add(SnapshotQueries::HashCategoryName(name), id, parent);
    }
    CategoryNode* AddEntry(uint32_t hash, CategoryNode* node) {
        entries_.push_back({hash, node});
        std::stable_sort(
            entries_.begin(), entries_.end(),
            [](const CategoryMapEntry& a, const CategoryMapEntry& b) { return a.hash < b.hash; });
        Publish();
        return node;
    }
    SnapshotRecord* AddRecord(CategoryNode* category, uint32_t first, uint32_t second,
                              const MemStats& stats) {
        records_.push_back({first, second, category, 0, stats});
        table_.push_back({{0, 0}, &records_.back()});
        Publish();
        return &records_.back();
    }

    MemSnapshot snapshot;

private:
    void Publish() {
        snapshot.categoryMap.entries = entries_.data();
        snapshot.categoryMap.count = uint32_t(entries_.size());
        snapshot.records = table_.data();
        snapshot.recordCount = uint32_t(table_.size());
    }

    std::deque<CategoryNode> nodes_;  // a deque keeps node addresses stable as it grows
    std::deque<SnapshotRecord> records_;
    std::vector<CategoryMapEntry> entries_;
    std::vector<RecordTableEntry> table_;
};
