// QXMemoryLoader - loads the QXMemory library at run time and finds its two exports.
// A host that links the import library or the shared object directly needs none of this.
#pragma once

#include "IQXMemory.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

struct LoadedQXMemory {
    void* module = nullptr;
    IQXMemory* memory = nullptr;
    QXMemoryLinkage** linkage = nullptr;  // the address of _pQXMemoryLinkageExported
};

// Loads the library at path and resolves both exports; memory is null on any failure.
inline LoadedQXMemory LoadQXMemory(const char* path) {
    LoadedQXMemory loaded;
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path);
    if (!module) return loaded;
    loaded.module = module;
    FARPROC get = GetProcAddress(module, "GetIQXMemory");
    FARPROC linkage = GetProcAddress(module, "_pQXMemoryLinkageExported");
#else
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module) return loaded;
    loaded.module = module;
    void* get = dlsym(module, "GetIQXMemory");
    void* linkage = dlsym(module, "_pQXMemoryLinkageExported");
#endif
    if (!get || !linkage) return loaded;
    typedef IQXMemory* (*GetFunction)();
    loaded.memory = reinterpret_cast<GetFunction>(reinterpret_cast<void (*)()>(get))();
    loaded.linkage = reinterpret_cast<QXMemoryLinkage**>(linkage);
    return loaded;
}
