// Compiled as C++11: the public header must stand on its own there.
#include "IQXMemory.h"

int HeaderCompiledAsCxx11() {
    CriticalSectionLock lock;  // a host can construct and use the lock itself
    ScopedLock hold(lock);
    MemSnapshot snapshot;
    (void)snapshot;
    return int(__cplusplus);
}
