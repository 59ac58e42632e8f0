#include "system/OutOfMemoryHandler.h"

void OutOfMemoryHandler::SetHandler(OutOfMemoryCallback callback, uintptr_t userData) {
    ScopedLock hold(lock_);
    callback_ = callback;
    userData_ = userData;
}

void OutOfMemoryHandler::Report(uint32_t size) {
    OutOfMemoryCallback callback;
    uintptr_t userData;
    {
        ScopedLock hold(lock_);
        callback = callback_;
        userData = userData_;
        callback_ = nullptr;
        userData_ = 0;
    }
    if (callback) callback(size, userData);
}
