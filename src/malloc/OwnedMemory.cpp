#include "malloc/OwnedMemory.h"

#include "platform/ReservedMemory.h"

std::atomic<uint64_t>* OwnedMemory::Leaf(uintptr_t address) {
    std::atomic<std::atomic<uint64_t>*>& slot = leaves_[address >> LeafShift];
    std::atomic<uint64_t>* leaf = slot.load(std::memory_order_acquire);
    if (leaf) return leaf;
    auto* fresh = static_cast<std::atomic<uint64_t>*>(
        ReserveZeroedMemory(LeafWords * sizeof(std::atomic<uint64_t>)));
    if (!fresh) return nullptr;
    // Another thread may have reserved it meanwhile; the loser's reservation stays unused.
    if (!slot.compare_exchange_strong(leaf, fresh, std::memory_order_acq_rel)) return leaf;
    return fresh;
}

void OwnedMemory::Change(std::atomic<uint64_t>* leaf, uint64_t first, uint64_t last, bool set) {
    const uint64_t firstWord = first >> 6, lastWord = last >> 6;
    const uint64_t head = ~uint64_t(0) << (first & 63);
    const uint64_t tail = ~uint64_t(0) >> (63 - (last & 63));
    auto edge = [&](uint64_t word, uint64_t bits) {
        if (set)
            leaf[word].fetch_or(bits, std::memory_order_relaxed);
        else
            leaf[word].fetch_and(~bits, std::memory_order_relaxed);
    };
    if (firstWord == lastWord) return edge(firstWord, head & tail);
    edge(firstWord, head);
    for (uint64_t word = firstWord + 1; word < lastWord; ++word)
        leaf[word].store(set ? ~uint64_t(0) : 0, std::memory_order_relaxed);
    edge(lastWord, tail);
}

bool OwnedMemory::Mark(const void* begin, size_t bytes) {
    if (bytes == 0) return true;
    const uintptr_t start = reinterpret_cast<uintptr_t>(begin);
    const uintptr_t end = start + bytes - 1;
    if (end < start || (end >> AddressBits)) return false;
    // A block can straddle two leaves; both are reserved before anything is marked.
    std::atomic<uint64_t>* low = Leaf(start);
    std::atomic<uint64_t>* high = Leaf(end);
    if (!low || !high) return false;
    for (uintptr_t at = start; at <= end;) {
        const uintptr_t leafEnd = at | LeafMask;
        const uintptr_t last = end < leafEnd ? end : leafEnd;
        Change(at >> LeafShift == start >> LeafShift ? low : high, (at & LeafMask) >> GranuleShift,
               (last & LeafMask) >> GranuleShift, true);
        if (last == end) break;
        at = last + 1;
    }
    return true;
}

void OwnedMemory::Clear(const void* begin, size_t bytes) {
    if (bytes == 0) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(begin);
    const uintptr_t end = start + bytes - 1;
    for (uintptr_t at = start; at <= end;) {
        const uintptr_t leafEnd = at | LeafMask;
        const uintptr_t last = end < leafEnd ? end : leafEnd;
        Change(leaves_[at >> LeafShift].load(std::memory_order_acquire),
               (at & LeafMask) >> GranuleShift, (last & LeafMask) >> GranuleShift, false);
        if (last == end) break;
        at = last + 1;
    }
}
