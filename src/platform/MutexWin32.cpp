#include <windows.h>

#include "platform/Mutex.h"

static_assert(sizeof(SRWLOCK) == sizeof(void*), "the state holds an SRWLOCK");

void Mutex::Lock() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }
void Mutex::Unlock() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }
