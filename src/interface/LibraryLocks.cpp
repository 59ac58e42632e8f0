#include "interface/LibraryLocks.h"

void LibraryLocks::Acquire() const {
    ForEachLock([](CriticalSectionLock& lock) { lock.Enter(); }, false);
}

void LibraryLocks::Release() const {
    ForEachLock([](CriticalSectionLock& lock) { lock.Leave(); }, true);
}
