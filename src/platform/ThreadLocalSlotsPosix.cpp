#include <pthread.h>

#include "platform/ThreadLocalSlots.h"

namespace {

class PosixThreadLocalSlots final : public ThreadLocalSlots {
public:
    uint32_t Alloc() override {
        pthread_key_t key;
        if (pthread_key_create(&key, nullptr) != 0) return NoIndex;
        static_assert(sizeof(key) <= sizeof(uint32_t), "pthread keys must fit a slot index");
        return static_cast<uint32_t>(key);
    }
    void* GetValue(uint32_t index) override {
        return pthread_getspecific(static_cast<pthread_key_t>(index));
    }
    bool SetValue(uint32_t index, void* value) override {
        return pthread_setspecific(static_cast<pthread_key_t>(index), value) == 0;
    }
    void Free(uint32_t index) override { pthread_key_delete(static_cast<pthread_key_t>(index)); }
};

PosixThreadLocalSlots slots;

}  // namespace

ThreadLocalSlots& PlatformThreadLocalSlots() { return slots; }
