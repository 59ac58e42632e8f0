// Singletons - the accessors that create each subsystem on first use and wire it to the real
// collaborators. Each is a function-local static, destroyed at unload in reverse order of
// creation, and published once built, so that later uses are one load. Nothing below the
// interface layer calls these; subsystems get their collaborators through their constructors.
//
// A build and a fork() exclude each other (see EnterForkExclusion): the child of a fork finds
// each singleton either not begun, and builds it itself, or complete.
#pragma once

#include <atomic>

class AlignedHeap;
class BankRegistry;
class BlockCache;
class OutOfMemoryHandler;
class QXMemory;
class SmallMemAllocator;
class SystemHeap;
class ThreadTagStore;

QXMemory& GetQXMemory();
OutOfMemoryHandler& GetOutOfMemoryHandler();
SystemHeap& GetSystemHeap();
BlockCache& GetBlockCache();
BankRegistry& GetBankRegistry();

// The accessors on every general Alloc and Free, and on every PushTag and PopTag, are inline: once
// their subsystem is made it is one load away. The first call goes to the maker, which builds the
// function-local static and publishes its address here.
namespace MadeSingletons {
extern std::atomic<AlignedHeap*> alignedHeap;
extern std::atomic<SmallMemAllocator*> smallMemAllocator;
extern std::atomic<ThreadTagStore*> threadTagStore;
}  // namespace MadeSingletons

AlignedHeap& MakeAlignedHeap();
SmallMemAllocator& MakeSmallMemAllocator();
ThreadTagStore& MakeThreadTagStore();

inline AlignedHeap& GetAlignedHeap() {
    AlignedHeap* made = MadeSingletons::alignedHeap.load(std::memory_order_acquire);
    return made ? *made : MakeAlignedHeap();
}

inline SmallMemAllocator& GetSmallMemAllocator() {
    SmallMemAllocator* made = MadeSingletons::smallMemAllocator.load(std::memory_order_acquire);
    return made ? *made : MakeSmallMemAllocator();
}

inline ThreadTagStore& GetThreadTagStore() {
    ThreadTagStore* made = MadeSingletons::threadTagStore.load(std::memory_order_acquire);
    return made ? *made : MakeThreadTagStore();
}
