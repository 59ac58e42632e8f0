#include <windows.h>

#include "platform/ThreadLocalSlots.h"

namespace {

class Win32ThreadLocalSlots final : public ThreadLocalSlots {
public:
    uint32_t Alloc() override {
        static_assert(TLS_OUT_OF_INDEXES == NoIndex, "TlsAlloc's failure value is NoIndex");
        return TlsAlloc();
    }
    void* GetValue(uint32_t index) override { return TlsGetValue(index); }
    bool SetValue(uint32_t index, void* value) override { return TlsSetValue(index, value) != 0; }
    void Free(uint32_t index) override { TlsFree(index); }
};

Win32ThreadLocalSlots slots;

}  // namespace

ThreadLocalSlots& PlatformThreadLocalSlots() { return slots; }
