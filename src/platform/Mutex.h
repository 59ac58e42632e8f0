// Mutex - a plain lock for an object whose operations never nest: one word, no owner, no depth.
//
// A range heap locks itself with one. On Linux it is a futex word (0 free, 1 held, 2 held with
// sleepers) that a process which never started a second thread takes with plain stores; on
// Windows a slim reader-writer lock, taken exclusively. All zero is a free lock on both.
#pragma once

#include <stdint.h>

#include "IQXMemory.h"

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

#if defined(_WIN32)
    void Lock();
    void Unlock();

private:
    void* state_ = nullptr;  // an SRWLOCK
#else
    void Lock() {
        if (QXMemoryPlatform::SingleThreaded()) {
            __atomic_store_n(&word_, 1, __ATOMIC_RELAXED);
            return;
        }
        int32_t expected = 0;
        if (!__atomic_compare_exchange_n(&word_, &expected, 1, false, __ATOMIC_ACQUIRE,
                                         __ATOMIC_RELAXED))
            Wait();
    }
    void Unlock() {
        // No other thread can be waiting (in the child of a fork, the waiters stayed behind).
        if (QXMemoryPlatform::SingleThreaded()) {
            __atomic_store_n(&word_, 0, __ATOMIC_RELAXED);
            return;
        }
        if (__atomic_exchange_n(&word_, 0, __ATOMIC_RELEASE) == 2) Wake();
    }

private:
    [[gnu::noinline]] void Wait();
    [[gnu::noinline]] void Wake();

    int32_t word_ = 0;
#endif
};

// Holds a Mutex for one scope.
class MutexHold {
public:
    explicit MutexHold(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
    ~MutexHold() { mutex_.Unlock(); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    Mutex& mutex_;
};
