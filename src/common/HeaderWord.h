// HeaderWord - the 32-bit word in front of every block and element the library returns.
//
// Bits 28-31 hold the kind, which tells Free whose block it is; bits 0-27 belong to that kind:
//   kind 0     a bank element: the whole word is its slot index in the page
//   kind 1     an aligned heap block: bytes from the raw heap block's start to the word
//   kind 2-9   an element of small bin 0-7: bits 16-27 the slot index, bits 0-15 zero
#pragma once

#include <stdint.h>
#include <string.h>

namespace HeaderWord {

constexpr uint32_t KindShift = 28;
constexpr uint32_t PayloadMask = 0x0FFFFFFFu;

constexpr uint32_t KindBankElement = 0;
constexpr uint32_t KindAlignedBlock = 1;
constexpr uint32_t KindFirstSmallBin = 2;
constexpr uint32_t KindLastSmallBin = 9;

constexpr uint32_t SmallSlotShift = 16;
constexpr uint32_t SmallSlotMask = 0xFFFu;

constexpr uint32_t Kind(uint32_t word) { return word >> KindShift; }
constexpr uint32_t Payload(uint32_t word) { return word & PayloadMask; }

constexpr uint32_t AlignedBlock(uint32_t gap) { return (KindAlignedBlock << KindShift) | gap; }

constexpr uint32_t SmallElement(uint32_t bin, uint32_t slot) {
    return ((slot & SmallSlotMask) << SmallSlotShift) | ((bin + KindFirstSmallBin) << KindShift);
}
constexpr uint32_t SmallBin(uint32_t word) { return Kind(word) - KindFirstSmallBin; }
constexpr uint32_t SmallSlot(uint32_t word) { return (word >> SmallSlotShift) & SmallSlotMask; }

// The word sits in the four bytes just below the pointer it describes. An aligned heap block at
// an alignment that is not a multiple of 4 has its word off a 4-byte boundary, hence memcpy
// (a single move on the targets we build for).
inline uint32_t Read(const void* pointer) {
    uint32_t word;
    memcpy(&word, static_cast<const char*>(pointer) - 4, sizeof word);
    return word;
}
inline void Write(void* pointer, uint32_t word) {
    memcpy(static_cast<char*>(pointer) - 4, &word, sizeof word);
}

}  // namespace HeaderWord
