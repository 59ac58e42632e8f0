// The public header keeps a critical section as plain storage and declares the four functions
// itself, so that hosts need no Windows header. Checked here against the real ones.
#include <windows.h>

#include <stddef.h>
#include <type_traits>

#include "IQXMemory.h"

static_assert(sizeof(QXMemoryPlatform::LockState) == sizeof(CRITICAL_SECTION),
              "the lock's storage holds a critical section exactly");
static_assert(alignof(QXMemoryPlatform::LockState) == alignof(CRITICAL_SECTION),
              "and is aligned like one");
static_assert(std::is_same<CRITICAL_SECTION, _RTL_CRITICAL_SECTION>::value,
              "the header names the section by the type <windows.h> gives it");
static_assert(
    std::is_same<decltype(&EnterCriticalSection), void(__stdcall*)(_RTL_CRITICAL_SECTION*)>::value,
    "the header's declarations are the Windows API's");
