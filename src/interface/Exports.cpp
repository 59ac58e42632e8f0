// The library's two exports: the interface object and the linkage pointer.
#include "IQXMemory.h"
#include "interface/QXMemory.h"

namespace {
QXMemoryLinkage linkage;  // zero-initialised, published, never used
}

extern "C" {

QXMemoryLinkage* _pQXMemoryLinkageExported = &linkage;

IQXMemory* GetIQXMemory() {
    static QXMemory memory;
    return &memory;
}
}
