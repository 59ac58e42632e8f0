// BlockCache - page blocks of the five size classes, kept for reuse within a byte budget.
//
// The budget counts blocks handed out and not yet given back (inUseBytes) and blocks cached
// (cachedBytes). The budget is a 32-bit setting, but the two counts are pointer-wide: on 64-bit
// targets their sum can pass 4 GiB, and a 32-bit sum would wrap and pass for a small one.
//
// The bookkeeping lives in the cached blocks themselves: each carries a CachedBlock header that
// links it into the list of its class (newest first) and into one ring of all cached blocks,
// entered through the anchor. Blocks given back are linked in right after the anchor, and
// eviction walks forward from the anchor's successor, so it takes the most recently cached blocks
// first and the anchor last.
//
// A block given back while others are cached is parked first: its own header is written as
// linking would write it (head of its class, the anchor's successor), but its neighbours do not
// yet point at it. The next Get of that class takes it back without touching another block; any
// other operation completes the links where it stands. Either way every result, the header bytes
// included, is that of linking it at once.
//
// Every block is an AlignedHeap block at the default alignment; the cache frees only through it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "IQXMemory.h"
#include "common/BlockClass.h"
#include "system/SystemHeap.h"

class AlignedHeap;

// The header the cache writes over the first bytes of a block while it holds it.
struct CachedBlock {
    CachedBlock** prevLink;  // the pointer that points at this block: a class head or a next
    CachedBlock* next;       // next cached block of the same class
    CachedBlock* ringNext;
    CachedBlock* ringPrev;
    uint32_t size;  // the class size, written when the block is cached
};
static_assert(offsetof(CachedBlock, size) == 4 * sizeof(void*), "four links, then the size");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(CachedBlock) == 20, "the 32-bit cached-block header is five words");
#endif

// On a cache line of its own start: a Get or Release touches the line of the lock, the counts and
// the anchor, and the line of the class heads (three lines when the object straddled them).
class alignas(64) BlockCache final : public CacheFlusher {
public:
    static constexpr uint32_t DefaultLimit = 0x1000000;  // 16 MiB

    explicit BlockCache(AlignedHeap& heap) : heap_(heap) {}
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    // A block of BlockClassSize(sizeClass) bytes, at the default alignment: the one of its class
    // given back most recently, else a new one after evicting other classes to make room. Null for
    // a class outside 0 to 4 (nothing changes) or when the heap fails.
    void* Get(int32_t sizeClass, const AllocTag* tag);
    // Gives back a block from Get with the same class: cached if the budget allows after
    // trimming, freed otherwise. Null, and classes outside 0 to 4, do nothing.
    void Release(int32_t sizeClass, void* block);
    // Frees every cached block, the anchor first, then its ring predecessors.
    void Flush() override;
    // Sets the budget; lowering it evicts down to the new limit.
    void SetLimit(uint32_t bytes);
    // The cache's lock, for holding every lock of the library across fork().
    CriticalSectionLock& GetLock() { return lock_; }

    // Observers for tests and checks.
    size_t InUseBytes() const { return inUseBytes_; }
    size_t CachedBytes() const { return cachedBytes_; }
    uint32_t Limit() const { return limit_; }
    uint32_t CachedCount(int32_t sizeClass);
    // Checks the class lists, the ring, cachedBytes and the anchor against each other.
    bool Validate();

private:
    // Evicts from the anchor's successor on until inUse + cached <= target; false if the
    // cache ran empty first. Lock held.
    bool Trim(uint32_t target) { return inUseBytes_ + cachedBytes_ <= target || Evict(target); }
    // Trim's eviction, once the total is over the target.
    bool Evict(uint32_t target);
    // Hands a given-back block of size bytes to the aligned heap. Lock held.
    void FreeToHeap(void* block, uint32_t size);
    // Takes a cached block out of its class list and the ring; its own fields stay. Lock held.
    void Unlink(CachedBlock* block);
    // Writes block's own header as the head of its class and the anchor's successor, or as the
    // anchor when nothing is cached. Lock held.
    void WriteHeader(int32_t sizeClass, CachedBlock* block);
    // Points the class head, the old head and the ring at a block whose header is written.
    void JoinNeighbours(int32_t sizeClass, CachedBlock* block);
    // Completes the parked block's links, if one is parked. Lock held.
    void LinkParked() {
        if (parked_) JoinNeighbours(parkedClass_, parked_), parked_ = nullptr;
    }

    CriticalSectionLock lock_;
    size_t inUseBytes_ = 0;
    size_t cachedBytes_ = 0;
    CachedBlock* anchor_ = nullptr;      // null exactly when nothing is cached
    CachedBlock* anchorNext_ = nullptr;  // the anchor's ringNext, so that parking reads no block
    uint32_t limit_ = DefaultLimit;
    int32_t parkedClass_ = 0;
    CachedBlock* parked_ = nullptr;  // counted in cachedBytes_, never the anchor
    CachedBlock* classHeads_[BlockClassCount] = {};
    AlignedHeap& heap_;
};
