#include "pool/BankPage.h"

#include "common/MemoryChecker.h"

void BankPage::Format(uint32_t count, uint32_t stride, uint32_t untouchedOffset) {
    next = prev = nullptr;
    freeCount = uint16_t(count);
    firstFree = 0;
    Untouched(untouchedOffset) = 0;
    // Every slot is untouched: off limits, header words included, until handed out.
    MemoryChecker::MarkSlotsUntouched(&SlotWord(0, stride), count * stride);
}

void* BankPage::Take(uint32_t stride, uint32_t untouchedOffset) {
    const uint32_t index = firstFree;
    uint32_t& untouched = Untouched(untouchedOffset);
    uint32_t& word = SlotWord(index, stride);
    if (index == untouched) {
        // The first slot of the untouched tail: an eager format chained it to the next one.
        MemoryChecker::MarkSlotWordUsable(&word);
        untouched = index + 1;
        firstFree = uint16_t(index + 1);
    } else {
        firstFree = uint16_t(word);
    }
    --freeCount;
    word = index;
    MemoryChecker::MarkElementInUse(Element(index, stride), stride - 4);
    return Element(index, stride);
}

void BankPage::Put(uint32_t index, uint32_t stride) {
    MemoryChecker::MarkElementFree(Element(index, stride), stride - 4);
    SlotWord(index, stride) = firstFree;
    ++freeCount;
    firstFree = uint16_t(index);
}
