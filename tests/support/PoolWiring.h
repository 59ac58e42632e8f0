// PoolWiring - a private system heap, aligned heap and block cache over a runtime heap of the
// test's (a fake one by default), wired the way the library wires its singletons, for tests that
// build pools on their own.
#pragma once

#include <utility>

#include "pool/BlockCache.h"
#include "support/FakeRuntimeHeap.h"
#include "system/AlignedHeap.h"
#include "system/OutOfMemoryHandler.h"
#include "system/SystemHeap.h"

// Lets the system heap flush a block cache that is constructed after it.
class ForwardingFlusher final : public CacheFlusher {
public:
    void Flush() override {
        ++flushes;
        if (target) target->Flush();
    }
    CacheFlusher* target = nullptr;
    int flushes = 0;
};

// The block cache and everything under it, over a runtime heap of type Runtime (a reference
// type for a heap that outlives the wiring), made from the constructor's arguments.
template <typename Runtime>
struct PoolWiringOver {
    template <typename... Args>
    explicit PoolWiringOver(Args&&... args) : runtime(std::forward<Args>(args)...) {
        flusher.target = &cache;
    }

    Runtime runtime;
    OutOfMemoryHandler handler;
    ForwardingFlusher flusher;
    SystemHeap system{runtime, handler, flusher};
    AlignedHeap aligned{system};
    BlockCache cache{aligned};
};

using PoolWiring = PoolWiringOver<FakeRuntimeHeap>;
