// ReservedMemory - address space taken from the system, zero-filled, paid for page by page.
#pragma once

#include <stddef.h>

// bytes of zeroed memory whose pages become resident only when touched, or null. Never given back.
void* ReserveZeroedMemory(size_t bytes);
