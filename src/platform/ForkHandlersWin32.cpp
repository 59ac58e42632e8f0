#include "platform/ForkHandlers.h"

// Windows has no fork: a new process starts empty, so no lock can be inherited held.
bool InstallForkHandlers(void (*)(), void (*)(), void (*)()) { return false; }
