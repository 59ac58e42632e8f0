#include "interface/Singletons.h"

#include <atomic>
#include <new>
#include <utility>

#include "interface/LibraryLocks.h"
#include "interface/QXMemory.h"
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

// Each singleton's address once built, cleared when it is destroyed at unload. Constant-
// initialised: valid before any singleton and after the last.
std::atomic<AlignedHeap*> MadeSingletons::alignedHeap{nullptr};
std::atomic<SmallMemAllocator*> MadeSingletons::smallMemAllocator{nullptr};
std::atomic<ThreadTagStore*> MadeSingletons::threadTagStore{nullptr};

namespace {

std::atomic<QXMemory*> madeInterface{nullptr};
std::atomic<OutOfMemoryHandler*> madeHandler{nullptr};
std::atomic<SystemHeap*> madeSystemHeap{nullptr};
std::atomic<BlockCache*> madeCache{nullptr};
std::atomic<BankRegistry*> madeRegistry{nullptr};

// The system heap flushes the block cache singleton, creating it if this is its first use. The
// cache cannot be handed to the system heap directly: it is built on top of it.
class BlockCacheFlusher final : public CacheFlusher {
public:
    void Flush() override { GetBlockCache().Flush(); }
};
BlockCacheFlusher flusher;  // stateless and constant-initialised

// --- Fork ------------------------------------------------------------------------------------

// The locks of the singletons built so far.
LibraryLocks BuiltLocks() {
    return LibraryLocks{madeRegistry.load(std::memory_order_acquire),
                        MadeSingletons::smallMemAllocator.load(std::memory_order_acquire),
                        madeCache.load(std::memory_order_acquire),
                        madeHandler.load(std::memory_order_acquire)};
}

// The locks this thread's fork holds, from before it until after it. The child's only thread is
// the one that forked, so it finds them here too.
thread_local LibraryLocks heldAcrossFork;

// The library's locks first, in their order, then the exclusion, which waits for a build in
// flight. A build takes none of the library's locks, so it never waits for this thread; taken the
// other way round, the exclusion could wait for a host that holds a list lock while its first use
// of a subsystem waits for the exclusion. A singleton built meanwhile brings locks this fork does
// not hold yet: then everything is left and taken again. That happens once per singleton at most.
void PrepareFork() {
    for (;;) {
        const LibraryLocks locks = BuiltLocks();
        locks.Acquire();
        EnterForkExclusion();
        if (BuiltLocks() == locks) {
            heldAcrossFork = locks;
            return;
        }
        LeaveForkExclusion();
        locks.Release();
    }
}

void AfterFork() {
    LeaveForkExclusion();
    heldAcrossFork.Release();
    heldAcrossFork = LibraryLocks{};
}

std::atomic<bool> forkHandlersInstalled{false};

void InstallForkHandlersOnce() {
    if (!forkHandlersInstalled.exchange(true, std::memory_order_acq_rel))
        InstallForkHandlers(PrepareFork, AfterFork, AfterFork);
}

// Installed when the library is loaded, before any thread can be in the middle of a first use: a
// fork while a first use itself installed them would find no handler to wait for that use. A use
// that comes before the library's initialisers run (from another library's) installs them then.
[[maybe_unused]] const bool forkHandlersAtLoad = (InstallForkHandlersOnce(), true);

// --- Building --------------------------------------------------------------------------------

// Held while a singleton is built. The runtime's guard around a function-local static stays
// taken while its object is made, and a child forked in that moment would wait on it for ever.
class Building {
public:
    Building() {
        InstallForkHandlersOnce();
        EnterForkExclusion();
    }
    ~Building() { LeaveForkExclusion(); }
    Building(const Building&) = delete;
    Building& operator=(const Building&) = delete;
};

#if defined(QXMEMORY_KEEP_SINGLETONS)
// Built into a process's malloc, the singletons are never destroyed: code that runs after the
// exit handlers, or on other threads meanwhile, still allocates and frees.
template <typename T>
class Singleton {
public:
    template <typename... Args>
    explicit Singleton(std::atomic<T*>& made, Args&&... args) {
        made.store(new (storage_) T(std::forward<Args>(args)...), std::memory_order_release);
    }
    Singleton(const Singleton&) = delete;
    Singleton& operator=(const Singleton&) = delete;

    T& Object() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};
#else
// A singleton's object, published once made and unpublished when it is destroyed at unload.
template <typename T>
class Singleton {
public:
    template <typename... Args>
    explicit Singleton(std::atomic<T*>& made, Args&&... args)
        : object_(std::forward<Args>(args)...), made_(made) {
        made_.store(&object_, std::memory_order_release);
    }
    ~Singleton() { made_.store(nullptr, std::memory_order_release); }
    Singleton(const Singleton&) = delete;
    Singleton& operator=(const Singleton&) = delete;

    T& Object() { return object_; }

private:
    T object_;
    std::atomic<T*>& made_;
};
#endif

}  // namespace

QXMemory& GetQXMemory() {
    if (QXMemory* made = madeInterface.load(std::memory_order_acquire)) return *made;
    const Building building;
    static Singleton<QXMemory> memory(madeInterface);
    return memory.Object();
}

OutOfMemoryHandler& GetOutOfMemoryHandler() {
    if (OutOfMemoryHandler* made = madeHandler.load(std::memory_order_acquire)) return *made;
    const Building building;
    static Singleton<OutOfMemoryHandler> handler(madeHandler);
    return handler.Object();
}

SystemHeap& GetSystemHeap() {
    if (SystemHeap* made = madeSystemHeap.load(std::memory_order_acquire)) return *made;
    const Building building;
    static Singleton<SystemHeap> heap(madeSystemHeap, RuntimeHeapSeam(), GetOutOfMemoryHandler(),
                                      flusher);
    return heap.Object();
}

AlignedHeap& MakeAlignedHeap() {
    const Building building;
    static Singleton<AlignedHeap> heap(MadeSingletons::alignedHeap, GetSystemHeap());
    return heap.Object();
}

BlockCache& GetBlockCache() {
    if (BlockCache* made = madeCache.load(std::memory_order_acquire)) return *made;
    const Building building;
    static Singleton<BlockCache> cache(madeCache, GetAlignedHeap());
    return cache.Object();
}

SmallMemAllocator& MakeSmallMemAllocator() {
    const Building building;
    static Singleton<SmallMemAllocator> allocator(MadeSingletons::smallMemAllocator,
                                                  GetBlockCache());
    return allocator.Object();
}

BankRegistry& GetBankRegistry() {
    if (BankRegistry* made = madeRegistry.load(std::memory_order_acquire)) return *made;
    const Building building;
    static Singleton<BankRegistry> registry(madeRegistry, GetSystemHeap(), GetBlockCache());
    return registry.Object();
}

ThreadTagStore& MakeThreadTagStore() {
    const Building building;
    static Singleton<ThreadTagStore> store(MadeSingletons::threadTagStore, GetSystemHeap(),
                                           PlatformThreadLocalSlots());
    return store.Object();
}
