// Compiled as C++17: the public header must stand on its own there.
#include "IQXMemory.h"

int HeaderCompiledAsCxx17() {
    CriticalSectionLock lock;
    ScopedLock hold(lock);
    return int(__cplusplus);
}
