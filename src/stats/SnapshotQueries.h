// SnapshotQueries - read-only queries over a host's MemSnapshot.
//
// Categories are found by a hash of their name over a map sorted by hash; only hashes are ever
// compared, so names with equal hashes are one category. Queries by index and by name hold the
// snapshot's own lock while they read; the child queries take none. Every query tolerates a null
// snapshot; a map entry with a null node, a record with a null category and a null name are
// treated as absent.
#pragma once

#include <stdint.h>

#include "IQXMemory.h"

namespace SnapshotQueries {

// 0 for the empty name; h = h * 919 + code of each byte, letters of either case alike. Defined
// once, inline, by the companion header (qxmemory::HashCategoryName) that hosts build maps with.
uint32_t HashCategoryName(const char* name);
// The node of the entry whose hash matches the name's, as a bisection first meets it; null if
// none (or the entry's node is null).
CategoryNode* FindCategory(const MemSnapshot::CategoryMap& map, const char* name);

uint32_t GetCategoryCount(MemSnapshot* snapshot);
bool GetCategoryStatsByName(MemSnapshot* snapshot, const char* name, MemStats* first,
                            MemStats* second);
bool GetCategoryStats(MemSnapshot* snapshot, uint32_t index, uint32_t* id, MemStats* first,
                      MemStats* second);
uint32_t GetRecordCount(MemSnapshot* snapshot);
bool GetRecord(MemSnapshot* snapshot, uint32_t index, uint32_t* categoryId, uint32_t* firstWord,
               uint32_t* secondWord, MemStats* stats);
uint32_t GetChildCategoryCount(MemSnapshot* snapshot, const char* name);
void GetChildCategoryId(MemSnapshot* snapshot, const char* name, uint32_t index, uint32_t* id);

}  // namespace SnapshotQueries
