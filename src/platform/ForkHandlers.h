// ForkHandlers - code the process runs around every fork().
//
// pthread_atfork where processes fork; nothing on Windows, which has no fork.
#pragma once

// Registers three handlers for every later fork() of the process, run on the forking thread:
// prepare in the parent before the fork, parent and child in each process after it. Handlers
// registered later prepare earlier and finish later. False where there is no fork (nothing is
// registered) or when the platform refuses.
bool InstallForkHandlers(void (*prepare)(), void (*parent)(), void (*child)());
