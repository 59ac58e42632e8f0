// BankPage - the format of one page of a bank, written at the start of a page block.
//
//   [next][prev][freeCount][firstFree] slot 0, slot 1, ... (stride bytes each) ... [place]
//
// Each slot starts with its 32-bit header word; the element follows it. While a slot is free
// its word holds the index of the next free slot of the page (only the low 16 bits are
// followed); while it is allocated, its own index. The first element sits at the first multiple
// of the default alignment after the header and its word, so with a page and a stride aligned
// like that every element is too: at page + 16 on 32-bit targets (alignment 8), at page + 32 on
// 64-bit ones (alignment 16).
//
// Pages are formatted lazily. A fresh page chains slot i to i + 1, and slots are only pushed and
// popped at the chain's head, so the slots never handed out since the page was formatted are
// always the chain's tail, in order. Only the first of them has its word written: i + 1, as an
// eager format would write it, with UntouchedMark in the high bits, which are never followed.
// Taking that slot writes the next one's word the same way. The slots handed out are exactly
// those an eagerly formatted page would hand out, and a fresh page costs a few stores.
//
// While a page is its bank's current page, the bank holds the page's free slots (the count and
// the chain's head) itself, beside its lock, and the header's copy is stale: an allocation from
// the current page then touches the bank's line and the slot, not the header's line as well. The
// bank writes them back when another page becomes current. So Take and Put work on the free
// slots wherever they are kept.
//
// The last four bytes of the block, which no slot ever reaches (a page holds (block size - first
// element offset) / stride slots, so at least four bytes follow the last one), hold the page's
// place in its bank's ring (see Bank). So every slot offset and the header stay as they are.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/DefaultAlignment.h"

struct BankPage {
    // How many slots of a page are free, and the first of their chain.
    struct FreeSlots {
        uint16_t freeCount;
        uint16_t firstFree;  // meaningful while freeCount is not 0
    };

    BankPage* next;  // the bank's ring of pages
    BankPage* prev;
    FreeSlots slots;  // stale while the page is its bank's current page

    // The header's own bytes; slot 0's word follows directly (inside the struct's tail padding
    // on 64-bit targets). Defined below, once the struct is complete.
    static const uint32_t HeaderSize;
    static const uint32_t FirstElementOffset;

    // In the word of the first slot never handed out since the page was formatted.
    static constexpr uint32_t UntouchedMark = 0x80000000u;

    // Where a page of blockSize bytes keeps its place: its last four bytes.
    static constexpr uint32_t PlaceOffset(uint32_t blockSize) { return blockSize - 4; }

    // Formats a fresh block: count slots chained in order, all free, unlinked. Writes the header
    // and slot 0's word only.
    // A fresh page always becomes its bank's current page, so its free slots are returned for
    // the bank to keep rather than written into the header.
    FreeSlots Format(uint32_t count, uint32_t stride);
    // Pops the first free slot of count and marks it with its index. The page's free slots, held
    // in free, must not be none.
    void* Take(FreeSlots& free, uint32_t stride, uint32_t count);
    // Pushes the element of slot index back onto the page's free chain, whose slots free holds.
    // The slot was handed out, so it is written.
    void Put(FreeSlots& free, void* element, uint32_t index, uint32_t stride);

    uint32_t& Place(uint32_t placeOffset);
    uint32_t& SlotWord(uint32_t index, uint32_t stride);
    void* Element(uint32_t index, uint32_t stride);
    static BankPage* FromElement(void* element, uint32_t index, uint32_t stride);
};

inline constexpr uint32_t BankPage::HeaderSize = offsetof(BankPage, slots) + sizeof(FreeSlots);
inline constexpr uint32_t BankPage::FirstElementOffset =
    (HeaderSize + 4 + DefaultAlignment - 1) & ~(DefaultAlignment - 1);

inline uint32_t& BankPage::Place(uint32_t placeOffset) {
    return *reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(this) + placeOffset);
}

inline uint32_t& BankPage::SlotWord(uint32_t index, uint32_t stride) {
    return *reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(this) + FirstElementOffset - 4 +
                                        size_t(index) * stride);
}

inline void* BankPage::Element(uint32_t index, uint32_t stride) {
    return reinterpret_cast<char*>(this) + FirstElementOffset + size_t(index) * stride;
}

inline BankPage* BankPage::FromElement(void* element, uint32_t index, uint32_t stride) {
    return reinterpret_cast<BankPage*>(static_cast<char*>(element) - size_t(index) * stride -
                                       FirstElementOffset);
}

static_assert(BankPage::FirstElementOffset % DefaultAlignment == 0, "elements keep the alignment");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(BankPage::HeaderSize == 12 && sizeof(BankPage) == 12, "three words");
static_assert(BankPage::FirstElementOffset == 16, "slot 0's word at 12, its element at 16");
#else
static_assert(BankPage::HeaderSize == 20, "two links and two 16-bit counts");
static_assert(BankPage::FirstElementOffset == 32, "slot 0's word at 28, its element at 32");
#endif
