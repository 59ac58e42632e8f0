// Block cache and bank operation sequences over a fake runtime heap. The model predicts the
// cache exactly: which block each Get hands out, which blocks stay cached, the byte counts, and
// for each bank its ring of pages, its current page and the free slots of every page, so every
// element an Alloc returns is known before the call.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
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

uint32_t RoomFor(uint32_t size, uint32_t limit) { return size < limit ? limit - size : 0; }

// The cache as the model sees it. The ring starts at the anchor and runs in ringNext order;
// each class stack has its most recently cached block last.
struct CacheModel {
    uint32_t limit = BlockCache::DefaultLimit;
    uint64_t inUse = 0;
    uint64_t cached = 0;
    std::vector<void*> ring;
    std::vector<void*> classStack[BlockClassCount];
    std::map<void*, int32_t> classOf;
    bool failOnce = false;  // the runtime heap's next request fails
    bool failAll = false;   // every runtime heap request fails

    void Unlink(void* block) {
        std::vector<void*>& stack = classStack[classOf.at(block)];
        stack.erase(std::find(stack.begin(), stack.end(), block));
        ring.erase(std::find(ring.begin(), ring.end(), block));
        cached -= BlockClassSize(classOf.at(block));
        classOf.erase(block);
    }
    // Evicts from the anchor's successor on, the anchor last.
    bool Trim(uint64_t target) {
        while (inUse + cached > target) {
            if (ring.empty()) return false;
            Unlink(ring.size() > 1 ? ring[1] : ring[0]);
        }
        return true;
    }
    void Flush() {
        ring.clear();
        for (auto& stack : classStack) stack.clear();
        classOf.clear();
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
        classOf[block] = sizeClass;
        ring.insert(ring.empty() ? ring.end() : ring.begin() + 1, block);
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

// All bytes equal the first (the region against itself shifted by one), and the first is right.
bool Intact(const void* memory, size_t size, uint32_t seed) {
    const uint8_t* bytes = static_cast<const uint8_t*>(memory);
    return size == 0 ||
           (bytes[0] == PatternByte(seed) && std::memcmp(bytes, bytes + 1, size - 1) == 0);
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

struct PageModel {
    char* start;
    std::vector<uint32_t> freeSlots;  // the page's free chain, its head last
};

struct ElementModel {
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
    std::map<void*, ElementModel> live;
    bool touched = true;  // allocated from or freed to since its last full check
};

class Harness {
public:
    ~Harness() {
        // Whatever the input left behind goes back, checked like any other operation.
        for (BankModel& bank : banks_)
            while (!bank.live.empty()) FreeElement(bank, bank.live.begin()->first, false);
        while (!held_.empty()) ReleaseBlock(0);
        wiring_.runtime.FailAll(false);
        model_.failAll = model_.failOnce = false;
        wiring_.cache.Flush();
        model_.Flush();
        Check();
        FUZZ_CHECK(wiring_.cache.InUseBytes() == 0 && wiring_.cache.CachedBytes() == 0);
        FUZZ_CHECK(wiring_.runtime.Outstanding() == 0);
    }

    // --- The cache as a host uses it ---------------------------------------------------------
    void GetBlock(int32_t sizeClass) {
        if (held_.size() >= 48) return;
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
        wiring_.runtime.FailCall(1);
    }
    void FailAll(bool fail) {
        model_.failAll = fail;
        if (!fail) model_.failOnce = false;
        wiring_.runtime.FailAll(fail);
    }

    // --- Banks -------------------------------------------------------------------------------
    void AddBank(uint32_t elementSize, int32_t blockClass) {
        if (banks_.size() >= 3) return;
        BankModel model;
        model.bank = std::make_unique<Bank>(wiring_.cache);
        model.bank->Init(elementSize, uint32_t(blockClass), false, "All.BankAlloc");
        model.blockClass = blockClass;
        model.stride = uint32_t(Bank::StrideFor(elementSize));
        model.perPage = (BlockClassSize(blockClass) - BankPage::FirstElementOffset) / model.stride;
        FUZZ_CHECK(model.bank->GetUsableSize() == model.stride - 4);
        FUZZ_CHECK(model.bank->GetUsableSize() >= elementSize);
        FUZZ_CHECK(model.stride % 8 == 0 && model.stride - elementSize < 12);
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
        if (!addPage && bank.ring[bank.current]->freeSlots.empty()) {
            size_t pick = bank.current;
            for (size_t step = 1; step < bank.ring.size(); ++step) {
                const size_t i = (bank.current + step) % bank.ring.size();
                const size_t room = bank.ring[i]->freeSlots.size();
                if (room != 0 && (pick == bank.current || room < bank.ring[pick]->freeSlots.size()))
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
            auto added = std::make_unique<PageModel>();
            added->start = page;
            for (uint32_t i = bank.perPage; i-- > 0;) added->freeSlots.push_back(i);
            const size_t at = bank.ring.empty() ? 0 : bank.current + 1;
            bank.ring.insert(bank.ring.begin() + at, std::move(added));
            bank.current = at;
        }
        PageModel& current = *bank.ring[bank.current];
        const uint32_t index = current.freeSlots.back();
        current.freeSlots.pop_back();
        FUZZ_CHECK(element ==
                   current.start + BankPage::FirstElementOffset + size_t(index) * bank.stride);
        FUZZ_CHECK(reinterpret_cast<uintptr_t>(element) % 8 == 0);
        FUZZ_CHECK(HeaderWord::Read(element) == index);
        FUZZ_CHECK(bank.live.count(element) == 0);
        const uint32_t seed = nextSeed_++;
        Fill(element, bank.bank->GetUsableSize(), seed);
        bank.live[element] = {&current, index, seed};
        ++liveElements_;
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
        auto it = bank.live.begin();
        std::advance(it, pick % bank.live.size());
        FreeElement(bank, it->first, byIndex);
    }

    // Every header word, and the edges of everything held, where a neighbour's overrun or the
    // cache's bookkeeping would land first; the whole of each is checked when it goes back.
    void CheckAllEdges() {
        for (BankModel& bank : banks_)
            for (const auto& [element, model] : bank.live) {
                FUZZ_CHECK(HeaderWord::Read(element) == model.index);
                FUZZ_CHECK(IntactEdges(element, bank.bank->GetUsableSize(), model.seed));
            }
        for (const Held& held : held_)
            FUZZ_CHECK(IntactEdges(held.block, BlockClassSize(held.sizeClass), held.seed));
    }

    // --- After every operation ---------------------------------------------------------------
    void Check() {
        BlockCache& cache = wiring_.cache;
        FUZZ_CHECK(cache.Validate());
        FUZZ_CHECK(cache.InUseBytes() == model_.inUse);
        FUZZ_CHECK(cache.CachedBytes() == model_.cached);
        FUZZ_CHECK(cache.Limit() == model_.limit);
        for (int32_t sizeClass = 0; sizeClass < BlockClassCount; ++sizeClass)
            FUZZ_CHECK(cache.CachedCount(sizeClass) == model_.classStack[sizeClass].size());
        // Over budget only when nothing is cached, or when the one block cached is the size of
        // the budget or more and nothing is in use.
        const uint64_t inUse = cache.InUseBytes();
        const uint64_t cached = cache.CachedBytes();
        FUZZ_CHECK(inUse + cached <= cache.Limit() || cached == 0 ||
                   (inUse == 0 && model_.ring.size() == 1 && cached >= cache.Limit()));

        for (BankModel& bank : banks_) {
            // The full walk only for a bank whose pages changed; the cache cannot reach them.
            if (bank.touched) FUZZ_CHECK(bank.bank->Validate());
            bank.touched = false;
            FUZZ_CHECK(bank.bank->PageCount() == bank.ring.size());
            FUZZ_CHECK(bank.ring.empty() ? bank.bank->CurrentPage() == nullptr
                                         : reinterpret_cast<char*>(bank.bank->CurrentPage()) ==
                                               bank.ring[bank.current]->start);
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
        FUZZ_CHECK(reinterpret_cast<uintptr_t>(block) % 8 == 0);
        FUZZ_CHECK(model_.classOf.count(block) == 0);
        for (const Held& held : held_) FUZZ_CHECK(held.block != block);
        for (const BankModel& bank : banks_)
            for (const auto& page : bank.ring) FUZZ_CHECK(page->start != block);
    }

    void FreeElement(BankModel& bank, void* element, bool byIndex) {
        const ElementModel model = bank.live.at(element);
        FUZZ_CHECK(HeaderWord::Read(element) == model.index);
        FUZZ_CHECK(Intact(element, bank.bank->GetUsableSize(), model.seed));
        bank.live.erase(element);
        --liveElements_;
        PageModel* page = model.page;
        page->freeSlots.push_back(model.index);
        if (page->freeSlots.size() == bank.perPage) {
            // The page is empty: it leaves the ring, the next page becomes current if it was,
            // and the block goes back to the cache.
            size_t at = 0;
            while (bank.ring[at].get() != page) ++at;
            if (at < bank.current || (at == bank.current && at + 1 == bank.ring.size()))
                bank.current = at < bank.current ? bank.current - 1 : 0;
            model_.Release(bank.blockClass, page->start);
            bank.ring.erase(bank.ring.begin() + at);
        }
        if (byIndex)
            bank.bank->FreeIndexed(element, model.index);
        else
            bank.bank->Free(element);
    }

    PoolWiring wiring_;
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

// An element size and a class whose page holds at least one element of it.
std::pair<uint32_t, int32_t> PickShape(FuzzedDataProvider& in) {
    uint32_t size = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 600)
                                     : in.ConsumeIntegralInRange<uint32_t>(0, 65536);
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
        switch (in.ConsumeIntegralInRange(0, 15)) {
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
            case 12:
            case 13:
            case 14:
                harness.FreeElement(in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint16_t>(),
                                    in.ConsumeBool());
                break;
            default:
                harness.CheckAllEdges();
                break;
        }
        harness.Check();
    }
    return 0;
}
