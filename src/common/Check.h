// Check - internal assertions, compiled in only when QXMEMORY_CHECKS is defined (debug builds).
// Validate() walkers are always compiled so that tests can call them in every build.
#pragma once

#if defined(QXMEMORY_CHECKS)
#include <cstdio>
#include <cstdlib>
#define QX_ASSERT(condition)                                                                       \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: assertion failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
#else
#define QX_ASSERT(condition) ((void)0)
#endif
