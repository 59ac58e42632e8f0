#include "platform/RuntimeHeap.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<RuntimeHeap*> installedReplacement{nullptr};

class SeamRuntimeHeap final : public RuntimeHeap {
public:
    void* Allocate(uint32_t size) override {
        RuntimeHeap* replacement = installedReplacement.load(std::memory_order_acquire);
        return replacement ? replacement->Allocate(size) : std::malloc(size);
    }
    void Release(void* block) override {
        RuntimeHeap* replacement = installedReplacement.load(std::memory_order_acquire);
        if (replacement)
            replacement->Release(block);
        else
            std::free(block);
    }
};

SeamRuntimeHeap seam;  // stateless, so constant-initialised and never destroyed early

}  // namespace

RuntimeHeap& RuntimeHeapSeam() { return seam; }

RuntimeHeap* ReplaceRuntimeHeap(RuntimeHeap* replacement) {
    return installedReplacement.exchange(replacement, std::memory_order_acq_rel);
}
