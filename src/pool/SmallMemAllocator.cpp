#include "pool/SmallMemAllocator.h"

#include <array>

#include "common/BlockClass.h"
#include "common/HeaderWord.h"
#include "common/MemoryChecker.h"

constexpr uint32_t SmallMemAllocator::BinElementSize[BinCount];

// Every slot index of every bin fits the 12 bits the header word gives it; bin 0, with the
// smallest stride, has the most slots.
static_assert((LargestBlockSize - BankPage::FirstElementOffset) / Bank::StrideFor(16) - 1 <=
                  HeaderWord::SmallSlotMask,
              "slot indexes fit 12 bits");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert((LargestBlockSize - BankPage::FirstElementOffset) / Bank::StrideFor(16) ==
                  (65536 - 16) / 24,
              "bin 0's page holds (65536 - 16) / 24 elements");
#endif

SmallMemAllocator::SmallMemAllocator(BlockCache& cache)
    : bins_{cache, cache, cache, cache, cache, cache, cache, cache} {
    for (uint32_t bin = 0; bin < BinCount; ++bin)
        bins_[bin].bank.Init(BinElementSize[bin], PageClass, false, "All.SmallMemAlloc");
}

namespace {

constexpr uint32_t LargestUsableSize =
    SmallMemAllocator::UsableSize(SmallMemAllocator::BinCount - 1);

// Entry q is the first bin whose usable size (its stride minus the header word) is at least 4q.
constexpr std::array<uint8_t, LargestUsableSize / 4 + 1> MakeBinByQuarter() {
    std::array<uint8_t, LargestUsableSize / 4 + 1> table{};
    uint8_t bin = 0;
    for (uint32_t quarter = 0; quarter < table.size(); ++quarter) {
        while (SmallMemAllocator::UsableSize(bin) < quarter * 4) ++bin;
        table[quarter] = bin;
    }
    return table;
}

constexpr auto BinByQuarter = MakeBinByQuarter();
static_assert(LargestUsableSize % 4 == 0, "usable sizes are multiples of 4");

}  // namespace

uint32_t SmallMemAllocator::BinFor(uint32_t size) {
    return size <= LargestUsableSize ? BinByQuarter[(size + 3) / 4] : BinCount;
}

[[gnu::hot]] void* SmallMemAllocator::Alloc(uint32_t size) {
    const uint32_t bin = BinFor(size);
    if (bin == BinCount) return nullptr;
    void* element = bins_[bin].bank.Alloc();
    if (!element) return nullptr;
    // The bank marked the slot with its bare index; record the bin beside it.
    HeaderWord::Write(element, HeaderWord::SmallElement(bin, HeaderWord::Read(element)));
    return element;
}

[[gnu::hot]] void SmallMemAllocator::Free(void* element) {
    // Checked before the word is read: a second free finds the word holding a free-chain index,
    // or the cache's links if the page went back to it.
    constexpr uint32_t SmallestUsableSize = UsableSize(0);
    if (!element || MemoryChecker::ReportIfFreed(element, SmallestUsableSize)) return;
    const uint32_t word = HeaderWord::Read(element);
    bins_[HeaderWord::SmallBin(word)].bank.FreeIndexed(element, HeaderWord::SmallSlot(word));
}

void SmallMemAllocator::GetBinStats(uint32_t bin, MemStats* stats, uint32_t* first,
                                    uint32_t* second, uint32_t* third, uint32_t* fourth) {
    // The answer does not depend on the bin, so a bin number past the last answers as bin 0
    // rather than reading past the bins. The first word is discarded.
    uint32_t scratch;
    bins_[bin < BinCount ? bin : 0].bank.GetStats(&scratch, stats, first, second, third, fourth);
}
