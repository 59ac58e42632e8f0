// Loads the built shared library by path, as a host that links nothing would, and uses it.
#include <gtest/gtest.h>

#include "QXMemoryLoader.h"

TEST(LoadLibrary, BothExportsResolveAndTheInterfaceWorks) {
    LoadedQXMemory qx = LoadQXMemory(QXMEMORY_LIBRARY);
    ASSERT_NE(qx.module, nullptr) << "cannot load " << QXMEMORY_LIBRARY;
    ASSERT_NE(qx.memory, nullptr);
    ASSERT_NE(qx.linkage, nullptr);
    ASSERT_NE(*qx.linkage, nullptr);
    for (uint32_t word : (*qx.linkage)->reserved) EXPECT_EQ(word, 0u);

    char* block = static_cast<char*>(qx.memory->Alloc(1000));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u);
    block[999] = 1;
    qx.memory->Free(block);

    void* aligned = qx.memory->AllocAligned(10, 256);
    ASSERT_NE(aligned, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 256, 0u);
    qx.memory->Free(aligned);
    EXPECT_FALSE(qx.memory->LargeBlockTest(aligned));

    LoadedQXMemory again = LoadQXMemory(QXMEMORY_LIBRARY);
    EXPECT_EQ(again.memory, qx.memory) << "one interface object per process";
}
