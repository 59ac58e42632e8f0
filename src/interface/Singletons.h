// Singletons - the accessors that create each subsystem on first use and wire it to the real
// collaborators. Function-local statics: safe on first use from any thread, destroyed at unload
// in reverse order of creation. Nothing below the interface layer calls these; subsystems get
// their collaborators through their constructors.
#pragma once

class AlignedHeap;
class BankRegistry;
class BlockCache;
class OutOfMemoryHandler;
class SmallMemAllocator;
class SystemHeap;
class ThreadTagStore;

OutOfMemoryHandler& GetOutOfMemoryHandler();
SystemHeap& GetSystemHeap();
AlignedHeap& GetAlignedHeap();
BlockCache& GetBlockCache();
SmallMemAllocator& GetSmallMemAllocator();
BankRegistry& GetBankRegistry();
ThreadTagStore& GetThreadTagStore();
