// OwnedMemory - which addresses lie in the blocks the malloc front's runtime heap holds.
//
// free() and realloc() are handed pointers from anywhere: the library's elements and blocks, and
// blocks the C library served on its own (requests past the interface's 32-bit sizes, calls made
// while the front starts). A header read in front of a foreign pointer would be a guess, so the
// front keeps one bit per 16-byte granule of address space, set over each raw block its runtime
// heap takes from the C library for as long as it holds it. Every pointer the library hands out
// lies inside such a block. A foreign pointer is the start of another block of the same C heap,
// 16-aligned, so its granule is never inside one of ours.
//
// The bits live in leaves of 2^32 bits, one per 64 GiB of address space, reserved on first use
// and resident only where touched (1/128 of the memory marked). Marking and clearing touch whole
// 64-bit words inside a block and its two end words atomically, since a neighbouring block may
// share them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>

class OwnedMemory {
public:
    constexpr OwnedMemory() = default;
    OwnedMemory(const OwnedMemory&) = delete;
    OwnedMemory& operator=(const OwnedMemory&) = delete;

    // Marks [begin, begin + bytes). False, with nothing marked, when the range lies beyond the
    // user address space or its leaf cannot be reserved.
    bool Mark(const void* begin, size_t bytes);
    // Clears a range that Mark set.
    void Clear(const void* begin, size_t bytes);
    // Whether the granule of p is marked.
    bool Owns(const void* p) const {
        const uintptr_t address = reinterpret_cast<uintptr_t>(p);
        if (address >> AddressBits) return false;
        const std::atomic<uint64_t>* leaf =
            leaves_[address >> LeafShift].load(std::memory_order_acquire);
        if (!leaf) return false;
        const uint64_t granule = (address & LeafMask) >> GranuleShift;
        return (leaf[granule >> 6].load(std::memory_order_relaxed) >> (granule & 63)) & 1;
    }

private:
    static constexpr unsigned GranuleShift = 4;
    static constexpr unsigned LeafShift = 36;
    static constexpr unsigned AddressBits = 47;  // x86-64 user space
    static constexpr uintptr_t LeafMask = (uintptr_t(1) << LeafShift) - 1;
    static constexpr size_t LeafWords = (size_t(1) << (LeafShift - GranuleShift)) / 64;

    std::atomic<uint64_t>* Leaf(uintptr_t address);
    // Sets or clears the bits of granules [first, last] of one leaf.
    static void Change(std::atomic<uint64_t>* leaf, uint64_t first, uint64_t last, bool set);

    std::atomic<std::atomic<uint64_t>*> leaves_[size_t(1) << (AddressBits - LeafShift)] = {};
};
