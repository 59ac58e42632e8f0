// ThreadLocalSlots - process-wide thread-local slots, each with a null initial value per thread.
//
// Win32 TLS on Windows, pthread keys elsewhere. An interface so that tests can make allocating
// a slot or storing a value fail.
#pragma once

#include <stdint.h>

class ThreadLocalSlots {
public:
    static constexpr uint32_t NoIndex = 0xFFFFFFFFu;

    // A new slot valid in every thread, or NoIndex when the platform has none left.
    virtual uint32_t Alloc() = 0;
    // The calling thread's value of the slot; null if never set.
    virtual void* GetValue(uint32_t index) = 0;
    // Sets the calling thread's value; false when the platform refuses.
    virtual bool SetValue(uint32_t index, void* value) = 0;
    virtual void Free(uint32_t index) = 0;

protected:
    ~ThreadLocalSlots() = default;
};

// The platform's own slots.
ThreadLocalSlots& PlatformThreadLocalSlots();
