#include <pthread.h>

#include "IQXMemory.h"
#include "platform/ForkHandlers.h"

namespace {

// All zero is a free lock, so it is ready before any constructor runs and needs no destructor.
QXMemoryPlatform::LockState exclusion;

}  // namespace

bool InstallForkHandlers(void (*prepare)(), void (*parent)(), void (*child)()) {
    return pthread_atfork(prepare, parent, child) == 0;
}

void EnterForkExclusion() { QXMemoryPlatform::EnterLock(exclusion); }
void LeaveForkExclusion() { QXMemoryPlatform::LeaveLock(exclusion); }
