#include "interface/Singletons.h"

#include "platform/RuntimeHeap.h"
#include "system/AlignedHeap.h"
#include "system/OutOfMemoryHandler.h"
#include "system/SystemHeap.h"

namespace {

// Until the block cache exists there is nothing to hand back to the runtime heap.
class NoCacheFlusher final : public CacheFlusher {
public:
    void Flush() override {}
};

}  // namespace

OutOfMemoryHandler& GetOutOfMemoryHandler() {
    static OutOfMemoryHandler handler;
    return handler;
}

SystemHeap& GetSystemHeap() {
    static NoCacheFlusher flusher;
    static SystemHeap heap(RuntimeHeapSeam(), GetOutOfMemoryHandler(), flusher);
    return heap;
}

AlignedHeap& GetAlignedHeap() {
    static AlignedHeap heap(GetSystemHeap());
    return heap;
}
