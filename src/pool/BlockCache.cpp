#include "pool/BlockCache.h"

#include "common/DefaultAlignment.h"
#include "common/MemoryChecker.h"
#include "system/AlignedHeap.h"

namespace {

// The trim target that leaves room for one more block of size bytes under limit.
uint32_t RoomFor(uint32_t size, uint32_t limit) { return size < limit ? limit - size : 0; }

}  // namespace

void BlockCache::Unlink(CachedBlock* block) {
    *block->prevLink = block->next;
    if (block->next) block->next->prevLink = block->prevLink;
    block->ringNext->ringPrev = block->ringPrev;
    block->ringPrev->ringNext = block->ringNext;
    if (block->ringPrev == anchor_) anchorNext_ = block->ringNext;
}

void BlockCache::FreeToHeap(void* block, uint32_t size) {
    MemoryChecker::MarkBlockLeavingCache(block, size);
    heap_.Free(block);
}

bool BlockCache::Evict(uint32_t target) {
    if (!anchor_) return false;
    CachedBlock* victim = anchor_->ringNext;
    for (;;) {
        CachedBlock* following = victim->ringNext;
        cachedBytes_ -= victim->size;
        Unlink(victim);
        if (victim == anchor_) anchor_ = nullptr;  // the anchor always goes last
        FreeToHeap(victim, victim->size);
        if (inUseBytes_ + cachedBytes_ <= target) return true;
        if (!anchor_) return false;
        victim = following;
    }
}

void* BlockCache::Get(int32_t sizeClass, const AllocTag* tag) {
    if (sizeClass < 0 || sizeClass >= BlockClassCount) return nullptr;
    ScopedLock hold(lock_);
    if (parked_ && parkedClass_ == sizeClass) {
        CachedBlock* block = parked_;
        parked_ = nullptr;
        const uint32_t size = BlockClassSize(sizeClass);
        inUseBytes_ += size;
        cachedBytes_ -= size;
        MemoryChecker::MarkBlockHandedOut(block, size);
        return block;
    }
    LinkParked();
    if (CachedBlock* block = classHeads_[sizeClass]) {
        Unlink(block);
        if (block == anchor_) {
            anchor_ = block->ringNext == block ? nullptr : block->ringNext;
            if (anchor_) anchorNext_ = anchor_->ringNext;
        }
        inUseBytes_ += block->size;
        cachedBytes_ -= block->size;
        MemoryChecker::MarkBlockHandedOut(block, block->size);
        return block;
    }
    const uint32_t size = BlockClassSize(sizeClass);
    // The budget is advisory here: the block is requested even if the trim cannot meet it.
    Trim(RoomFor(size, limit_));
    // If the heap fails, the system heap flushes this cache on this thread (the lock is
    // re-entrant) before its retry.
    void* block = heap_.Alloc(size, DefaultAlignment, tag);
    if (block) {
        inUseBytes_ += size;
        MemoryChecker::MarkBlockHandedOut(block, size);
    }
    return block;
}

void BlockCache::Release(int32_t sizeClass, void* block) {
    // A class the block cannot have come from is refused rather than corrupting the counts.
    if (!block || sizeClass < 0 || sizeClass >= BlockClassCount) return;
    ScopedLock hold(lock_);
    const uint32_t size = BlockClassSize(sizeClass);
    if (MemoryChecker::ReportIfFreed(block, size)) return;
    MemoryChecker::MarkBlockGivenBack(block, size, sizeof(CachedBlock));
    inUseBytes_ -= size;
    LinkParked();
    if (!Trim(RoomFor(size, limit_))) {
        FreeToHeap(block, size);
        return;
    }
    cachedBytes_ += size;
    CachedBlock* cached = static_cast<CachedBlock*>(block);
    WriteHeader(sizeClass, cached);
    if (anchor_) {
        parked_ = cached;
        parkedClass_ = sizeClass;
    } else {
        JoinNeighbours(sizeClass, cached);
    }
}

void BlockCache::WriteHeader(int32_t sizeClass, CachedBlock* cached) {
    cached->size = BlockClassSize(sizeClass);
    cached->prevLink = &classHeads_[sizeClass];
    cached->next = classHeads_[sizeClass];
    cached->ringPrev = anchor_ ? anchor_ : cached;
    cached->ringNext = anchor_ ? anchorNext_ : cached;
}

void BlockCache::JoinNeighbours(int32_t sizeClass, CachedBlock* cached) {
    if (cached->next) cached->next->prevLink = &cached->next;
    classHeads_[sizeClass] = cached;
    if (anchor_) {
        cached->ringNext->ringPrev = cached;
        anchor_->ringNext = cached;
    } else {
        anchor_ = cached;
    }
    anchorNext_ = cached;
}

void BlockCache::Flush() {
    ScopedLock hold(lock_);
    LinkParked();
    if (!anchor_) return;
    // Backwards from the anchor; each predecessor is read before its successor is freed.
    CachedBlock* block = anchor_;
    for (;;) {
        CachedBlock* previous = block->ringPrev;
        FreeToHeap(block, block->size);
        if (previous == anchor_) break;
        block = previous;
    }
    anchor_ = nullptr;
    for (CachedBlock*& head : classHeads_) head = nullptr;
    cachedBytes_ = 0;
}

void BlockCache::SetLimit(uint32_t bytes) {
    ScopedLock hold(lock_);
    LinkParked();
    if (bytes < limit_) Trim(bytes);
    limit_ = bytes;
}

uint32_t BlockCache::CachedCount(int32_t sizeClass) {
    ScopedLock hold(lock_);
    LinkParked();
    uint32_t count = 0;
    for (CachedBlock* block = classHeads_[sizeClass]; block; block = block->next) ++count;
    return count;
}

bool BlockCache::Validate() {
    ScopedLock hold(lock_);
    if (parked_) {
        // The parked block's header must say what linking it now would write.
        CachedBlock* head = classHeads_[parkedClass_];
        if (!anchor_ || parked_ == anchor_ || parked_->prevLink != &classHeads_[parkedClass_] ||
            parked_->next != head || parked_->ringPrev != anchor_ ||
            parked_->ringNext != anchorNext_ || parked_->size != BlockClassSize(parkedClass_))
            return false;
    }
    LinkParked();
    uint32_t listed = 0;
    uint64_t listedBytes = 0;
    for (int32_t sizeClass = 0; sizeClass < BlockClassCount; ++sizeClass) {
        CachedBlock** link = &classHeads_[sizeClass];
        for (CachedBlock* block = *link; block; block = block->next) {
            if (block->prevLink != link || block->size != BlockClassSize(sizeClass)) return false;
            if (++listed > (1u << 24)) return false;  // a cycle
            listedBytes += block->size;
            link = &block->next;
        }
    }
    if (!anchor_) return listed == 0 && cachedBytes_ == 0;
    if (anchorNext_ != anchor_->ringNext) return false;
    uint32_t ringed = 0;
    uint64_t ringBytes = 0;
    CachedBlock* block = anchor_;
    do {
        if (block->ringNext->ringPrev != block || ++ringed > listed) return false;
        ringBytes += block->size;
        block = block->ringNext;
    } while (block != anchor_);
    return ringed == listed && ringBytes == listedBytes && ringBytes == cachedBytes_;
}
