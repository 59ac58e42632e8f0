// StressMain.cpp - every subsystem of the library at once, from several threads, through the one
// interface a host uses. Every piece of memory carries a pattern derived from its address and is
// checked before it goes back; every range allocation is checked against a record of the live
// extents of its heap; tag contexts, the user and bank lists and the statistics slots are checked
// as they are used.
//
//   qxmemory_stress [--threads N] [--ops N] [--seconds S] [--seed N]
//
// --ops counts operations per thread; --seconds stops every thread early. Prints
// "stress: T threads, N operations, E errors" and exits non-zero when E is not 0.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "IQXMemory.h"

namespace {

using Clock = std::chrono::steady_clock;

// --- Random numbers: splitmix64, so a seed gives the same run on every platform. -----------

class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return uint32_t(Next() % n); }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    template <size_t N>
    uint32_t Pick(const uint32_t (&values)[N]) {
        return values[Below(uint32_t(N))];
    }
    // Whether a collection of `count` pieces held at most `cap` should grow; hovers at cap / 2.
    bool Grow(size_t count, size_t cap) { return count < cap && Below(uint32_t(cap)) >= count; }

private:
    uint64_t state_;
};

// --- Patterns. The salt is drawn per piece: two pieces wrongly given overlapping memory write
// different values at the same address, so the first one checked notices. -------------------

uint32_t Mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    return x ^ (x >> 16);
}

uint32_t PatternAt(const unsigned char* address, uint32_t salt) {
    const uint64_t a = uint64_t(uintptr_t(address));
    return Mix(uint32_t(a) ^ uint32_t(a >> 32) * 0x9E3779B9u ^ salt);
}

// Visits (offset, width) of every patterned word: all of them up to 1 KiB, beyond that the first
// and last 256 bytes and one word in 256 between them; the bytes after the last whole word always.
// Pieces come whole or not at all, so a wrongly shared piece shows at its ends or in the samples.
template <typename Visit>
void ForEachPatternWord(uint32_t size, Visit visit) {
    const uint32_t words = size & ~3u;
    if (size <= 1024) {
        for (uint32_t o = 0; o < words; o += 4) visit(o, 4u);
    } else {
        for (uint32_t o = 0; o < 256; o += 4) visit(o, 4u);
        for (uint32_t o = 256; o + 256 < words; o += 256) visit(o, 4u);
        for (uint32_t o = words - 256; o < words; o += 4) visit(o, 4u);
    }
    for (uint32_t o = words; o < size; ++o) visit(o, 1u);
}

void Fill(unsigned char* memory, uint32_t size, uint32_t salt) {
    ForEachPatternWord(size, [&](uint32_t o, uint32_t width) {
        const uint32_t value = PatternAt(memory + o, salt);
        if (width == 4)
            memcpy(memory + o, &value, 4);
        else
            memory[o] = uint8_t(value);
    });
}

// The offset of the first damaged word, or -1 when the pattern is whole.
int64_t FirstDamage(const unsigned char* memory, uint32_t size, uint32_t salt) {
    int64_t damaged = -1;
    ForEachPatternWord(size, [&](uint32_t o, uint32_t width) {
        if (damaged >= 0) return;
        const uint32_t value = PatternAt(memory + o, salt);
        uint32_t stored;
        if (width == 4)
            memcpy(&stored, memory + o, 4);
        else
            stored = memory[o] | (value & ~0xFFu);
        if (stored != value) damaged = o;
    });
    return damaged;
}

uint32_t HeaderOf(const void* pointer) {
    uint32_t word;
    memcpy(&word, static_cast<const char*>(pointer) - 4, sizeof word);
    return word;
}

// Every element and block is aligned to this: 8 on 32-bit targets, 16 on 64-bit ones. Strides
// round to it, and a page's first element sits at the first multiple of it past the page header.
constexpr uint32_t Align = QXMEMORY_ALLOC_ALIGNMENT;
constexpr uint32_t StrideFor(uint32_t elementSize) {
    return (elementSize + 4 + Align - 1) & ~(Align - 1);
}
constexpr uint32_t PageRoom = 65536 - (Align == 8 ? 16 : 32);  // the slots' room in a 64 KiB page

// The bins' usable sizes: each element size's stride less its header word.
constexpr uint32_t BinUsableSizes[8] = {StrideFor(16) - 4,  StrideFor(32) - 4,  StrideFor(64) - 4,
                                        StrideFor(128) - 4, StrideFor(196) - 4, StrideFor(256) - 4,
                                        StrideFor(384) - 4, StrideFor(512) - 4};
const uint32_t* BinUsable() { return BinUsableSizes; }

// The kind the header word of Alloc(size) must carry: the first small bin whose usable size
// holds the request, kind 1 (the aligned heap) from 512 bytes up.
uint32_t ExpectedAllocKind(uint32_t size) {
    if (size >= 512) return 1;
    uint32_t bin = 0;
    while (BinUsable()[bin] < size) ++bin;
    return bin + 2;
}

// The header word of a heap block at the default alignment: kind 1 and a gap that leaves the
// block aligned behind the word, from a runtime-heap block that is at least 4-aligned.
bool DefaultAlignedHeader(uint32_t header) {
    return header >> 28 == 1 && (header & 0x0FFFFFFF) % 4 == 0 && (header & 0x0FFFFFFF) < Align;
}

// --- Errors --------------------------------------------------------------------------------

std::atomic<uint32_t> reportedErrors{0};
std::mutex printMutex;
constexpr uint32_t MaxReported = 25;

class Reporter {
public:
    explicit Reporter(uint32_t thread) : thread_(thread) {}
    void Fail(const char* format, ...) {
        ++errors_;
        if (reportedErrors.fetch_add(1) >= MaxReported) return;
        std::lock_guard<std::mutex> hold(printMutex);
        fprintf(stderr, "stress: thread %u, operation %lu: ", thread_, (unsigned long)op_);
        va_list args;
        va_start(args, format);
        vfprintf(stderr, format, args);
        va_end(args);
        fputc('\n', stderr);
    }
    void SetOperation(uint64_t op) { op_ = op; }
    uint64_t Errors() const { return errors_; }

private:
    uint32_t thread_;
    uint64_t op_ = 0;
    uint64_t errors_ = 0;
};

// --- Range heap records --------------------------------------------------------------------

// The live extents of one range heap by offset, and which handles they hold.
class ExtentRecord {
public:
    ExtentRecord(uint32_t base, uint32_t total, uint32_t entries)
        : base_(base), total_(total), handles_(entries, false) {}

    // Why a new allocation contradicts the record, or null after recording it. Sizes are >= 1.
    const char* Add(uint32_t offset, uint32_t size, uint32_t alignment, uint16_t handle) {
        if (handle >= handles_.size()) return "handle outside the descriptor table";
        if (handles_[handle]) return "handle already held by a live allocation";
        if (uint64_t(offset) + size > total_) return "extent passes the end of the range";
        if ((uint64_t(base_) + offset) % alignment != 0) return "address not aligned";
        auto above = extents_.lower_bound(offset);
        if (above != extents_.end() && above->first < uint64_t(offset) + size)
            return "extent overlaps a live one above it";
        if (above != extents_.begin()) {
            auto below = std::prev(above);
            if (uint64_t(below->first) + below->second > offset)
                return "extent overlaps a live one below it";
        }
        extents_[offset] = size;
        handles_[handle] = true;
        return nullptr;
    }
    void Remove(uint32_t offset, uint16_t handle) {
        extents_.erase(offset);
        handles_[handle] = false;
    }

private:
    uint32_t base_;
    uint32_t total_;
    std::map<uint32_t, uint32_t> extents_;  // offset -> size
    std::vector<bool> handles_;
};

struct Extent {
    uint32_t offset;
    uint32_t size;
    uint16_t handle;
};

// --- What the threads share ----------------------------------------------------------------

// How a piece goes back: Free, FreeBlock with its class, or its bank's Free.
enum class Source : uint8_t { General, Block, Element };

struct Piece {
    unsigned char* memory;
    uint32_t size;
    uint32_t salt;
    uint32_t header;  // the header word when it was handed out; it must not change meanwhile
    Source source;
    int32_t sizeClass;  // AllocBlock pieces only
    IAllocator* bank;   // bank elements only
};

constexpr uint32_t SharedElementSize = 40;
constexpr uint32_t SharedElementCount = 300;
constexpr uint32_t SharedRangeTotal = 8u << 20;
constexpr uint32_t SharedRangeEntries = 2048;
constexpr uint32_t SharedRangeBase = 0x40000003u;  // odd, so alignment works on absolute addresses
constexpr uint32_t PrivateRangeTotal = 1u << 20;
constexpr uint32_t PrivateRangeEntries = 256;
constexpr uint32_t DefaultCacheLimit = 0x1000000;
// Operations per thread. ThreadSanitizer runs this program about eight times slower than a plain
// Debug build; its default keeps the run well inside half a minute on two cores.
#if defined(__SANITIZE_THREAD__)
constexpr uint64_t DefaultOps = 100000;
#else
constexpr uint64_t DefaultOps = 400000;
#endif

struct Shared {
    IQXMemory* memory = nullptr;
    IAllocator* bank = nullptr;  // the shareable bank, as the main thread got it

    RangeHeap* range = nullptr;
    std::mutex rangeMutex;
    ExtentRecord rangeRecord{SharedRangeBase, SharedRangeTotal, SharedRangeEntries};

    // General allocations and shared-bank elements handed from one thread to another to free.
    std::mutex exchangeMutex;
    std::vector<Piece> exchange;

    // Private banks held right now by any thread: no other request may be given one of them.
    std::mutex privateMutex;
    std::set<IAllocator*> heldPrivate;

    // Every thread takes its hold on the shareable bank before any thread goes on.
    std::mutex gateMutex;
    std::condition_variable gateOpen;
    uint32_t waiting = 0;

    std::atomic<bool> stop{false};
    Clock::time_point deadline;
};

// Tag contexts outlive their threads and are never freed; listed from static storage they stay
// reachable for leak checkers after the threads end.
void KeepReachable(ThreadTagContext* context) {
    static std::mutex mutex;
    static std::vector<ThreadTagContext*>* kept = new std::vector<ThreadTagContext*>;
    std::lock_guard<std::mutex> hold(mutex);
    kept->push_back(context);
}

std::atomic<uint32_t> outOfMemoryReports{0};

void OnOutOfMemory(uint32_t, uintptr_t) {
    ++outOfMemoryReports;
    GetIQXMemory()->SetOutOfMemoryHandler(OnOutOfMemory, 0);
}

bool ResetCorrectly(const MemStats& stats, uint32_t word3) {
    for (uint32_t i = 0; i < 10; ++i)
        if (stats.words[i] != (i == 3 ? word3 : 0u)) return false;
    return true;
}

// --- One thread's work ---------------------------------------------------------------------

class Worker {
public:
    Worker(Shared& shared, uint32_t index, uint64_t seed, uint32_t threads)
        : shared_(shared),
          memory_(shared.memory),
          index_(index),
          threads_(threads),
          random_(seed),
          report_(index) {
        snprintf(names_[0], sizeof names_[0], "Stress.Thread%u", index);
        snprintf(names_[1], sizeof names_[1], "Job%u", index);
        tags_[0] = {names_[0], names_[1], index};
        tags_[1] = {names_[1], names_[0], index + 1000};
        for (ListNode& node : nodes_) node.prev = node.next = &node;
    }

    void Run(uint64_t ops) {
        StartTags();
        JoinSharedBank();
        for (PrivateBank& bank : privateBanks_) OpenPrivateBank(bank);
        // Base and minimum fragment drawn per thread; the range itself is never touched.
        const uint32_t base = 0x10000 + index_ * 0x01000000u + random_.Below(4096);
        range_ = memory_->CreateRangeHeap(PrivateRangeTotal, PrivateRangeEntries,
                                          random_.Pick(MinFragments), base);
        Expect(range_ != nullptr, "CreateRangeHeap returned null");
        rangeRecord_.reset(new ExtentRecord(base, PrivateRangeTotal, PrivateRangeEntries));
        while (done_ < ops && !shared_.stop.load(std::memory_order_relaxed)) {
            if (done_ % 64 == 0 && Clock::now() >= shared_.deadline) {
                shared_.stop = true;
                break;
            }
            report_.SetOperation(done_);
            Step();
            ++done_;
        }
        Finish();
    }

    uint64_t Done() const { return done_; }
    uint64_t Errors() const { return report_.Errors(); }

private:
    static constexpr size_t GeneralCap = 256, BlockCap = 12, SharedElementCap = 128;
    static constexpr size_t PrivateElementCap = 128, RangeCap = 96, SharedRangeCap = 48;
    static constexpr uint32_t MinFragments[4] = {0, 1, 16, 64};

    struct PrivateBank {
        IAllocator* bank = nullptr;
        uint32_t elementSize = 0;
        std::vector<Piece> elements;
    };

    void Step() {
        const uint32_t roll = random_.Below(100);
        if (roll < 24) return SmallAlloc();
        if (roll < 32) return LargeAlloc();
        if (roll < 42) return AlignedAlloc();
        if (roll < 52) return SharedBankStep();
        if (roll < 62) return PrivateBankStep();
        if (roll < 68) return BlockStep();
        if (roll < 77) return PrivateRangeStep();
        if (roll < 86) return SharedRangeStep();
        if (roll < 91) return TagStep();
        if (roll < 95) return ExchangeStep();
        if (roll < 97) return StatsStep();
        if (roll < 99) return ListStep();
        return CacheStep();
    }

    // --- General allocation --------------------------------------------------------------

    void SmallAlloc() {
        if (!random_.Grow(general_.size(), GeneralCap)) return FreeGeneral();
        // Each bin's last size and the next bin's first.
        uint32_t edges[17] = {0, 511};
        for (int bin = 0; bin < 7; ++bin) {
            edges[2 + 2 * bin] = BinUsable()[bin];
            edges[3 + 2 * bin] = BinUsable()[bin] + 1;
        }
        const uint32_t size = random_.OneIn(4) ? random_.Pick(edges) : random_.Below(512);
        void* p = random_.OneIn(8) ? memory_->Alloc(size, uintptr_t(index_)) : memory_->Alloc(size);
        if (!Expect(p != nullptr, "Alloc(%u) returned null", size)) return;
        const uint32_t header = HeaderOf(p);
        Expect(uintptr_t(p) % Align == 0, "Alloc(%u) returned %p, not aligned", size, p);
        Expect(header >> 28 == ExpectedAllocKind(size) && (header & 0xFFFF) == 0,
               "Alloc(%u): header word %08x, expected kind %u", size, header,
               ExpectedAllocKind(size));
        Keep(general_, p, size, header, Source::General);
    }

    void LargeAlloc() {
        if (!random_.Grow(general_.size(), GeneralCap)) return FreeGeneral();
        const uint32_t size =
            512 + (random_.OneIn(32) ? random_.Below(150000) : random_.Below(8000));
        void* p = memory_->Alloc(size);
        if (!Expect(p != nullptr, "Alloc(%u) returned null", size)) return;
        const uint32_t header = HeaderOf(p);
        Expect(uintptr_t(p) % Align == 0, "Alloc(%u) returned %p, not aligned", size, p);
        Expect(DefaultAlignedHeader(header),
               "Alloc(%u): header word %08x, expected kind 1 with a gap below %u", size, header,
               Align);
        Keep(general_, p, size, header, Source::General);
    }

    void AlignedAlloc() {
        if (!random_.Grow(general_.size(), GeneralCap)) return FreeGeneral();
        static const uint32_t alignments[] = {1,  2,  3,  4,   5,   6,   7,    8,    12,   16,   24,
                                              32, 48, 64, 100, 128, 256, 1000, 4096, 4097, 65536};
        const uint32_t alignment = random_.Pick(alignments);
        const uint32_t size = random_.OneIn(16) ? random_.Below(70000) : random_.Below(3000);
        void* p = random_.OneIn(8) ? memory_->AllocAligned(size, alignment, uintptr_t(index_))
                                   : memory_->AllocAligned(size, alignment);
        if (!Expect(p != nullptr, "AllocAligned(%u, %u) returned null", size, alignment)) return;
        const uint32_t header = HeaderOf(p);
        const uint32_t gap = header & 0x0FFFFFFFu;
        Expect(uintptr_t(p) % alignment == 0, "AllocAligned(%u, %u) returned %p", size, alignment,
               p);
        Expect(header >> 28 == 1 && (alignment == 8 ? gap == 0 || gap == 4 : gap < alignment),
               "AllocAligned(%u, %u): header word %08x", size, alignment, header);
        Keep(general_, p, size, header, Source::General);
    }

    void FreeGeneral() {
        if (general_.empty()) return;
        Give(Take(general_));
    }

    // --- Banks ---------------------------------------------------------------------------

    void JoinSharedBank() {
        sharedBank_ = memory_->CreateBank(SharedElementSize, SharedElementCount, true);
        Expect(sharedBank_ == shared_.bank,
               "CreateBank(%u, %u, true) gave %p, not the bank %p already shared",
               SharedElementSize, SharedElementCount, (void*)sharedBank_, (void*)shared_.bank);
        std::unique_lock<std::mutex> hold(shared_.gateMutex);
        if (++shared_.waiting == threads_)
            shared_.gateOpen.notify_all();
        else
            shared_.gateOpen.wait(hold, [&] { return shared_.waiting == threads_; });
    }

    void SharedBankStep() {
        if (!sharedBank_) return;
        if (!random_.Grow(sharedElements_.size(), SharedElementCap)) {
            if (!sharedElements_.empty()) Give(Take(sharedElements_));
            return;
        }
        AllocElement(sharedBank_, SharedElementSize, sharedElements_);
    }

    void PrivateBankStep() {
        PrivateBank& bank = privateBanks_[random_.Below(2)];
        if (random_.OneIn(200)) {
            ClosePrivateBank(bank);
            return OpenPrivateBank(bank);
        }
        if (!bank.bank) return;
        if (!random_.Grow(bank.elements.size(), PrivateElementCap)) {
            if (!bank.elements.empty()) Give(Take(bank.elements));
            return;
        }
        AllocElement(bank.bank, bank.elementSize, bank.elements);
    }

    void AllocElement(IAllocator* bank, uint32_t elementSize, std::vector<Piece>& into) {
        void* p = bank->Alloc();
        if (!Expect(p != nullptr, "bank %p: Alloc returned null", (void*)bank)) return;
        const uint32_t header = HeaderOf(p);
        // The word is the slot index; a page of any class holds at most PageRoom / stride.
        Expect(uintptr_t(p) % Align == 0 && header < PageRoom / StrideFor(elementSize),
               "bank %p (element size %u): element %p, header word %08x", (void*)bank, elementSize,
               p, header);
        Keep(into, p, elementSize, header, Source::Element, bank);
    }

    void OpenPrivateBank(PrivateBank& bank) {
        const uint32_t roll = random_.Below(100);
        bank.elementSize = roll < 60   ? random_.Below(257)
                           : roll < 97 ? 257 + random_.Below(3800)
                                       : 30000 + random_.Below(30000);
        const uint32_t count = 1 + random_.Below(400);
        bank.bank = memory_->CreateBank(bank.elementSize, count, false);
        if (!Expect(bank.bank != nullptr, "CreateBank(%u, %u, false) returned null",
                    bank.elementSize, count))
            return;
        Expect(bank.bank != shared_.bank, "CreateBank(%u, %u, false) gave the shared bank",
               bank.elementSize, count);
        std::lock_guard<std::mutex> hold(shared_.privateMutex);
        Expect(shared_.heldPrivate.insert(bank.bank).second,
               "CreateBank(%u, %u, false) gave %p, a bank another holder has", bank.elementSize,
               count, (void*)bank.bank);
    }

    void ClosePrivateBank(PrivateBank& bank) {
        if (!bank.bank) return;
        while (!bank.elements.empty()) Give(Take(bank.elements));
        {
            std::lock_guard<std::mutex> hold(shared_.privateMutex);
            shared_.heldPrivate.erase(bank.bank);
        }
        bank.bank->Release();
        bank.bank = nullptr;
    }

    // --- Page blocks and the cache -------------------------------------------------------

    void BlockStep() {
        if (random_.OneIn(50)) {
            const int32_t bad = random_.OneIn(2) ? -1 : 5;
            void* none = memory_->AllocBlock(bad, &tags_[0]);
            Expect(!none, "AllocBlock(%d) returned %p", (int)bad, none);
            memory_->FreeBlock(int32_t(random_.Below(5)), nullptr);
            return;
        }
        if (!random_.Grow(blocks_.size(), BlockCap)) {
            if (!blocks_.empty()) Give(Take(blocks_));
            return;
        }
        const int32_t sizeClass = int32_t(random_.Below(5));
        void* p = memory_->AllocBlock(sizeClass, &tags_[random_.Below(2)]);
        if (!Expect(p != nullptr, "AllocBlock(%d) returned null", (int)sizeClass)) return;
        const uint32_t header = HeaderOf(p);
        Expect(uintptr_t(p) % Align == 0 && DefaultAlignedHeader(header),
               "AllocBlock(%d) returned %p with header word %08x", (int)sizeClass, p, header);
        Keep(blocks_, p, 4096u << sizeClass, header, Source::Block);
        blocks_.back().sizeClass = sizeClass;
    }

    void CacheStep() {
        static const uint32_t limits[] = {0, 4096, 65536, 1u << 20, 4u << 20, 16u << 20, 64u << 20};
        if (random_.OneIn(2))
            memory_->FlushBlockCache();
        else
            memory_->SetBlockCacheLimit(random_.Pick(limits));
    }

    // --- Range heaps ---------------------------------------------------------------------

    void RangeRequest(uint32_t largest, uint32_t* size, uint32_t* alignment, bool* bottomUp) {
        static const uint32_t alignments[] = {1, 2, 3, 8, 12, 16, 48, 64, 100, 4096, 65536};
        *size = 1 + (random_.OneIn(10) ? random_.Below(largest) : random_.Below(8192));
        *alignment = random_.Pick(alignments);
        *bottomUp = random_.OneIn(2);
    }

    void PrivateRangeStep() {
        if (!range_) return;
        if (!random_.Grow(rangeLive_.size(), RangeCap)) {
            if (rangeLive_.empty()) return;
            const Extent e = TakeAny(rangeLive_);
            rangeRecord_->Remove(e.offset, e.handle);
            memory_->RangeFree(range_, e.handle);
            return;
        }
        uint32_t size, alignment, offset = 0;
        uint16_t handle = 0;
        bool bottomUp;
        RangeRequest(PrivateRangeTotal / 4, &size, &alignment, &bottomUp);
        const bool empty = rangeLive_.empty();
        if (!memory_->RangeAlloc(range_, size, alignment, &offset, &handle, bottomUp)) {
            // An empty heap is one free block over the whole range and has spare descriptors.
            Expect(!empty || uint64_t(size) + alignment - 1 > PrivateRangeTotal,
                   "RangeAlloc(%u, %u, %s) failed on an empty heap", size, alignment,
                   bottomUp ? "bottom-up" : "top-down");
            return;
        }
        const char* why = rangeRecord_->Add(offset, size, alignment, handle);
        if (!Expect(!why, "private RangeAlloc(%u, %u, %s) gave offset %u handle %u: %s", size,
                    alignment, bottomUp ? "bottom-up" : "top-down", offset, handle, why))
            return;
        rangeLive_.push_back({offset, size, handle});
    }

    void SharedRangeStep() {
        if (!random_.Grow(sharedRangeLive_.size(), SharedRangeCap)) {
            if (!sharedRangeLive_.empty()) FreeSharedRange(TakeAny(sharedRangeLive_));
            return;
        }
        uint32_t size, alignment, offset = 0;
        uint16_t handle = 0;
        bool bottomUp;
        RangeRequest(SharedRangeTotal / 64, &size, &alignment, &bottomUp);
        if (!memory_->RangeAlloc(shared_.range, size, alignment, &offset, &handle, bottomUp))
            return;
        // Recorded after the call: an extent that overlaps this one was taken out of the record
        // before it was freed, so before this allocation could be made.
        const char* why;
        {
            std::lock_guard<std::mutex> hold(shared_.rangeMutex);
            why = shared_.rangeRecord.Add(offset, size, alignment, handle);
        }
        if (!Expect(!why, "shared RangeAlloc(%u, %u, %s) gave offset %u handle %u: %s", size,
                    alignment, bottomUp ? "bottom-up" : "top-down", offset, handle, why))
            return;
        sharedRangeLive_.push_back({offset, size, handle});
    }

    // Out of the record first: once freed, another thread may be given the same extent.
    void FreeSharedRange(const Extent& e) {
        {
            std::lock_guard<std::mutex> hold(shared_.rangeMutex);
            shared_.rangeRecord.Remove(e.offset, e.handle);
        }
        memory_->RangeFree(shared_.range, e.handle);
    }

    // Spare descriptors with n allocations live: at most entries - max(n, 1) (each allocation
    // and at least one block hold one), at least entries - 2n - 1 (no two free blocks touch).
    void CheckRangeInfo(RangeHeap* heap, uint32_t totalExpected, uint32_t entries, size_t live,
                        const char* which) {
        uint32_t total = 0, spare = 0, largest = 0;
        MemStats stats;
        for (uint32_t& w : stats.words) w = random_.Below(1000) + 1;
        const uint32_t word3 = stats.words[3];
        memory_->GetRangeHeapInfo(heap, &total, &spare, &stats, &largest);
        const uint64_t most = entries - (live ? live : 1);
        const uint64_t least = entries > 2 * live + 1 ? entries - 2 * live - 1 : 0;
        Expect(total == totalExpected && spare <= most && spare >= least &&
                   largest <= totalExpected && ResetCorrectly(stats, word3),
               "%s range heap info with %u live: total %u, spare %u, largest %u", which,
               unsigned(live), total, spare, largest);
    }

    // --- Tags ----------------------------------------------------------------------------

    void StartTags() {
        context_ = memory_->PopTag();
        if (!Expect(context_ != nullptr, "PopTag returned null")) return;
        KeepReachable(context_);
        Expect(context_->tag.firstName && strcmp(context_->tag.firstName, "All.Unknown") == 0 &&
                   context_->tag.secondName == context_->tag.firstName &&
                   context_->tag.value == 0 && context_->depth == 0,
               "a new thread's tag context is not \"All.Unknown\" twice, 0, depth 0");
        currentTag_ = context_->tag;
    }

    void TagStep() {
        if (!context_) return;
        ThreadTagContext* context;
        if (depth_ < 6 && random_.OneIn(2)) {
            const uint32_t which = random_.Below(3);
            const AllocTag* tag = which == 2 ? nullptr : &tags_[which];
            context = memory_->PushTag(tag);
            if (depth_ == 0 && tag) currentTag_ = *tag;
            ++depth_;
        } else {
            context = memory_->PopTag();
            if (depth_ > 0) --depth_;
        }
        Expect(context == context_ && context_->depth == depth_ &&
                   context_->tag.firstName == currentTag_.firstName &&
                   context_->tag.secondName == currentTag_.secondName &&
                   context_->tag.value == currentTag_.value,
               "tag context %p (expected %p): depth %u (expected %u), value %u (expected %u)",
               (void*)context, (void*)context_, context_->depth, depth_, context_->tag.value,
               currentTag_.value);
    }

    // --- Cross-thread frees --------------------------------------------------------------

    void ExchangeStep() {
        std::vector<Piece>& from = random_.OneIn(3) ? sharedElements_ : general_;
        std::unique_lock<std::mutex> hold(shared_.exchangeMutex);
        if (random_.OneIn(2) && !from.empty() && shared_.exchange.size() < 64 * threads_) {
            shared_.exchange.push_back(Take(from));
        } else if (!shared_.exchange.empty()) {
            const Piece piece = Take(shared_.exchange);
            hold.unlock();
            Give(piece);
        }
    }

    // --- Statistics and lists ------------------------------------------------------------

    void StatsStep() {
        MemStats stats;
        for (uint32_t& w : stats.words) w = random_.Below(1000) + 1;
        const uint32_t word3 = stats.words[3];
        uint32_t out[5] = {1, 1, 1, 1, 1};
        const uint32_t which = random_.Below(8);
        switch (which) {
            case 0:
                memory_->GetSystemHeapStats(&stats);
                break;
            case 1:
                memory_->GetLargeHeapStats(&stats);
                break;
            case 2:
                memory_->GetBlockCacheStats(&stats, &out[0]);
                break;
            case 3:
                memory_->GetSmallHeapStats(&stats);
                break;
            case 4:
                memory_->GetBlockCacheStatsFor(random_.Below(5), &stats);
                break;
            case 5:
                memory_->GetSmallBinStats(random_.Below(8), &stats, &out[0], &out[1], &out[2],
                                          &out[3]);
                break;
            case 6:
                if (!sharedBank_) return;
                sharedBank_->GetStats(&out[0], &stats, &out[1], &out[2], &out[3], &out[4]);
                break;
            default:
                if (range_)
                    CheckRangeInfo(range_, PrivateRangeTotal, PrivateRangeEntries,
                                   rangeLive_.size(), "private");
                return;
        }
        const uint32_t written = which == 2 ? 1 : which == 5 ? 4 : which == 6 ? 5 : 0;
        bool zeroed = true;
        for (uint32_t i = 0; i < written; ++i) zeroed = zeroed && out[i] == 0;
        Expect(ResetCorrectly(stats, word3) && zeroed,
               "statistics query %u did not reset its record and zero its words", which);
    }

    void ListStep() {
        if (random_.OneIn(8)) return WalkBankList();
        if (random_.OneIn(3)) return WalkUserList();
        const uint32_t i = random_.Below(NodeCount);
        if (linked_[i])
            memory_->UnlinkUserNode(&nodes_[i]);
        else
            memory_->LinkUserNode(&nodes_[i]);
        linked_[i] = !linked_[i];
        Expect(linked_[i] || (nodes_[i].prev == &nodes_[i] && nodes_[i].next == &nodes_[i]),
               "an unlinked user node does not point to itself");
    }

    void WalkUserList() {
        ListNode *first, *end;
        memory_->LockUserList(&first, &end);
        uint32_t mine = 0, count = 0;
        bool linksHold = true;
        for (ListNode *node = first, *prev = end; node != end && count <= 100000;
             prev = node, node = node->next, ++count) {
            linksHold = linksHold && node->prev == prev;
            for (const ListNode& own : nodes_) mine += node == &own;
        }
        memory_->UnlockUserList();
        uint32_t expected = 0;
        for (bool l : linked_) expected += l;
        Expect(linksHold && mine == expected,
               "user list: %u of this thread's nodes found, %u linked, links %s", mine, expected,
               linksHold ? "consistent" : "broken");
    }

    void WalkBankList() {
        ListNode *first, *end;
        memory_->LockBankList(&first, &end);
        uint32_t count = 0, found = 0;
        bool linksHold = true;
        IAllocator* wanted[3] = {sharedBank_, privateBanks_[0].bank, privateBanks_[1].bank};
        for (ListNode *node = first, *prev = end; node != end && count <= 1000000;
             prev = node, node = node->next, ++count) {
            linksHold = linksHold && node->prev == prev;
            void* owner;  // the word after the node's two links
            memcpy(&owner, reinterpret_cast<const char*>(node) + sizeof(ListNode), sizeof owner);
            for (IAllocator* bank : wanted) found += bank && owner == static_cast<void*>(bank);
        }
        memory_->UnlockBankList();
        uint32_t expected = 0;
        for (IAllocator* bank : wanted) expected += bank != nullptr;
        Expect(linksHold && found == expected,
               "bank list: %u nodes, %u of %u held banks found, links %s", count, found, expected,
               linksHold ? "consistent" : "broken");
    }

    // --- Pieces --------------------------------------------------------------------------

    void Keep(std::vector<Piece>& into, void* p, uint32_t size, uint32_t header, Source source,
              IAllocator* bank = nullptr) {
        const uint32_t salt = uint32_t(random_.Next());
        Fill(static_cast<unsigned char*>(p), size, salt);
        into.push_back({static_cast<unsigned char*>(p), size, salt, header, source, -1, bank});
    }

    template <typename T>
    T TakeAny(std::vector<T>& from) {
        const size_t i = random_.Below(uint32_t(from.size()));
        T taken = from[i];
        from[i] = from.back();
        from.pop_back();
        return taken;
    }
    Piece Take(std::vector<Piece>& from) { return TakeAny(from); }

    // Checks a piece and gives it back where it came from.
    void Give(const Piece& piece) {
        const uint32_t header = HeaderOf(piece.memory);
        const int64_t damage = FirstDamage(piece.memory, piece.size, piece.salt);
        Expect(header == piece.header && damage < 0,
               "piece %p of %u bytes (source %u): header word %08x (was %08x), first damage at %d",
               (void*)piece.memory, piece.size, unsigned(piece.source), header, piece.header,
               int(damage));
        switch (piece.source) {
            case Source::General:
                memory_->Free(piece.memory);
                break;
            case Source::Block:
                memory_->FreeBlock(piece.sizeClass, piece.memory);
                break;
            case Source::Element:
                piece.bank->Free(piece.memory);
                break;
        }
    }

    bool Expect(bool ok, const char* format, ...) {
        if (ok) return true;
        char message[512];
        va_list args;
        va_start(args, format);
        vsnprintf(message, sizeof message, format, args);
        va_end(args);
        report_.Fail("%s", message);
        return false;
    }

    // --- The end -------------------------------------------------------------------------

    void Finish() {
        while (!general_.empty()) Give(Take(general_));
        while (!blocks_.empty()) Give(Take(blocks_));
        while (!sharedElements_.empty()) Give(Take(sharedElements_));
        if (sharedBank_) sharedBank_->Release();
        for (PrivateBank& bank : privateBanks_) ClosePrivateBank(bank);
        if (range_) {
            while (!rangeLive_.empty()) {
                const Extent e = TakeAny(rangeLive_);
                memory_->RangeFree(range_, e.handle);
            }
            // Everything freed must have merged back into one block over the whole range.
            uint32_t total = 0, spare = 0, largest = 0;
            MemStats stats{};
            memory_->GetRangeHeapInfo(range_, &total, &spare, &stats, &largest);
            Expect(total == PrivateRangeTotal && spare == PrivateRangeEntries - 1 &&
                       largest == PrivateRangeTotal,
                   "private range heap after freeing all: total %u, spare %u, largest %u", total,
                   spare, largest);
            memory_->DestroyRangeHeap(range_);
        }
        while (!sharedRangeLive_.empty()) FreeSharedRange(TakeAny(sharedRangeLive_));
        while (context_ && depth_ > 0) {
            memory_->PopTag();
            --depth_;
        }
        if (context_)
            Expect(context_->depth == 0, "tag depth %u after the last PopTag", context_->depth);
        for (uint32_t i = 0; i < NodeCount; ++i)
            if (linked_[i]) memory_->UnlinkUserNode(&nodes_[i]);
    }

    static constexpr uint32_t NodeCount = 4;

    Shared& shared_;
    IQXMemory* memory_;
    uint32_t index_;
    uint32_t threads_;
    Random random_;
    Reporter report_;
    uint64_t done_ = 0;

    std::vector<Piece> general_, blocks_, sharedElements_;
    IAllocator* sharedBank_ = nullptr;
    PrivateBank privateBanks_[2];

    RangeHeap* range_ = nullptr;
    std::unique_ptr<ExtentRecord> rangeRecord_;
    std::vector<Extent> rangeLive_;
    std::vector<Extent> sharedRangeLive_;

    char names_[2][24];
    AllocTag tags_[2];
    ThreadTagContext* context_ = nullptr;
    AllocTag currentTag_{};
    uint32_t depth_ = 0;

    ListNode nodes_[NodeCount];
    bool linked_[NodeCount] = {};
};

constexpr uint32_t Worker::MinFragments[4];

bool ParseCount(const char* text, uint64_t* value) {
    char* end = nullptr;
    const unsigned long long parsed = strtoull(text, &end, 10);
    if (!text[0] || *end) return false;
    *value = parsed;
    return true;
}

int Usage() {
    fprintf(stderr, "usage: qxmemory_stress [--threads N] [--ops N] [--seconds S] [--seed N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t threads = 4, ops = DefaultOps, seconds = 25, seed = 1;
    for (int i = 1; i < argc; ++i) {
        uint64_t* target = strcmp(argv[i], "--threads") == 0   ? &threads
                           : strcmp(argv[i], "--ops") == 0     ? &ops
                           : strcmp(argv[i], "--seconds") == 0 ? &seconds
                           : strcmp(argv[i], "--seed") == 0    ? &seed
                                                               : nullptr;
        if (!target || i + 1 == argc || !ParseCount(argv[++i], target)) return Usage();
    }
    if (threads == 0 || threads > 64) return Usage();

    Shared shared;
    shared.memory = GetIQXMemory();
    shared.memory->SetOutOfMemoryHandler(OnOutOfMemory, 0);
    shared.deadline = Clock::now() + std::chrono::seconds(seconds);
    // The main thread holds the shareable bank first and gives up its hold last, after the
    // elements other threads left in the exchange are back.
    shared.bank = shared.memory->CreateBank(SharedElementSize, SharedElementCount, true);
    shared.range =
        shared.memory->CreateRangeHeap(SharedRangeTotal, SharedRangeEntries, 24, SharedRangeBase);
    uint64_t errors = 0;
    if (!shared.bank || !shared.range) {
        fprintf(stderr, "stress: the shared bank or range heap could not be created\n");
        ++errors;
    }

    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::thread> running;
    for (uint32_t i = 0; i < threads; ++i)
        workers.emplace_back(new Worker(shared, i, seed * 1000003 + i, uint32_t(threads)));
    if (errors == 0) {
        for (auto& worker : workers) running.emplace_back([&worker, ops] { worker->Run(ops); });
        for (std::thread& thread : running) thread.join();
    }

    // What the threads left in the exchange, then the shared range heap, which must be whole.
    Reporter report{uint32_t(threads)};
    for (const Piece& piece : shared.exchange) {
        if (HeaderOf(piece.memory) != piece.header ||
            FirstDamage(piece.memory, piece.size, piece.salt) >= 0)
            report.Fail("exchanged piece %p of %u bytes damaged", (void*)piece.memory, piece.size);
        if (piece.bank)
            piece.bank->Free(piece.memory);
        else
            shared.memory->Free(piece.memory);
    }
    shared.exchange.clear();
    if (shared.range) {
        uint32_t total = 0, spare = 0, largest = 0;
        MemStats stats{};
        shared.memory->GetRangeHeapInfo(shared.range, &total, &spare, &stats, &largest);
        if (total != SharedRangeTotal || spare != SharedRangeEntries - 1 ||
            largest != SharedRangeTotal)
            report.Fail("shared range heap after freeing all: total %u, spare %u, largest %u",
                        total, spare, largest);
        shared.memory->DestroyRangeHeap(shared.range);
    }
    if (shared.bank) shared.bank->Release();
    shared.memory->SetBlockCacheLimit(DefaultCacheLimit);
    shared.memory->FlushBlockCache();
    shared.memory->SetOutOfMemoryHandler(nullptr, 0);
    if (outOfMemoryReports.load() != 0)
        report.Fail("the out-of-memory handler was called %u times", outOfMemoryReports.load());

    uint64_t done = 0;
    errors += report.Errors();
    for (auto& worker : workers) {
        done += worker->Done();
        errors += worker->Errors();
    }
    printf("stress: %lu threads, %lu operations, %lu errors\n", (unsigned long)threads,
           (unsigned long)done, (unsigned long)errors);
    fflush(stdout);
    return errors == 0 ? 0 : 1;
}
