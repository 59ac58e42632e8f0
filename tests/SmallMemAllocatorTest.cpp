// The eight small bins over a private block cache: which bin serves a size, what the header word
// says, and how pages move between the bins and the cache.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/HeaderWord.h"
#include "pool/SmallMemAllocator.h"
#include "support/PoolWiring.h"

namespace {

constexpr uint32_t FirstOffset = BankPage::FirstElementOffset;

// Each bin's usable size: its stride less the header word; strides round to 8 on 32-bit targets
// and to 16 on 64-bit ones.
#if UINTPTR_MAX == 0xFFFFFFFFu
constexpr uint32_t Usable[] = {20, 36, 68, 132, 196, 260, 388, 516};
#else
constexpr uint32_t Usable[] = {28, 44, 76, 140, 204, 268, 396, 524};
#endif

class SmallMemAllocatorTest : public ::testing::Test {
protected:
    PoolWiring wiring;
    SmallMemAllocator small{wiring.cache};
};

}  // namespace

TEST_F(SmallMemAllocatorTest, BinsAreSetUpOnLargestPagesUnshared) {
    for (uint32_t bin = 0; bin < SmallMemAllocator::BinCount; ++bin) {
        SCOPED_TRACE(bin);
        Bank& bank = small.Bin(bin);
        EXPECT_EQ(bank.GetUsableSize(), Usable[bin]);
        EXPECT_EQ(bank.GetBlockClass(), 4u);
        EXPECT_FALSE(bank.IsShareable());
        EXPECT_EQ(bank.RefCount(), 0);
        EXPECT_EQ(bank.ElementsPerPage(), (65536 - FirstOffset) / (Usable[bin] + 4));
        EXPECT_EQ(bank.CurrentPage(), nullptr);
    }
    EXPECT_EQ(wiring.runtime.Calls(), 0u) << "pages are taken on demand";
}

TEST_F(SmallMemAllocatorTest, EachSizeGoesToTheFirstBinThatHoldsIt) {
    struct Case {
        uint32_t size;
        uint32_t bin;
    };
    // Each bin's first and last size, and the largest general request.
    std::vector<Case> cases{{0, 0}};
    for (uint32_t bin = 0; bin < SmallMemAllocator::BinCount; ++bin) {
        if (bin > 0) cases.push_back({Usable[bin - 1] + 1, bin});
        cases.push_back({Usable[bin], bin});
    }
    cases.push_back({511, 7});
    std::vector<char*> elements;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(SmallMemAllocator::BinFor(c.size), c.bin);
        char* element = static_cast<char*>(small.Alloc(c.size));
        ASSERT_NE(element, nullptr);
        const uint32_t word = HeaderWord::Read(element);
        EXPECT_EQ(HeaderWord::Kind(word), c.bin + 2);
        EXPECT_EQ(word & 0xFFFFu, 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(element) % QXMEMORY_ALLOC_ALIGNMENT, 0u);
        // The element lies in its bin's current page, at the slot its word names.
        Bank& bank = small.Bin(c.bin);
        EXPECT_EQ(element, bank.CurrentPage()->Element(HeaderWord::SmallSlot(word), bank.Stride()));
        std::memset(element, int(c.size & 0xFF), bank.GetUsableSize());
        elements.push_back(element);
    }
    EXPECT_EQ(small.Alloc(Usable[7] + 1), nullptr);
    EXPECT_EQ(small.Alloc(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(SmallMemAllocator::BinFor(Usable[7] + 1), SmallMemAllocator::BinCount);
    EXPECT_EQ(wiring.cache.InUseBytes(), 8 * 65536u);

    // Filling each element to its usable size damaged no neighbour's word.
    for (size_t i = 0; i < elements.size(); ++i) {
        const uint32_t bin = cases[i].bin;
        EXPECT_EQ(uint32_t(uint8_t(elements[i][0])), cases[i].size & 0xFF);
        EXPECT_EQ(HeaderWord::SmallBin(HeaderWord::Read(elements[i])), bin);
        small.Free(elements[i]);
    }
    small.Free(nullptr);
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
    for (uint32_t bin = 0; bin < SmallMemAllocator::BinCount; ++bin) {
        EXPECT_EQ(small.Bin(bin).CurrentPage(), nullptr);
        EXPECT_TRUE(small.Bin(bin).Validate());
    }
}

// The bin lookup is a table; it must agree with comparing each bin's usable size in turn.
TEST_F(SmallMemAllocatorTest, BinLookupAgreesWithTheFirstFitForEverySize) {
    for (uint32_t size = 0; size <= 600; ++size) {
        uint32_t expected = 0;
        while (expected < SmallMemAllocator::BinCount && small.Bin(expected).GetUsableSize() < size)
            ++expected;
        ASSERT_EQ(SmallMemAllocator::BinFor(size), expected) << "size " << size;
    }
    EXPECT_EQ(SmallMemAllocator::BinFor(0xFFFFFFFFu), SmallMemAllocator::BinCount);
}

TEST_F(SmallMemAllocatorTest, HeaderWordCarriesKindAndSlot) {
    char* first = static_cast<char*>(small.Alloc(100));
    char* second = static_cast<char*>(small.Alloc(132));
    EXPECT_EQ(HeaderWord::Read(first), 5u << 28);
    EXPECT_EQ(HeaderWord::Read(second), (5u << 28) | (1u << 16));
    EXPECT_EQ(second - first, ptrdiff_t(Bank::StrideFor(128)));
    EXPECT_EQ(first - reinterpret_cast<char*>(small.Bin(3).CurrentPage()), ptrdiff_t(FirstOffset));
    small.Free(first);
    small.Free(second);
    EXPECT_TRUE(small.Bin(3).Validate());
}

TEST_F(SmallMemAllocatorTest, FreedElementComesBackWithTheSameWord) {
    void* a = small.Alloc(50);
    void* b = small.Alloc(50);
    void* c = small.Alloc(50);
    const uint32_t word = HeaderWord::Read(b);
    small.Free(b);
    EXPECT_TRUE(small.Bin(2).Validate());
    EXPECT_EQ(small.Alloc(60), b);
    EXPECT_EQ(HeaderWord::Read(b), word);
    small.Free(a);
    small.Free(c);
    EXPECT_EQ(small.Alloc(68), c);
    EXPECT_EQ(HeaderWord::Read(c), HeaderWord::SmallElement(2, 2));
    small.Free(b);
    small.Free(c);
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
    EXPECT_TRUE(small.Bin(2).Validate());
}

TEST_F(SmallMemAllocatorTest, SmallestBinFillsAWholePageBeforeTakingASecond) {
    const uint32_t perPage = (65536 - FirstOffset) / (Usable[0] + 4);
#if UINTPTR_MAX == 0xFFFFFFFFu
    ASSERT_EQ(perPage, 2730u);
#else
    ASSERT_EQ(perPage, 2047u);
#endif
    std::vector<void*> elements;
    for (uint32_t i = 0; i < perPage; ++i) {
        elements.push_back(small.Alloc(i % (Usable[0] + 1)));
        ASSERT_NE(elements.back(), nullptr);
        ASSERT_EQ(HeaderWord::Read(elements.back()), HeaderWord::SmallElement(0, i));
    }
    EXPECT_EQ(wiring.cache.InUseBytes(), 65536u);
    EXPECT_LE(HeaderWord::SmallSlot(HeaderWord::Read(elements.back())), 0xFFFu);

    void* next = small.Alloc(1);
    EXPECT_EQ(wiring.cache.InUseBytes(), 2 * 65536u);
    EXPECT_EQ(HeaderWord::Read(next), HeaderWord::SmallElement(0, 0));
    EXPECT_EQ(small.Bin(0).PageCount(), 2u);
    small.Free(next);
    for (void* element : elements) small.Free(element);
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
    EXPECT_TRUE(small.Bin(0).Validate());
}

TEST_F(SmallMemAllocatorTest, EmptiedPageGoesBackAsALargestBlockForAnyBin) {
    std::vector<void*> elements;
    for (int i = 0; i < 10; ++i) elements.push_back(small.Alloc(250));
    BankPage* page = small.Bin(5).CurrentPage();
    for (void* element : elements) small.Free(element);
    EXPECT_EQ(small.Bin(5).CurrentPage(), nullptr);
    EXPECT_EQ(wiring.cache.CachedCount(4), 1u);
    EXPECT_EQ(wiring.cache.CachedBytes(), 65536u);
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);

    // Another bin takes that very block without going to the heap.
    const unsigned calls = wiring.runtime.Calls();
    void* element = small.Alloc(400);
    EXPECT_EQ(small.Bin(7).CurrentPage(), page);
    EXPECT_EQ(wiring.runtime.Calls(), calls);
    small.Free(element);
    EXPECT_TRUE(wiring.cache.Validate());
}

TEST_F(SmallMemAllocatorTest, BinStatsResetTheRecordWhateverTheBin) {
    void* element = small.Alloc(100);
    for (uint32_t bin : {3u, 0u, 7u, 8u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(bin);
        MemStats stats;
        for (uint32_t i = 0; i < 10; ++i) stats.words[i] = 0x100 + i;
        uint32_t out[4] = {9, 9, 9, 9};
        small.GetBinStats(bin, &stats, &out[0], &out[1], &out[2], &out[3]);
        for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(stats.words[i], i == 3 ? 0x103u : 0u) << i;
        for (uint32_t word : out) EXPECT_EQ(word, 0u);
    }
    EXPECT_EQ(HeaderWord::Read(element), 5u << 28) << "the bins are not touched";
    small.Free(element);
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
}
