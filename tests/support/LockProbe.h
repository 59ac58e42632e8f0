// LockProbe - which thread owns a CriticalSectionLock and how often it entered, read from the
// lock's storage without entering it. The owner may be read from any thread; the depth only by
// the owner, or once the owner is done with the lock.
#pragma once

#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "IQXMemory.h"

namespace LockProbe {

#if defined(_WIN32)

inline const volatile RTL_CRITICAL_SECTION& Section(const CriticalSectionLock& lock) {
    return *reinterpret_cast<const volatile RTL_CRITICAL_SECTION*>(&lock.section);
}
// The calling thread, as Owner reports it.
inline uintptr_t Self() { return uintptr_t(GetCurrentThreadId()); }
// The owning thread, or 0 when the lock is free.
inline uintptr_t Owner(const CriticalSectionLock& lock) {
    return uintptr_t(Section(lock).OwningThread);
}
// How often the owner has entered.
inline uint32_t Depth(const CriticalSectionLock& lock) {
    return uint32_t(Section(lock).RecursionCount);
}

#else

inline uintptr_t Self() { return QXMemoryPlatform::CurrentThreadId(); }
inline uintptr_t Owner(const CriticalSectionLock& lock) {
    return __atomic_load_n(&lock.section.owner, __ATOMIC_RELAXED);
}
inline uint32_t Depth(const CriticalSectionLock& lock) { return lock.section.depth; }

#endif

// Held by nobody.
inline bool IsFree(const CriticalSectionLock& lock) { return Owner(lock) == 0 && Depth(lock) == 0; }

}  // namespace LockProbe
