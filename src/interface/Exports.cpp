// The library's two exports: the interface object and the linkage pointer.
#include "IQXMemory.h"
#include "interface/QXMemory.h"
#include "interface/Singletons.h"

// Only the export table names these two, and link-time optimisation does not read it: keep them.
#define QXMEMORY_EXPORT_DEFINITION __attribute__((used))

namespace {
QXMemoryLinkage linkage;  // zero-initialised, published, never used
}

extern "C" {

QXMEMORY_EXPORT_DEFINITION QXMemoryLinkage* _pQXMemoryLinkageExported = &linkage;

QXMEMORY_EXPORT_DEFINITION IQXMemory* GetIQXMemory() { return &GetQXMemory(); }
}
