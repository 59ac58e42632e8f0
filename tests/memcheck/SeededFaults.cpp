// A host program with one seeded fault, named by its argument, for memcheck to report:
//   clean                 correct use of small elements, bank elements and page blocks
//   use-after-free        reads a small element after freeing it
//   double-free           frees a small element twice
//   block-use-after-free  writes into a page block after giving it back
//   leak                  drops the only pointer to a small element
#include <cstdio>
#include <cstring>

#include "IQXMemory.h"

namespace {

// A live neighbour keeps the element's page in its bin: slot 0 of a page given back to the block
// cache lies partly under the cache's header, which the library keeps readable.
void UseAfterFree(IQXMemory* memory) {
    char* element = static_cast<char*>(memory->Alloc(100));
    void* neighbour = memory->Alloc(100);
    std::memset(element, 'x', 100);
    memory->Free(element);
    std::printf("read %d\n", *static_cast<volatile char*>(element));
    memory->Free(neighbour);
}

void DoubleFree(IQXMemory* memory) {
    void* element = memory->Alloc(100);
    void* neighbour = memory->Alloc(100);
    memory->Free(element);
    memory->Free(element);
    memory->Free(neighbour);
}

void BlockUseAfterFree(IQXMemory* memory) {
    const AllocTag tag = {"Host.Seeded", "Block", 0};
    char* block = static_cast<char*>(memory->AllocBlock(2, &tag));
    memory->FreeBlock(2, block);
    block[1000] = 1;
}

// Kept out of line so that no register in main still holds the pointer at exit.
__attribute__((noinline)) void Leak(IQXMemory* memory) { memory->Alloc(100); }

void Clean(IQXMemory* memory) {
    void* elements[64];
    for (uint32_t i = 0; i < 64; ++i) {
        elements[i] = memory->Alloc(8 * i + 1);
        std::memset(elements[i], int(i), 8 * i + 1);
    }
    for (void* element : elements) memory->Free(element);

    IAllocator* bank = memory->CreateBank(40, 100, false);
    void* first = bank->Alloc();
    void* second = bank->Alloc();
    std::memset(first, 1, 40);
    bank->Free(first);
    bank->Free(second);
    bank->Release();

    const AllocTag tag = {"Host.Seeded", "Block", 0};
    for (int round = 0; round < 2; ++round) {
        char* block = static_cast<char*>(memory->AllocBlock(0, &tag));
        std::memset(block, 2, 4096);
        memory->FreeBlock(0, block);
    }
    memory->FlushBlockCache();
}

}  // namespace

int main(int argc, char** argv) {
    IQXMemory* memory = GetIQXMemory();
    const char* fault = argc > 1 ? argv[1] : "";
    if (!std::strcmp(fault, "clean"))
        Clean(memory);
    else if (!std::strcmp(fault, "use-after-free"))
        UseAfterFree(memory);
    else if (!std::strcmp(fault, "double-free"))
        DoubleFree(memory);
    else if (!std::strcmp(fault, "block-use-after-free"))
        BlockUseAfterFree(memory);
    else if (!std::strcmp(fault, "leak"))
        Leak(memory);
    else {
        std::fprintf(stderr,
                     "usage: %s clean|use-after-free|double-free|block-use-after-free|leak\n",
                     argv[0]);
        return 2;
    }
    return 0;
}
