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

    // A range heap over 1 MiB of "video memory" at 0x10000000 that the library never touches.
    RangeHeap* vram = memory->CreateRangeHeap(1 << 20, 64, 16, 0x10000000);
    uint32_t low = 0, high = 0, largest = 0, total = 0, spare = 0;
    uint16_t lowHandle = 0, highHandle = 0;
    MemStats stats;
    memory->RangeAlloc(vram, 1000, 256, &low, &lowHandle, true);
    memory->RangeAlloc(vram, 5000, 4096, &high, &highHandle, false);
    memory->GetRangeHeapInfo(vram, &total, &spare, &stats, &largest);
    std::printf(
        "range heap: bottom-up 1000 @256 -> offset %u, top-down 5000 @4096 -> offset %u;"
        " %u spare descriptors, largest free %u\n",
        unsigned(low), unsigned(high), unsigned(spare), unsigned(largest));
    memory->RangeFree(vram, lowHandle);
    memory->RangeFree(vram, highHandle);
    memory->DestroyRangeHeap(vram);

    AllocTag loading = {"Loading", "Textures", 3};
    memory->PushTag(&loading);
    ThreadTagContext* context = memory->PushTag(nullptr);  // nested: only the depth moves
    std::printf("PushTag twice -> tag \"%s/%s\" value %u, depth %u\n", context->tag.firstName,
                context->tag.secondName, unsigned(context->tag.value), unsigned(context->depth));
    memory->PopTag();
    memory->PopTag();

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
