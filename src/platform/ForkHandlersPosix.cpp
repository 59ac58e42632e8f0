#include <pthread.h>

#include "platform/ForkHandlers.h"

bool InstallForkHandlers(void (*prepare)(), void (*parent)(), void (*child)()) {
    return pthread_atfork(prepare, parent, child) == 0;
}
