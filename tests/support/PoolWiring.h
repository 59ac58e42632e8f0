// PoolWiring - a private system heap, aligned heap and block cache over a fake runtime heap,
// wired the way the library wires its singletons, for tests that build pools on their own.
#pragma once

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

struct PoolWiring {
    PoolWiring() { flusher.target = &cache; }

    FakeRuntimeHeap runtime;
    OutOfMemoryHandler handler;
    ForwardingFlusher flusher;
    SystemHeap system{runtime, handler, flusher};
    AlignedHeap aligned{system};
    BlockCache cache{aligned};
};
