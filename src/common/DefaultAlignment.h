// DefaultAlignment - the alignment of every block and element the library hands out unasked.
//
// 8 on 32-bit targets, whose layouts are the Win32 ones and whose heap guarantees 8; 16 on 64-bit
// targets, whose ABIs promise 16 for any allocation of 16 bytes or more and whose compilers store
// into fresh allocations with aligned 16-byte moves. Bank strides, a page's first element and the
// aligned heap's default follow from it.
#pragma once

#include <stdint.h>

#include "IQXMemory.h"

constexpr uint32_t DefaultAlignment = QXMEMORY_ALLOC_ALIGNMENT;
static_assert(DefaultAlignment == (UINTPTR_MAX == 0xFFFFFFFFu ? 8 : 16),
              "8 on 32-bit targets, 16 on 64-bit targets");
