#include "platform/ForkHandlers.h"

// Windows has no fork: a new process starts empty, so no lock can be inherited held, and the
// runtime's guards alone make building a singleton safe.
bool InstallForkHandlers(void (*)(), void (*)(), void (*)()) { return false; }

void EnterForkExclusion() {}
void LeaveForkExclusion() {}
