// ForkHandlers - code the process runs around every fork(), and what a fork must not split.
//
// pthread_atfork where processes fork; nothing on Windows, which has no fork.
#pragma once

// Registers three handlers for every later fork() of the process, run on the forking thread:
// prepare in the parent before the fork, parent and child in each process after it. Handlers
// registered later prepare earlier and finish later. False where there is no fork (nothing is
// registered) or when the platform refuses.
bool InstallForkHandlers(void (*prepare)(), void (*parent)(), void (*child)());

// A recursive lock in static storage, free before any code of the process runs, for work that a
// fork must find either not begun or complete: the child has only the forking thread, so work
// another thread had half done would stay half done there for good. The library holds it while it
// builds a singleton, and its prepare handler holds it from before a fork until after it. Nothing
// on Windows.
void EnterForkExclusion();
void LeaveForkExclusion();
