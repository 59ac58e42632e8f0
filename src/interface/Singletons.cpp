#include "interface/Singletons.h"

#include <atomic>
#include <utility>

#include "interface/LibraryLocks.h"
#include "platform/ForkHandlers.h"
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

// The singletons that own locks, each set once it is constructed and cleared when it is
// destroyed at unload, so that a fork holds the locks of those that exist and creates none (the
// small-object allocator's address is the one its inline accessor reads). A fork racing a
// subsystem's very first use is not covered: the runtime's guard around that construction could
// stay held in the child whatever the library does. Constant-initialised: valid before any
// singleton and after the last.
std::atomic<BankRegistry*> existingRegistry{nullptr};
std::atomic<BlockCache*> existingCache{nullptr};
std::atomic<OutOfMemoryHandler*> existingHandler{nullptr};

// The locks this thread's fork holds, from before it until after it. The child's only thread is
// the one that forked, so it finds them here too.
thread_local LibraryLocks heldAcrossFork;

void PrepareFork() {
    heldAcrossFork.registry = existingRegistry.load(std::memory_order_acquire);
    heldAcrossFork.smallObjects = MadeSingletons::smallMemAllocator.load(std::memory_order_acquire);
    heldAcrossFork.cache = existingCache.load(std::memory_order_acquire);
    heldAcrossFork.handler = existingHandler.load(std::memory_order_acquire);
    heldAcrossFork.Acquire();
}

void AfterFork() {
    heldAcrossFork.Release();
    heldAcrossFork = LibraryLocks{};
}

// Once per process, with the first singleton that owns locks.
void InstallForkHandlersOnce() {
    static const bool installed = InstallForkHandlers(PrepareFork, AfterFork, AfterFork);
    (void)installed;
}

// A singleton that owns locks.
template <typename T>
class LockingSingleton {
public:
    template <typename... Args>
    explicit LockingSingleton(std::atomic<T*>& existing, Args&&... args)
        : object_(std::forward<Args>(args)...), existing_(existing) {
        InstallForkHandlersOnce();
        existing_.store(&object_, std::memory_order_release);
    }
    ~LockingSingleton() { existing_.store(nullptr, std::memory_order_release); }
    LockingSingleton(const LockingSingleton&) = delete;
    LockingSingleton& operator=(const LockingSingleton&) = delete;

    T& Object() { return object_; }

private:
    T object_;
    std::atomic<T*>& existing_;
};

}  // namespace

OutOfMemoryHandler& GetOutOfMemoryHandler() {
    static LockingSingleton<OutOfMemoryHandler> handler(existingHandler);
    return handler.Object();
}

SystemHeap& GetSystemHeap() {
    static BlockCacheFlusher flusher;
    static SystemHeap heap(RuntimeHeapSeam(), GetOutOfMemoryHandler(), flusher);
    return heap;
}

std::atomic<AlignedHeap*> MadeSingletons::alignedHeap{nullptr};
std::atomic<SmallMemAllocator*> MadeSingletons::smallMemAllocator{nullptr};

AlignedHeap& MakeAlignedHeap() {
    static AlignedHeap heap(GetSystemHeap());
    MadeSingletons::alignedHeap.store(&heap, std::memory_order_release);
    return heap;
}

BlockCache& GetBlockCache() {
    static LockingSingleton<BlockCache> cache(existingCache, GetAlignedHeap());
    return cache.Object();
}

SmallMemAllocator& MakeSmallMemAllocator() {
    static LockingSingleton<SmallMemAllocator> allocator(MadeSingletons::smallMemAllocator,
                                                         GetBlockCache());
    return allocator.Object();
}

BankRegistry& GetBankRegistry() {
    static LockingSingleton<BankRegistry> registry(existingRegistry, GetSystemHeap(),
                                                   GetBlockCache());
    return registry.Object();
}

ThreadTagStore& GetThreadTagStore() {
    static ThreadTagStore store(GetSystemHeap(), PlatformThreadLocalSlots());
    return store;
}
