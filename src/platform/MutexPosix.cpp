#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/Mutex.h"

// The holder is usually running and soon done: wait on the word a while before sleeping, and only
// then mark it contended and sleep until a release wakes one sleeper.
void Mutex::Wait() {
    for (int spin = 0; spin < 2000; ++spin) {
        int32_t expected = 0;
        if (__atomic_load_n(&word_, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(&word_, &expected, 1, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
#if defined(__i386__) || defined(__x86_64__)
        __builtin_ia32_pause();
#endif
    }
    while (__atomic_exchange_n(&word_, 2, __ATOMIC_ACQUIRE) != 0)
        syscall(SYS_futex, &word_, FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
}

void Mutex::Wake() { syscall(SYS_futex, &word_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }
