// Block cache and bank operation sequences over a fake runtime heap. The model predicts the
// cache exactly: which block each Get hands out, which blocks stay cached, the byte counts, and
// for each bank its ring of pages, its current page and the free slots of every page, so every
// element an Alloc returns is known before the call. After every operation the harness compares
// what the operation changed (the cache's byte counts and budget, the bank's current page, and
// the free count and chain head of the page it used); the walks (Validate() of the cache and of
// each bank used, the class list lengths, the page counts) run every FullCheckEvery operations
// and at the end of the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "FuzzCheck.h"
#include "common/HeaderWord.h"
#include "pool/Bank.h"
#include "support/PoolWiring.h"

namespace {

const AllocTag HostTag = {"Fuzz", "Block", 7};
// Operations between two walks over everything: enough that the walks (which read every free
// slot of every page) cost little beside the operations, few enough that a fault is reported
// close to its cause.
constexpr int FullCheckEvery = 128;
constexpr size_t MaxHeld = 48;  // blocks taken from the cache and not given back
constexpr size_t MaxBanks = 3;

uint32_t RoomFor(uint32_t size, uint32_t limit) { return size < limit ? limit - size : 0; }

// The runtime heap under the cache, kept for the whole run. A block the library frees waits,
// poisoned, in a queue of its size and is handed out again, oldest first, only once
// QuarantineDepth others of its size wait behind it; so a block is not reused soon after it is
// freed, as with AddressSanitizer's own quarantine. Taking every page block from
// AddressSanitizer's allocator afresh (filled, quarantined, new pages faulted in) took two
// fifths of the run. Like the unit tests' fake it fails on demand and counts what is
// outstanding; it also counts frees of blocks it never handed out.
class RecyclingRuntimeHeap final : public RuntimeHeap {
public:
    static constexpr size_t QuarantineDepth = 16;

    void* Allocate(uint32_t size) override {
        if (failAll_ || failNext_) {
            failNext_ = false;
            return nullptr;
        }
        Queue& waiting = waiting_[size];
        void* block;
        if (waiting.blocks.size() - waiting.head > QuarantineDepth) {
            block = waiting.blocks[waiting.head++];
            if (waiting.head * 2 >= waiting.blocks.size()) {
                waiting.blocks.erase(waiting.blocks.begin(), waiting.blocks.begin() + waiting.head);
                waiting.head = 0;
            }
            ASAN_UNPOISON_MEMORY_REGION(block, size);
        } else {
            block = std::malloc(size ? size : 1);
        }
        if (block) live_.push_back({block, size});
        return block;
    }
    void Release(void* block) override {
        auto it = std::find_if(live_.begin(), live_.end(),
                               [&](const Live& live) { return live.block == block; });
        if (it == live_.end()) {
            ++foreignReleases_;  // not ours: leave it alone
            return;
        }
        ASAN_POISON_MEMORY_REGION(block, it->size);
        waiting_[it->size].blocks.push_back(block);
        *it = live_.back();
        live_.pop_back();
    }

    void FailNext() { failNext_ = true; }
    void FailAll(bool fail) {
        failAll_ = fail;
        if (!fail) failNext_ = false;
    }
    size_t Outstanding() const { return live_.size(); }
    unsigned ForeignReleases() const { return foreignReleases_; }

private:
    struct Live {
        void* block;
        uint32_t size;
    };
    bool failNext_ = false;
    bool failAll_ = false;
    unsigned foreignReleases_ = 0;
    std::vector<Live> live_;
    // Oldest first from head. A vector rather than a deque: once it has grown to the run's peak
    // nothing here calls malloc, so libFuzzer sees as many mallocs as frees in an input and
    // does not stop to look for leaks.
    struct Queue {
        std::vector<void*> blocks;
        size_t head = 0;
    };
    std::map<uint32_t, Queue> waiting_;  // by size
};

RecyclingRuntimeHeap& SharedRuntimeHeap() {
    static RecyclingRuntimeHeap* heap = new RecyclingRuntimeHeap;  // outlives every input
    return *heap;
}

// The library's pool wiring over that heap, made afresh for each input.
using Wiring = PoolWiringOver<RecyclingRuntimeHeap&>;

// The cache as the model sees it. The ring starts at the anchor and runs in ringNext order;
// each class stack has its most recently cached block last.
struct CacheModel {
    struct Cached {
        void* block;
        int32_t sizeClass;
    };

    uint32_t limit = BlockCache::DefaultLimit;
    uint64_t inUse = 0;
    uint64_t cached = 0;
    // The ring from the anchor on is anchor, then others from the back (the newest, linked in
    // right after the anchor) to the front (the oldest); so both ends of a walk from the anchor
    // are at the back of a vector.
    Cached anchor = {nullptr, 0};
    std::vector<Cached> others;
    std::vector<void*> classStack[BlockClassCount];
    bool failOnce = false;  // the runtime heap's next request fails
    bool failAll = false;   // every runtime heap request fails

    size_t RingSize() const { return anchor.block ? 1 + others.size() : 0; }
    bool IsCached(const void* block) const {
        return anchor.block == block ||
               std::any_of(others.begin(), others.end(),
                           [&](const Cached& cached) { return cached.block == block; });
    }

    void Unlink(void* block) {
        int32_t sizeClass;
        if (block == anchor.block) {
            sizeClass = anchor.sizeClass;
            // The anchor's successor, the newest block, takes its place.
            anchor = others.empty() ? Cached{nullptr, 0} : others.back();
            if (anchor.block) others.pop_back();
        } else {
            const auto at = std::find_if(others.rbegin(), others.rend(), [&](const Cached& cached) {
                return cached.block == block;
            });
            sizeClass = at->sizeClass;
            others.erase(std::next(at).base());
        }
        std::vector<void*>& stack = classStack[sizeClass];
        stack.erase(std::next(std::find(stack.rbegin(), stack.rend(), block)).base());
        cached -= BlockClassSize(sizeClass);
    }
    // Evicts from the anchor's successor on, the anchor last.
    bool Trim(uint64_t target) {
        while (inUse + cached > target) {
            if (!anchor.block) return false;
            Unlink(others.empty() ? anchor.block : others.back().block);
        }
        return true;
    }
    void Flush() {
        anchor = {nullptr, 0};
        others.clear();
        for (auto& stack : classStack) stack.clear();
        cached = 0;
    }

    // What Get(sizeClass) hands out: a cached block, a new one (nullptr with fresh set) or
    // nothing. Applies the call's effects, except that a new block is not known yet.
    void* Get(int32_t sizeClass, bool* fresh) {
        *fresh = false;
        if (sizeClass < 0 || sizeClass >= BlockClassCount) return nullptr;
        const uint32_t size = BlockClassSize(sizeClass);
        if (!classStack[sizeClass].empty()) {
            void* block = classStack[sizeClass].back();
            Unlink(block);
            inUse += size;
            return block;
        }
        Trim(RoomFor(size, limit));
        // A failed runtime request flushes the cache and is retried once.
        if (failOnce || failAll) Flush();
        failOnce = false;
        if (failAll) return nullptr;
        inUse += size;
        *fresh = true;
        return nullptr;
    }
    void Release(int32_t sizeClass, void* block) {
        if (!block || sizeClass < 0 || sizeClass >= BlockClassCount) return;
        const uint32_t size = BlockClassSize(sizeClass);
        inUse -= size;
        if (!Trim(RoomFor(size, limit))) return;  // freed at once
        classStack[sizeClass].push_back(block);
        if (anchor.block)
            others.push_back({block, sizeClass});
        else
            anchor = {block, sizeClass};
        cached += size;
    }
    void SetLimit(uint32_t bytes) {
        if (bytes < limit) Trim(bytes);
        limit = bytes;
    }
};

// Every block and element the harness fills gets one byte value of its own; neighbours, filled
// one after the other, always differ.
uint8_t PatternByte(uint32_t seed) { return uint8_t(seed * 37 + 1); }

void Fill(void* memory, size_t size, uint32_t seed) {
    std::memset(memory, PatternByte(seed), size);
}

// Every byte holds the pattern. Short regions (most are 64-byte edges) are read eight bytes at a
// time in the harness's own loop, which costs less than memcmp's sanitizer wrapper; long ones
// are compared with themselves shifted by one byte, after their first byte.
bool Intact(const void* memory, size_t size, uint32_t seed) {
    const uint8_t* bytes = static_cast<const uint8_t*>(memory);
    const uint8_t pattern = PatternByte(seed);
    if (size > 256) return bytes[0] == pattern && std::memcmp(bytes, bytes + 1, size - 1) == 0;
    const uint64_t word = pattern * 0x0101010101010101ull;
    size_t at = 0;
    for (uint64_t chunk; at + 8 <= size; at += 8) {
        std::memcpy(&chunk, bytes + at, 8);
        if (chunk != word) return false;
    }
    for (; at < size; ++at)
        if (bytes[at] != pattern) return false;
    return true;
}

constexpr size_t EdgeSize = 64;

void FillEdges(void* memory, size_t size, uint32_t seed) {
    const size_t edge = std::min(size, EdgeSize);
    Fill(memory, edge, seed);
    Fill(static_cast<char*>(memory) + size - edge, edge, seed);
}

bool IntactEdges(const void* memory, size_t size, uint32_t seed) {
    const size_t edge = std::min(size, EdgeSize);
    return Intact(memory, edge, seed) &&
           Intact(static_cast<const char*>(memory) + size - edge, edge, seed);
}

// A page's free chain: the slots given back, each pushed on the head, above the slots never
// handed out, which a fresh page chains in ascending order. Keeping the second part as a bound
// makes a page of thousands of slots cost nothing to set up.
struct PageModel {
    char* start;
    std::vector<uint32_t> freed;  // the head last
    uint32_t untouched = 0;       // the lowest slot never handed out

    uint32_t FreeCount(uint32_t perPage) const {
        return uint32_t(freed.size()) + perPage - untouched;
    }
    uint32_t Head() const { return freed.empty() ? untouched : freed.back(); }
    uint32_t Take() {
        if (freed.empty()) return untouched++;
        const uint32_t index = freed.back();
        freed.pop_back();
        return index;
    }
};

// Page models outlive inputs, keeping the room their lists have grown to: once the run is under
// way, a page comes and goes without taking a heap block.
std::vector<std::unique_ptr<PageModel>>& SparePageModels() {
    static auto* spare = new std::vector<std::unique_ptr<PageModel>>;
    return *spare;
}

std::unique_ptr<PageModel> NewPageModel(char* start) {
    std::vector<std::unique_ptr<PageModel>>& spare = SparePageModels();
    std::unique_ptr<PageModel> page;
    if (spare.empty()) {
        page = std::make_unique<PageModel>();
    } else {
        page = std::move(spare.back());
        spare.pop_back();
    }
    page->start = start;
    page->freed.clear();
    page->untouched = 0;
    return page;
}

struct ElementModel {
    void* element;
    PageModel* page;
    uint32_t index;
    uint32_t seed;
};

struct BankModel {
    std::unique_ptr<Bank> bank;
    int32_t blockClass;
    uint32_t stride;
    uint32_t perPage;
    std::vector<std::unique_ptr<PageModel>> ring;  // in next order
    size_t current = 0;                            // meaningful while the ring is not empty
    std::vector<ElementModel> live;                // in no particular order
    bool touched = true;  // allocated from or freed to since its last full check
};

class Harness {
public:
    // Room for what an input holds at most, so the lists do not grow while it runs.
    Harness() {
        held_.reserve(MaxHeld);
        banks_.reserve(MaxBanks);
    }
    ~Harness() {
        // The state the input left, then whatever it holds goes back, checked like any other
        // operation.
        FullCheck();
        for (BankModel& bank : banks_)
            while (!bank.live.empty()) FreeElement(bank, bank.live.size() - 1, false);
        while (!held_.empty()) ReleaseBlock(0);
        wiring_.runtime.FailAll(false);
        model_.failAll = model_.failOnce = false;
        wiring_.cache.Flush();
        model_.Flush();
        FullCheck();
        FUZZ_CHECK(wiring_.cache.InUseBytes() == 0 && wiring_.cache.CachedBytes() == 0);
        FUZZ_CHECK(wiring_.runtime.Outstanding() == 0);
        FUZZ_CHECK(wiring_.runtime.ForeignReleases() == 0);
    }

    // --- The cache as a host uses it ---------------------------------------------------------
    void GetBlock(int32_t sizeClass) {
        if (held_.size() >= MaxHeld) return;
        bool fresh = false;
        void* expected = model_.Get(sizeClass, &fresh);
        void* block = wiring_.cache.Get(sizeClass, &HostTag);
        if (!fresh) {
            FUZZ_CHECK(block == expected);
            if (!block) return;
        } else {
            CheckFresh(block);
        }
        const uint32_t seed = nextSeed_++;
        // Blocks cannot overlap unless one is handed out twice, which the model sees; the edges
        // show writes by the cache and that the block has its full size.
        FillEdges(block, BlockClassSize(sizeClass), seed);
        held_.push_back({block, sizeClass, seed});
    }

    void ReleaseBlock(size_t pick) {
        if (held_.empty()) return;
        const Held held = held_[pick % held_.size()];
        held_.erase(held_.begin() + pick % held_.size());
        FUZZ_CHECK(IntactEdges(held.block, BlockClassSize(held.sizeClass), held.seed));
        model_.Release(held.sizeClass, held.block);
        wiring_.cache.Release(held.sizeClass, held.block);
    }

    // Classes outside 0 to 4 are refused without effect, in both directions; so is null.
    void RefusedCalls(int32_t badClass, size_t pick) {
        FUZZ_CHECK(wiring_.cache.Get(badClass, &HostTag) == nullptr);
        wiring_.cache.Release(int32_t(pick % BlockClassCount), nullptr);
        if (!held_.empty()) wiring_.cache.Release(badClass, held_[pick % held_.size()].block);
    }

    void Flush() {
        model_.Flush();
        wiring_.cache.Flush();
    }
    void SetLimit(uint32_t bytes) {
        model_.SetLimit(bytes);
        wiring_.cache.SetLimit(bytes);
    }
    void FailNext() {
        model_.failOnce = true;
        wiring_.runtime.FailNext();
    }
    void FailAll(bool fail) {
        model_.failAll = fail;
        if (!fail) model_.failOnce = false;
        wiring_.runtime.FailAll(fail);
    }

    // --- Banks -------------------------------------------------------------------------------
    void AddBank(uint32_t elementSize, int32_t blockClass) {
        if (banks_.size() >= MaxBanks) return;
        BankModel model;
        model.ring.reserve(16);
        model.live.reserve(64);
        model.bank = std::make_unique<Bank>(wiring_.cache);
        model.bank->Init(elementSize, uint32_t(blockClass), false, "All.BankAlloc");
        model.blockClass = blockClass;
        model.stride = uint32_t(Bank::StrideFor(elementSize));
        model.perPage = (BlockClassSize(blockClass) - BankPage::FirstElementOffset) / model.stride;
        FUZZ_CHECK(model.bank->GetUsableSize() == model.stride - 4);
        FUZZ_CHECK(model.bank->GetUsableSize() >= elementSize);
        FUZZ_CHECK(model.stride % DefaultAlignment == 0 &&
                   model.stride - elementSize < 4 + DefaultAlignment);
        FUZZ_CHECK(model.bank->ElementsPerPage() == model.perPage && model.perPage >= 1);
        banks_.push_back(std::move(model));
    }

    void AllocElement(size_t which) {
        if (banks_.empty() || liveElements_ >= 512) return;
        BankModel& bank = banks_[which % banks_.size()];
        bank.touched = true;
        // Where the element must come from: the current page, else the fullest page with room
        // (the first met after the current one on a tie), else a page added after the current.
        bool addPage = bank.ring.empty();
        if (!addPage && bank.ring[bank.current]->FreeCount(bank.perPage) == 0) {
            size_t pick = bank.current;
            for (size_t step = 1; step < bank.ring.size(); ++step) {
                const size_t i = (bank.current + step) % bank.ring.size();
                const uint32_t room = bank.ring[i]->FreeCount(bank.perPage);
                if (room != 0 &&
                    (pick == bank.current || room < bank.ring[pick]->FreeCount(bank.perPage)))
                    pick = i;
            }
            if (pick == bank.current)
                addPage = true;
            else
                bank.current = pick;
        }
        bool fresh = false;
        char* page = nullptr;
        if (addPage) page = static_cast<char*>(model_.Get(bank.blockClass, &fresh));

        void* element = bank.bank->Alloc();
        if (addPage && !page && !fresh) {
            FUZZ_CHECK(element == nullptr);  // the cache had nothing to give
            return;
        }
        FUZZ_CHECK(element != nullptr);
        if (addPage) {
            if (fresh) {
                page = static_cast<char*>(element) - BankPage::FirstElementOffset;
                CheckFresh(page);
            }
            const size_t at = bank.ring.empty() ? 0 : bank.current + 1;
            bank.ring.insert(bank.ring.begin() + at, NewPageModel(page));
            bank.current = at;
        }
        PageModel& current = *bank.ring[bank.current];
        const uint32_t index = current.Take();
        FUZZ_CHECK(element ==
                   current.start + BankPage::FirstElementOffset + size_t(index) * bank.stride);
        FUZZ_CHECK(reinterpret_cast<uintptr_t>(element) % DefaultAlignment == 0);
        FUZZ_CHECK(HeaderWord::Read(element) == index);
        const uint32_t seed = nextSeed_++;
        Fill(element, bank.bank->GetUsableSize(), seed);
        bank.live.push_back({element, &current, index, seed});
        ++liveElements_;
        CheckCurrentPage(bank);
        CheckPage(bank, current);
    }

    void FreeElement(size_t which, size_t pick, bool byIndex) {
        if (banks_.empty()) return;
        BankModel& bank = banks_[which % banks_.size()];
        bank.touched = true;
        if (bank.live.empty()) {
            bank.bank->Free(nullptr);
            bank.bank->FreeIndexed(nullptr, uint32_t(pick));
            return;
        }
        FreeElement(bank, pick % bank.live.size(), byIndex);
    }

    // Every header word, and the edges of everything held, where a neighbour's overrun or the
    // cache's bookkeeping would land first; the whole of each is checked when it goes back.
    // Part of the full check: a sweep over everything held, not something one operation changes.
    void CheckAllEdges() {
        for (BankModel& bank : banks_)
            for (const ElementModel& model : bank.live) {
                FUZZ_CHECK(HeaderWord::Read(model.element) == model.index);
                FUZZ_CHECK(IntactEdges(model.element, bank.bank->GetUsableSize(), model.seed));
            }
        for (const Held& held : held_)
            FUZZ_CHECK(IntactEdges(held.block, BlockClassSize(held.sizeClass), held.seed));
    }

    // --- Checks ------------------------------------------------------------------------------
    // After every operation: the cache's counts and budget, which every operation may change
    // and which cost a load each. The operations on banks check the page they used themselves.
    void StepCheck() {
        BlockCache& cache = wiring_.cache;
        FUZZ_CHECK(cache.InUseBytes() == model_.inUse);
        FUZZ_CHECK(cache.CachedBytes() == model_.cached);
        FUZZ_CHECK(cache.Limit() == model_.limit);
        // Over budget only when nothing is cached, or when the one block cached is the size of
        // the budget or more and nothing is in use.
        const uint64_t inUse = cache.InUseBytes();
        const uint64_t cached = cache.CachedBytes();
        FUZZ_CHECK(inUse + cached <= cache.Limit() || cached == 0 ||
                   (inUse == 0 && model_.RingSize() == 1 && cached >= cache.Limit()));
    }

    // Every FullCheckEvery operations and at the end: the walks over the cache's lists and over
    // each bank used since the last time; the cache cannot reach the pages of the others.
    void FullCheck() {
        StepCheck();
        CheckAllEdges();
        BlockCache& cache = wiring_.cache;
        FUZZ_CHECK(cache.Validate());
        for (int32_t sizeClass = 0; sizeClass < BlockClassCount; ++sizeClass)
            FUZZ_CHECK(cache.CachedCount(sizeClass) == model_.classStack[sizeClass].size());
        for (BankModel& bank : banks_) {
            if (!bank.touched) continue;
            bank.touched = false;
            FUZZ_CHECK(bank.bank->Validate());
            FUZZ_CHECK(bank.bank->PageCount() == bank.ring.size());
            CheckCurrentPage(bank);
            for (const auto& page : bank.ring) CheckPage(bank, *page);
        }
    }

private:
    struct Held {
        void* block;
        int32_t sizeClass;
        uint32_t seed;
    };

    // A block the cache took from the heap: aligned, and no block the harness knows of.
    void CheckFresh(void* block) {
        FUZZ_CHECK(block != nullptr);
        FUZZ_CHECK(reinterpret_cast<uintptr_t>(block) % DefaultAlignment == 0);
        FUZZ_CHECK(!model_.IsCached(block));
        for (const Held& held : held_) FUZZ_CHECK(held.block != block);
        for (const BankModel& bank : banks_)
            for (const auto& page : bank.ring) FUZZ_CHECK(page->start != block);
    }

    void FreeElement(BankModel& bank, size_t at, bool byIndex) {
        const ElementModel model = bank.live[at];
        FUZZ_CHECK(HeaderWord::Read(model.element) == model.index);
        FUZZ_CHECK(Intact(model.element, bank.bank->GetUsableSize(), model.seed));
        bank.live[at] = bank.live.back();
        bank.live.pop_back();
        --liveElements_;
        PageModel* page = model.page;
        page->freed.push_back(model.index);
        const bool emptied = page->FreeCount(bank.perPage) == bank.perPage;
        if (emptied) {
            // The page is empty: it leaves the ring, the next page becomes current if it was,
            // and the block goes back to the cache.
            size_t at = 0;
            while (bank.ring[at].get() != page) ++at;
            if (at < bank.current || (at == bank.current && at + 1 == bank.ring.size()))
                bank.current = at < bank.current ? bank.current - 1 : 0;
            model_.Release(bank.blockClass, page->start);
            SparePageModels().push_back(std::move(bank.ring[at]));
            bank.ring.erase(bank.ring.begin() + at);
        }
        if (byIndex)
            bank.bank->FreeIndexed(model.element, model.index);
        else
            bank.bank->Free(model.element);
        CheckCurrentPage(bank);
        if (!emptied) CheckPage(bank, *page);
    }

    // The bank's current page is the model's.
    void CheckCurrentPage(BankModel& bank) {
        FUZZ_CHECK(bank.ring.empty() ? bank.bank->CurrentPage() == nullptr
                                     : reinterpret_cast<char*>(bank.bank->CurrentPage()) ==
                                           bank.ring[bank.current]->start);
    }
    // A page's free count and the head of its free chain, as the bank holds them.
    void CheckPage(const BankModel& bank, const PageModel& model) {
        const BankPage::FreeSlots slots =
            bank.bank->FreeSlotsOf(reinterpret_cast<BankPage*>(model.start));
        const uint32_t freeCount = model.FreeCount(bank.perPage);
        FUZZ_CHECK(slots.freeCount == freeCount);
        if (freeCount != 0) FUZZ_CHECK(slots.firstFree == model.Head());
    }

    Wiring wiring_{SharedRuntimeHeap()};
    CacheModel model_;
    std::vector<Held> held_;
    std::vector<BankModel> banks_;
    size_t liveElements_ = 0;
    uint32_t nextSeed_ = 1;
};

uint32_t PickLimit(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return in.ConsumeIntegralInRange<uint32_t>(0, 48) * 4096;
        case 1:
            return in.ConsumeIntegralInRange<uint32_t>(0, 0x100000);
        case 2:
            return in.PickValueInArray<uint32_t>(
                {0, 4095, 4096, 65535, 65536, 65537, BlockCache::DefaultLimit, 0xFFFFFFFFu});
        default:
            return in.ConsumeIntegral<uint32_t>();
    }
}

// An element size and a class whose page holds at least one element of it. Mostly (7 in 8) a
// page of 4 KiB holding 1 to 16 elements: full pages, the choice among several pages with room
// and emptied pages come up within a few operations, and filling and checking whole elements
// stays cheap (a bank's choices depend on how many elements a page holds, not on its size).
// Otherwise any size in any class, up to 600 bytes three times in four. Bytes of 0, which
// mutations write most and which a spent input gives, pick the cheap shapes: 16 small elements
// to a page, sizes up to 600.
std::pair<uint32_t, int32_t> PickShape(FuzzedDataProvider& in) {
    if (in.ConsumeIntegralInRange(0, 7) != 5) {
        const uint32_t perPage = 16 - in.ConsumeIntegralInRange<uint32_t>(0, 15);
        // The widest stride that still fits perPage slots, less what the rounding of the stride
        // to the default alignment gives back.
        const uint32_t stride =
            (BlockClassSize(0) - BankPage::FirstElementOffset) / perPage & ~(DefaultAlignment - 1);
        return {stride - 4 - in.ConsumeIntegralInRange<uint32_t>(0, DefaultAlignment - 1), 0};
    }
    uint32_t size = in.ConsumeIntegralInRange(0, 3) == 3
                        ? in.ConsumeIntegralInRange<uint32_t>(0, 65536)
                        : in.ConsumeIntegralInRange<uint32_t>(0, 600);
    int32_t blockClass = in.ConsumeIntegralInRange<int32_t>(0, BlockClassCount - 1);
    const auto fits = [&] {
        return Bank::StrideFor(size) + BankPage::FirstElementOffset <= BlockClassSize(blockClass);
    };
    while (blockClass < BlockClassCount - 1 && !fits()) ++blockClass;
    if (!fits()) size = LargestBlockSize - BankPage::FirstElementOffset - 4;
    return {size, blockClass};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Harness harness;
    for (int op = 0; op < 3000 && in.remaining_bytes() > 0; ++op) {
        switch (in.ConsumeIntegralInRange(0, 14)) {
            case 0:
            case 1:
                harness.GetBlock(in.ConsumeIntegralInRange<int32_t>(0, BlockClassCount - 1));
                break;
            case 2:
            case 3:
                harness.ReleaseBlock(in.ConsumeIntegral<uint16_t>());
                break;
            case 4:
                harness.SetLimit(PickLimit(in));
                break;
            case 5:
                harness.Flush();
                break;
            case 6: {
                const int32_t bad = in.PickValueInArray<int32_t>({-1, 5, 6, INT32_MIN, INT32_MAX});
                harness.RefusedCalls(bad, in.ConsumeIntegral<uint16_t>());
                break;
            }
            case 7:
                if (in.ConsumeBool())
                    harness.FailNext();
                else
                    harness.FailAll(in.ConsumeBool());
                break;
            case 8: {
                const auto [elementSize, blockClass] = PickShape(in);
                harness.AddBank(elementSize, blockClass);
                break;
            }
            case 9:
            case 10:
            case 11: {
                const size_t which = in.ConsumeIntegral<uint8_t>();
                for (int n = in.ConsumeIntegralInRange(1, 16); n > 0; --n)
                    harness.AllocElement(which);
                break;
            }
            default:
                harness.FreeElement(in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint16_t>(),
                                    in.ConsumeBool());
                break;
        }
        harness.StepCheck();
        if (op % FullCheckEvery == FullCheckEvery - 1) harness.FullCheck();
    }
    return 0;  // the harness's destructor checks everything once more
}
