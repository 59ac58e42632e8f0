// Singletons - the accessors that create each subsystem on first use and wire it to the real
// collaborators. Function-local statics: safe on first use from any thread, destroyed at unload
// in reverse order of creation. Nothing below the interface layer calls these; subsystems get
// their collaborators through their constructors.
#pragma once

#include <atomic>

class AlignedHeap;
class BankRegistry;
class BlockCache;
class OutOfMemoryHandler;
class SmallMemAllocator;
class SystemHeap;
class ThreadTagStore;

OutOfMemoryHandler& GetOutOfMemoryHandler();
SystemHeap& GetSystemHeap();
BlockCache& GetBlockCache();
BankRegistry& GetBankRegistry();
ThreadTagStore& GetThreadTagStore();

// The two accessors on every general Alloc and Free are inline: once their subsystem is made
// it is one load away. The first call goes to the maker, which holds the function-local static
// and publishes its address here.
namespace MadeSingletons {
extern std::atomic<AlignedHeap*> alignedHeap;
extern std::atomic<SmallMemAllocator*> smallMemAllocator;
}  // namespace MadeSingletons

AlignedHeap& MakeAlignedHeap();
SmallMemAllocator& MakeSmallMemAllocator();

inline AlignedHeap& GetAlignedHeap() {
    AlignedHeap* made = MadeSingletons::alignedHeap.load(std::memory_order_acquire);
    return made ? *made : MakeAlignedHeap();
}

inline SmallMemAllocator& GetSmallMemAllocator() {
    SmallMemAllocator* made = MadeSingletons::smallMemAllocator.load(std::memory_order_acquire);
    return made ? *made : MakeSmallMemAllocator();
}
