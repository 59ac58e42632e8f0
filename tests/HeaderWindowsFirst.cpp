// A Windows host that includes <windows.h> before the interface header: no conflict, no warning.
#include <windows.h>

#include "IQXMemory.h"

int HeaderAfterWindows() {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    DeleteCriticalSection(&section);
    CriticalSectionLock lock;
    ScopedLock hold(lock);
    return int(sizeof(MemSnapshot));
}
