// RuntimeHeap - the C runtime's malloc and free behind one seam.
//
// Every byte the library owns comes through here. Tests install a replacement to make the
// runtime heap fail on demand and to watch what is allocated and freed; hosts cannot reach it.
#pragma once

#include <stdint.h>

class RuntimeHeap {
public:
    virtual void* Allocate(uint32_t size) = 0;
    virtual void Release(void* block) = 0;

protected:
    ~RuntimeHeap() = default;
};

// The heap the library's own SystemHeap uses: malloc and free, unless a replacement is
// installed. The replacement is read on every call, so it takes effect at once.
RuntimeHeap& RuntimeHeapSeam();

// Installs a replacement (null restores malloc and free) and returns the previous one.
// Swap only while no other thread is inside the library.
RuntimeHeap* ReplaceRuntimeHeap(RuntimeHeap* replacement);
