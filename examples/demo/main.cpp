// A host program: loads QXMemory at run time, takes its interface and uses what it offers.
#include <cstdio>
#include <cstring>

#include "QXMemoryLoader.h"

namespace {

void OnOutOfMemory(uint32_t size, uintptr_t userData) {
    std::printf("  out-of-memory callback: %u bytes failed (user data %u)\n", unsigned(size),
                unsigned(userData));
}

// The kind nibble of the header word in front of every block.
unsigned HeaderKind(const void* block) {
    uint32_t word;
    std::memcpy(&word, static_cast<const char*>(block) - 4, sizeof word);
    return word >> 28;
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

    void* small[3];
    for (uint32_t i = 0; i < 3; ++i) small[i] = memory->Alloc(24 + 100 * i);
    std::printf("Alloc(24), Alloc(124), Alloc(224) -> small bins, header kinds %u, %u, %u\n",
                HeaderKind(small[0]), HeaderKind(small[1]), HeaderKind(small[2]));
    for (void* element : small) memory->Free(element);

    IAllocator* bank = memory->CreateBank(48, 1000, true);
    IAllocator* shared = memory->CreateBank(48, 1000, true);
    void* element = bank->Alloc();
    std::printf("CreateBank(48, 1000, shareable) twice -> %s bank; element %p\n",
                bank == shared ? "the same" : "different", element);
    bank->Free(element);
    bank->Release();
    shared->Release();

    void* block = memory->AllocBlock(4, nullptr);
    memory->FreeBlock(4, block);
    void* again = memory->AllocBlock(4, nullptr);
    std::printf("AllocBlock(4) after FreeBlock(4) -> %s 64 KiB block from the cache\n",
                again == block ? "the same" : "another");
    memory->FreeBlock(4, again);
    memory->FlushBlockCache();

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
