// OutOfMemoryHandler - the host's one-shot out-of-memory callback.
//
// A report uninstalls the callback before calling it, outside the lock, so the callback may
// install itself again and may call back into the library.
#pragma once

#include "IQXMemory.h"

class OutOfMemoryHandler {
public:
    OutOfMemoryHandler() = default;
    OutOfMemoryHandler(const OutOfMemoryHandler&) = delete;
    OutOfMemoryHandler& operator=(const OutOfMemoryHandler&) = delete;

    // Replaces whatever was installed; a null callback uninstalls.
    void SetHandler(OutOfMemoryCallback callback, uintptr_t userData);
    // Calls the installed callback, if any, with (size, user data), and leaves none installed.
    void Report(uint32_t size);
    // The handler's lock, for holding every lock of the library across fork().
    CriticalSectionLock& GetLock() { return lock_; }

    bool Validate() const { return callback_ != nullptr || userData_ == 0; }

private:
    CriticalSectionLock lock_;
    OutOfMemoryCallback callback_ = nullptr;  // guarded by lock_
    uintptr_t userData_ = 0;                  // guarded by lock_
};
