#include "pool/BankPage.h"

#include "common/MemoryChecker.h"

void BankPage::Format(uint32_t count, uint32_t stride) {
    next = prev = nullptr;
    freeCount = uint16_t(count);
    firstFree = 0;
    // The last slot holds count, which is never followed: freeCount reaches 0 first.
    for (uint32_t i = 0; i < count; ++i) {
        SlotWord(i, stride) = i + 1;
        MemoryChecker::MarkSlotUnused(Element(i, stride), stride - 4);
    }
}

void* BankPage::Take(uint32_t stride) {
    const uint32_t index = firstFree;
    uint32_t& word = SlotWord(index, stride);
    --freeCount;
    firstFree = uint16_t(word);
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
