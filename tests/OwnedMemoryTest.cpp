// The malloc front's map of the raw blocks it holds: exact at every granule, across the words
// neighbouring blocks share and across the boundary between two leaves. The map only records
// addresses, so these need no memory at them.
#include <gtest/gtest.h>

#include <stdint.h>

#include "malloc/OwnedMemory.h"

namespace {

const void* At(uintptr_t address) { return reinterpret_cast<const void*>(address); }

TEST(OwnedMemoryTest, MarksExactlyEachRangeAndClearsItAlone) {
    static OwnedMemory owned;  // large: static storage, as the front keeps it
    const uintptr_t leafEnd = uintptr_t(1) << 36;
    // Three neighbours: one ending inside a word another starts in, and one across two leaves.
    struct Range {
        uintptr_t start;
        size_t bytes;
    } ranges[] = {{leafEnd - 4096, 1000}, {leafEnd - 4096 + 1008, 2064}, {leafEnd - 1024, 5000}};
    for (const Range& range : ranges) ASSERT_TRUE(owned.Mark(At(range.start), range.bytes));
    auto inside = [&](uintptr_t address) {
        for (const Range& range : ranges)
            if (address >= range.start && address < range.start + range.bytes) return true;
        return false;
    };
    for (uintptr_t address = leafEnd - 8192; address < leafEnd + 8192; address += 16)
        ASSERT_EQ(owned.Owns(At(address)), inside(address)) << std::hex << address;

    owned.Clear(At(ranges[1].start), ranges[1].bytes);
    for (uintptr_t address = leafEnd - 8192; address < leafEnd + 8192; address += 16)
        ASSERT_EQ(owned.Owns(At(address)),
                  inside(address) &&
                      (address < ranges[1].start || address >= ranges[1].start + ranges[1].bytes))
            << std::hex << address;

    // Past the user address space nothing is marked, and nothing is owned.
    EXPECT_FALSE(owned.Mark(At(uintptr_t(1) << 47), 16));
    EXPECT_FALSE(owned.Owns(At(~uintptr_t(0) - 15)));
}

}  // namespace
