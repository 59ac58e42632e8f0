#include "interface/Singletons.h"

#include "platform/RuntimeHeap.h"
#include "platform/ThreadLocalSlots.h"
#include "pool/BankRegistry.h"
#include "pool/BlockCache.h"
#include "pool/SmallMemAllocator.h"
#include "stats/ThreadTagStore.h"
#include "system/AlignedHeap.h"
#include "system/OutOfMemoryHandler.h"
#include "system/SystemHeap.h"

namespace {

// The system heap flushes the block cache singleton, creating it if this is its first use. The
// cache cannot be handed to the system heap directly: it is built on top of it.
class BlockCacheFlusher final : public CacheFlusher {
public:
    void Flush() override { GetBlockCache().Flush(); }
};

}  // namespace

OutOfMemoryHandler& GetOutOfMemoryHandler() {
    static OutOfMemoryHandler handler;
    return handler;
}

SystemHeap& GetSystemHeap() {
    static BlockCacheFlusher flusher;
    static SystemHeap heap(RuntimeHeapSeam(), GetOutOfMemoryHandler(), flusher);
    return heap;
}

AlignedHeap* MadeSingletons::alignedHeap = nullptr;
SmallMemAllocator* MadeSingletons::smallMemAllocator = nullptr;

AlignedHeap& MakeAlignedHeap() {
    static AlignedHeap heap(GetSystemHeap());
    __atomic_store_n(&MadeSingletons::alignedHeap, &heap, __ATOMIC_RELEASE);
    return heap;
}

BlockCache& GetBlockCache() {
    static BlockCache cache(GetAlignedHeap());
    return cache;
}

SmallMemAllocator& MakeSmallMemAllocator() {
    static SmallMemAllocator allocator(GetBlockCache());
    __atomic_store_n(&MadeSingletons::smallMemAllocator, &allocator, __ATOMIC_RELEASE);
    return allocator;
}

BankRegistry& GetBankRegistry() {
    static BankRegistry registry(GetSystemHeap(), GetBlockCache());
    return registry;
}

ThreadTagStore& GetThreadTagStore() {
    static ThreadTagStore store(GetSystemHeap(), PlatformThreadLocalSlots());
    return store;
}
