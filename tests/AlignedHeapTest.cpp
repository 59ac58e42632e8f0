#include <gtest/gtest.h>

#include <cstdlib>

#include "common/DefaultAlignment.h"
#include "common/HeaderWord.h"
#include "support/FakeRuntimeHeap.h"
#include "system/AlignedHeap.h"

namespace {

// 64-bit targets serve their default alignment, 16, with a 16-byte allowance.
constexpr bool Wide = DefaultAlignment == 16;

class NoFlush final : public CacheFlusher {
public:
    void Flush() override {}
};

class AlignedHeapTest : public ::testing::Test {
protected:
    // The raw block the runtime heap gave for the last request, and its size.
    FakeRuntimeHeap::Block LastRaw() const { return runtime.Live().back(); }

    // Allocates, checks the block's format against its raw block, and frees it again.
    void CheckBlock(uint32_t size, uint32_t alignment, uint32_t expectedRequest) {
        SCOPED_TRACE(testing::Message() << "size " << size << " alignment " << alignment);
        char* block = static_cast<char*>(heap.Alloc(size, alignment));
        ASSERT_NE(block, nullptr);
        const FakeRuntimeHeap::Block raw = LastRaw();
        EXPECT_EQ(raw.size, expectedRequest);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignment, 0u);
        const uint32_t word = HeaderWord::Read(block);
        EXPECT_EQ(HeaderWord::Kind(word), HeaderWord::KindAlignedBlock);
        const uintptr_t gap = block - 4 - static_cast<char*>(raw.address);
        EXPECT_EQ(HeaderWord::Payload(word), gap);
        EXPECT_LT(gap, alignment);
        EXPECT_LE(gap + 4 + size, raw.size) << "the caller's bytes stay inside the raw block";
        heap.Free(block);
        ASSERT_FALSE(runtime.Released().empty());
        EXPECT_EQ(runtime.Released().back(), raw.address) << "Free hands back exactly R";
    }

    FakeRuntimeHeap runtime;
    OutOfMemoryHandler handler;
    NoFlush cache;
    SystemHeap system{runtime, handler, cache};
    AlignedHeap heap{system};
};

}  // namespace

TEST_F(AlignedHeapTest, RequestSizesAndLayoutAtEachKindOfAlignment) {
    CheckBlock(100, 8, 108);
    CheckBlock(100, 16, Wide ? 116 : 119);
    CheckBlock(100, 1, 104);
    CheckBlock(100, 12, 115);  // not a power of two
    CheckBlock(0, 8, 8);
    CheckBlock(65536, 8, 65544);
    CheckBlock(10, 4096, 4109);
    CheckBlock(1, 3, 7);
    EXPECT_EQ(runtime.Outstanding(), 0u);
}

TEST_F(AlignedHeapTest, AlignmentOneHasNoGap) {
    char* block = static_cast<char*>(heap.Alloc(100, 1));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(HeaderWord::Read(block), 0x10000000u);
    EXPECT_EQ(block - 4, LastRaw().address);
    heap.Free(block);
}

TEST_F(AlignedHeapTest, UnservableRequestsFailWithoutTouchingTheRuntimeHeap) {
    EXPECT_EQ(heap.Alloc(100, 0), nullptr);
    EXPECT_EQ(heap.Alloc(100, AlignedHeap::MaxAlignment + 1), nullptr);
    EXPECT_EQ(heap.Alloc(0xFFFFFFFFu - 7, 8), nullptr);    // size + 8 passes 2^32 - 1
    EXPECT_EQ(heap.Alloc(0xFFFFFFFFu - 15, 16), nullptr);  // size + 16 (or + 19) passes it
    EXPECT_EQ(runtime.Calls(), 0u);
    EXPECT_EQ(AlignedHeap::RawRequestSize(0xFFFFFFFFu - 8, 8), 0xFFFFFFFFu) << "the largest fit";
}

TEST_F(AlignedHeapTest, LargestAlignmentStillFitsTheHeaderWord) {
    EXPECT_EQ(AlignedHeap::RawRequestSize(16, AlignedHeap::MaxAlignment),
              16u + AlignedHeap::MaxAlignment + 3);
    // A real block that large is not needed to check the arithmetic: the largest gap is
    // MaxAlignment - 1, which the payload bits hold.
    EXPECT_EQ(HeaderWord::Payload(AlignedHeap::MaxAlignment - 1), AlignedHeap::MaxAlignment - 1);
}

TEST_F(AlignedHeapTest, FailureReportsTheRawRequestNotTheCallersSize) {
    uint32_t reported = 0;
    static uint32_t* sink;
    sink = &reported;
    handler.SetHandler([](uint32_t size, uintptr_t) { *sink = size; }, 0);
    runtime.FailAll(true);
    EXPECT_EQ(heap.Alloc(100, 16), nullptr);
    EXPECT_EQ(reported, Wide ? 116u : 119u);
    heap.Free(nullptr);
    EXPECT_TRUE(runtime.Released().empty());
}

// The default alignment's allowance leaves room for the largest gap whenever the runtime heap's
// blocks are 4-aligned, whatever their address modulo the alignment.
TEST(AlignedHeapDefaultTest, DefaultAlignmentFitsAtEveryFourAlignedAddress) {
    class Shifted final : public RuntimeHeap {
    public:
        void* Allocate(uint32_t size) override {
            raw = static_cast<char*>(std::malloc(size + 16));
            return raw + shift;
        }
        void Release(void* block) override { std::free(static_cast<char*>(block) - shift); }
        char* raw = nullptr;
        uint32_t shift = 0;
    } runtime;
    OutOfMemoryHandler handler;
    NoFlush cache;
    SystemHeap system{runtime, handler, cache};
    AlignedHeap heap{system};
    for (uint32_t shift = 0; shift < 16; shift += 4) {
        runtime.shift = shift;
        char* block = static_cast<char*>(heap.Alloc(100, DefaultAlignment));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % DefaultAlignment, 0u) << shift;
        EXPECT_LE(block + 100, runtime.raw + shift + 100 + DefaultAlignment) << shift;
        heap.Free(block);
    }
}
