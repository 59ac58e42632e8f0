// ThreadTagStore - each thread's current allocation tag and bracket depth.
//
// One process-wide thread-local slot holds, per thread, a ThreadTagContext taken from the system
// heap on the thread's first PushTag or PopTag and kept for the thread's life. Only the outermost
// push sets the tag; inner pushes and pops move the depth. No lock: each thread touches only its
// own context.
#pragma once

#include <stdint.h>

#include "IQXMemory.h"
#include "platform/ThreadLocalSlots.h"

class SystemHeap;

class ThreadTagStore {
public:
    // The name both default tag names point to.
    static const char* const DefaultName;

    // Allocates the slot once; if that fails the store stays without one for its life.
    ThreadTagStore(SystemHeap& system, ThreadLocalSlots& slots);
    ~ThreadTagStore();
    ThreadTagStore(const ThreadTagStore&) = delete;
    ThreadTagStore& operator=(const ThreadTagStore&) = delete;

    // Opens a bracket. At depth 0 the tag's three words become the thread's tag; a null tag
    // there keeps the current tag. Null when the thread has no context and none can be made.
    ThreadTagContext* Push(const AllocTag* tag);
    // Closes a bracket; the depth stays at 0 and the tag is kept. Null as for Push.
    ThreadTagContext* Pop();

    bool HasIndex() const { return index_ != ThreadLocalSlots::NoIndex; }

private:
    bool AllocIndex();
    void FreeIndex();
    void* GetSlotValue();
    bool SetSlotValue(ThreadTagContext* context);
    // The calling thread's context, made with the default tag on first use; null if the store
    // has no slot, the system heap fails, or the platform refuses to store it.
    ThreadTagContext* GetContext();

    SystemHeap& system_;
    ThreadLocalSlots& slots_;
    uint32_t index_ = ThreadLocalSlots::NoIndex;
};
