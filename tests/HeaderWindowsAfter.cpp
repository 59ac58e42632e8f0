// A Windows host that includes <windows.h> after the interface header: no conflict, no warning,
// and the interface header alone did not bring in the Windows API (its min/max macros).
#include "IQXMemory.h"

#if defined(min) || defined(max) || defined(_WINDOWS_)
#error "IQXMemory.h must not include <windows.h>"
#endif

#include <windows.h>

int HeaderBeforeWindows() {
    CriticalSectionLock lock;
    lock.Lock();
    EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(&lock.section));
    LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(&lock.section));
    lock.Unlock();
    return int(sizeof(MemSnapshot));
}
