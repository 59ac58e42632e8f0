// LibraryLocks - every lock the library owns, held together across fork().
//
// The child of a fork has only the thread that forked. A lock that another thread held at that
// moment would stay held in the child for good, and the child's first request that needs it
// would wait for ever. So before a fork the forking thread takes every lock, in the order the
// library's paths and its hosts' nest them, and afterwards leaves each once, in the parent and in
// the child alike. Range heaps and snapshots are their callers' and keep their own locks.
#pragma once

#include <stdint.h>

#include "IQXMemory.h"
#include "pool/BankRegistry.h"
#include "pool/BlockCache.h"
#include "pool/SmallMemAllocator.h"
#include "system/OutOfMemoryHandler.h"

struct LibraryLocks {
    // The subsystems whose locks are held; null for one that does not exist.
    BankRegistry* registry = nullptr;
    SmallMemAllocator* smallObjects = nullptr;
    BlockCache* cache = nullptr;
    OutOfMemoryHandler* handler = nullptr;

    // Calls visit(CriticalSectionLock&) for every lock, in the order they nest: the registry's
    // (user list, registry, bank list, then its banks), the eight bins, the block cache (taken
    // under a bank for a page, and under the registry when a failed chunk request flushes it),
    // then the out-of-memory handler (taken under the cache when the retry fails). No path holds
    // two banks, so the registry's banks and the bins may come in any order among themselves.
    // Reversed, the same locks come last first.
    template <typename Visit>
    void ForEachLock(Visit visit, bool reversed) const {
        if (!reversed) {
            if (registry) registry->ForEachLock(visit, false);
            if (smallObjects) {
                for (uint32_t bin = 0; bin < SmallMemAllocator::BinCount; ++bin)
                    visit(smallObjects->Bin(bin).GetLock());
            }
            if (cache) visit(cache->GetLock());
            if (handler) visit(handler->GetLock());
            return;
        }
        if (handler) visit(handler->GetLock());
        if (cache) visit(cache->GetLock());
        if (smallObjects) {
            for (uint32_t bin = SmallMemAllocator::BinCount; bin-- > 0;)
                visit(smallObjects->Bin(bin).GetLock());
        }
        if (registry) registry->ForEachLock(visit, true);
    }

    bool operator==(const LibraryLocks& other) const {
        return registry == other.registry && smallObjects == other.smallObjects &&
               cache == other.cache && handler == other.handler;
    }

    // Enters every lock, waiting for each in turn; the calling thread may hold some already.
    void Acquire() const;
    // Leaves every lock once, the last taken first, so the registry's chunk list cannot grow
    // before its banks are left. On the thread that called Acquire; in the child of a fork that
    // is the thread that forked, which owns the same locks there.
    void Release() const;
};
