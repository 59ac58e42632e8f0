// A host program: loads QXMemory at run time, takes its interface and uses what it offers.
#include <cstdio>
#include <cstring>

#include "QXMemoryLoader.h"

namespace {

void OnOutOfMemory(uint32_t size, uintptr_t userData) {
    std::printf("  out-of-memory callback: %u bytes failed (user data %u)\n", unsigned(size),
                unsigned(userData));
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : QXMEMORY_LIBRARY;
    LoadedQXMemory qx = LoadQXMemory(path);
    if (!qx.memory) {
        std::printf("could not load %s\n", path);
        return 1;
    }
    IQXMemory* memory = qx.memory;
    std::printf("loaded %s; linkage object at %p\n", path, static_cast<void*>(*qx.linkage));

    char* text = static_cast<char*>(memory->Alloc(4000));
    std::strcpy(text, "a 4000-byte block from the aligned heap");
    std::printf("Alloc(4000)          -> %p: %s\n", static_cast<void*>(text), text);
    memory->Free(text);

    void* page = memory->AllocAligned(64, 4096);
    std::printf("AllocAligned(64, 4096) -> %p (address %% 4096 = %u)\n", page,
                unsigned(reinterpret_cast<uintptr_t>(page) % 4096));
    memory->Free(page);

    memory->SetOutOfMemoryHandler(OnOutOfMemory, 7);
    std::printf("ReportOutOfMemory(123) with a callback installed:\n");
    memory->ReportOutOfMemory(123);
    memory->ReportOutOfMemory(456);  // one-shot: nothing is called
    std::printf("  a second report finds the handler empty\n");

    std::printf("fixed answers: LargeBlockTest %d, LargeBlockQuery %u, LargeHeapCounter %u\n",
                int(memory->LargeBlockTest(page)), unsigned(memory->LargeBlockQuery(page, 0)),
                unsigned(memory->LargeHeapCounter()));
    return 0;
}
