#include "pool/BankPage.h"

#include <string.h>

#include "common/MemoryChecker.h"

namespace {

// Writes the word of slot index, the first untouched one: chained to the next, and marked.
void MarkUntouched(BankPage* page, uint32_t index, uint32_t stride) {
    uint32_t& word = page->SlotWord(index, stride);
    MemoryChecker::MarkSlotWordUsable(&word);
    word = (index + 1) | BankPage::UntouchedMark;
}

}  // namespace

BankPage::FreeSlots BankPage::Format(uint32_t count, uint32_t stride) {
    next = prev = nullptr;
    // Every slot is untouched: off limits, header words included, until handed out.
    MemoryChecker::MarkSlotsUntouched(&SlotWord(0, stride), count * stride);
    MarkUntouched(this, 0, stride);
    return FreeSlots{uint16_t(count), 0};
}

void* BankPage::Take(FreeSlots& free, uint32_t stride, uint32_t count) {
    const uint32_t index = free.firstFree;
    uint32_t& word = SlotWord(index, stride);
    const uint32_t link = word;
    // The first untouched slot hands the mark on to the next one, unless it was the last.
    if ((link & UntouchedMark) && index + 1 < count) MarkUntouched(this, index + 1, stride);
    free.firstFree = uint16_t(link);
    --free.freeCount;
    word = index;
    MemoryChecker::MarkElementInUse(Element(index, stride), stride - 4);
    return Element(index, stride);
}

void BankPage::Put(FreeSlots& free, void* element, uint32_t index, uint32_t stride) {
    MemoryChecker::MarkElementFree(element, stride - 4);
    // The slot's word is the element's header word, just below it.
    const uint32_t link = free.firstFree;
    memcpy(static_cast<char*>(element) - 4, &link, sizeof link);
    ++free.freeCount;
    free.firstFree = uint16_t(index);
}
