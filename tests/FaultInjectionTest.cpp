// Fault injection through the runtime heap: one fixed workload over every subsystem that takes
// memory, counted once on a clean run and then rerun with each of its runtime-heap calls failing
// once, and with every call from that one on failing. A failure must reach the workload as null
// or false, leave every structure valid, report to the out-of-memory callback exactly when the
// retry after the flush failed too, and leak nothing beyond what the library keeps on purpose.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "common/DefaultAlignment.h"
#include "platform/ThreadLocalSlots.h"
#include "pool/BankRegistry.h"
#include "pool/SmallMemAllocator.h"
#include "range/RangeHeap.h"
#include "stats/ThreadTagStore.h"
#include "support/PoolWiring.h"

namespace {

// Small enough that page traffic both evicts and frees, large enough that pages get cached.
constexpr uint32_t CacheLimit = 7 * 65536;
constexpr uint32_t RangeEntries = 16;
const AllocTag WorkTag = {"Host.Fault", "Injection", 7};

// Every report is logged; the one-shot callback arms itself again so that none is missed.
struct ReportLog {
    OutOfMemoryHandler* handler;
    std::vector<uint32_t> sizes;
};

void LogReport(uint32_t size, uintptr_t userData) {
    ReportLog* log = reinterpret_cast<ReportLog*>(userData);
    log->sizes.push_back(size);
    log->handler->SetHandler(LogReport, userData);
}

struct Wiring {
    Wiring() {
        pool.cache.SetLimit(CacheLimit);
        pool.handler.SetHandler(LogReport, reinterpret_cast<uintptr_t>(&reports));
    }

    PoolWiring pool;  // first, so the registry unlinks its chunks before the fake frees them
    BankRegistry registry{pool.system, pool.cache};
    SmallMemAllocator small{pool.cache};
    ThreadTagStore tags{pool.system, PlatformThreadLocalSlots()};
    ReportLog reports{&pool.handler, {}};
};

// Whether [address, address + size) lies inside one block the fake handed out and still holds.
bool OwnedByFake(const void* address, size_t size, const FakeRuntimeHeap& runtime) {
    const char* p = static_cast<const char*>(address);
    for (const FakeRuntimeHeap::Block& b : runtime.Live()) {
        const char* start = static_cast<const char*>(b.address);
        if (p >= start && p + size <= start + b.size) return true;
    }
    return false;
}

struct HeldBank {
    IAllocator* bank;
    uint32_t elementSize;
    std::vector<void*> elements;
};

// Takes what it can, skips what was refused, and gives back everything it got.
class Workload {
public:
    explicit Workload(Wiring& wiring) : w_(wiring) {}

    void Acquire() {
        ThreadTagContext* pushed = Keep(w_.tags.Push(&WorkTag), sizeof(ThreadTagContext));
        for (int32_t c = 0; c < BlockClassCount; ++c)
            blocks_[c] = Keep(w_.pool.cache.Get(c, &WorkTag), BlockClassSize(c));
        // Two classes go back at once, so later page requests can be served from the cache.
        for (int32_t c : {0, 2}) {
            w_.pool.cache.Release(c, blocks_[c]);
            blocks_[c] = nullptr;
        }

        IAllocator* shared = Keep(w_.registry.CreateBank(48, 100, true), sizeof(Bank));
        IAllocator* again = Keep(w_.registry.CreateBank(48, 100, true), sizeof(Bank));
        if (shared && again) {
            EXPECT_EQ(shared, again) << "a shareable shape is shared";
        }
        banks_ = {{shared, 48, {}},
                  {again, 48, {}},
                  {Keep(w_.registry.CreateBank(200, 20, false), sizeof(Bank)), 200, {}}};
        const int perBank[] = {70, 30, 20};  // 100 elements of 48 bytes span two pages
        for (size_t b = 0; b < banks_.size(); ++b) {
            if (!banks_[b].bank) continue;
            for (int i = 0; i < perBank[b]; ++i)
                if (void* e = Keep(banks_[b].bank->Alloc(), banks_[b].elementSize)) {
                    std::memset(e, int(b + 1), banks_[b].elementSize);
                    banks_[b].elements.push_back(e);
                }
        }

        const uint32_t pastOnePage = w_.small.Bin(7).ElementsPerPage() + 3;
        for (uint32_t size : {8u, 40u, 100u, 300u})
            for (int i = 0; i < 3; ++i) TakeSmall(size);
        for (uint32_t i = 0; i < pastOnePage; ++i) TakeSmall(500);

        const uint32_t shapes[][2] = {{1000, 8}, {5000, 64}, {70000, 4096}, {300, 12}};
        for (const auto& shape : shapes)
            if (void* a = Keep(w_.pool.aligned.Alloc(shape[0], shape[1]), shape[0])) {
                EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % shape[1], 0u);
                aligned_.push_back(a);
            }

        range_ = Keep(RangeHeap::Create(w_.pool.system, RangeEntries, 1u << 20, 64, 0x100000),
                      RangeHeap::BlockBytes(RangeEntries));
        if (range_) {
            const struct {
                uint32_t size, alignment;
                bool bottomUp;
            } pieces[] = {
                {1000, 16, true}, {5000, 256, true}, {3000, 4096, false}, {100, 8, false}};
            for (const auto& piece : pieces) {
                uint32_t offset;
                uint16_t handle;
                const bool ok =
                    range_->Alloc(piece.size, piece.alignment, &offset, &handle, piece.bottomUp);
                EXPECT_TRUE(ok) << "the range heap needs no runtime memory to allocate";
                if (ok) handles_.push_back(handle);
            }
            if (handles_.size() > 1) {
                range_->Free(handles_[1]);
                handles_.erase(handles_.begin() + 1);
            }
        }

        ThreadTagContext* popped = Keep(w_.tags.Pop(), sizeof(ThreadTagContext));
        if (pushed && popped) {
            EXPECT_EQ(pushed, popped) << "one context per thread";
        }
        gotContext = pushed || popped;
        anyBank = shared || again || banks_[2].bank;
    }

    void ReleaseAll() {
        for (int32_t c = 0; c < BlockClassCount; ++c) w_.pool.cache.Release(c, blocks_[c]);
        for (HeldBank& held : banks_) {
            if (!held.bank) continue;
            for (void* e : held.elements) held.bank->Free(e);
            held.bank->Release();
        }
        // Every other small element first, so pages empty out in a different order.
        for (int pass = 0; pass < 2; ++pass)
            for (size_t i = pass; i < small_.size(); i += 2) w_.small.Free(small_[i]);
        for (void* a : aligned_) w_.pool.aligned.Free(a);
        if (range_) {
            for (uint16_t handle : handles_) range_->Free(handle);
            EXPECT_TRUE(range_->Validate());
            RangeHeap::Destroy(range_);
        }
    }

    bool Validate() {
        bool ok = w_.pool.cache.Validate() && w_.registry.Validate() && w_.pool.handler.Validate();
        for (uint32_t bin = 0; bin < SmallMemAllocator::BinCount; ++bin)
            ok = w_.small.Bin(bin).Validate() && ok;
        for (HeldBank& held : banks_)
            if (held.bank) ok = static_cast<Bank*>(held.bank)->Validate() && ok;
        return ok;
    }

    unsigned refused = 0;  // requests answered with null
    bool gotContext = false;
    bool anyBank = false;

private:
    template <typename T>
    T* Keep(T* result, size_t size) {
        // Checked as it is handed out: a failure must never come back as a stray pointer.
        if (result)
            EXPECT_TRUE(OwnedByFake(result, size, w_.pool.runtime))
                << result << " (" << size << " bytes) is not the fake's";
        else
            ++refused;
        return result;
    }
    void TakeSmall(uint32_t size) {
        if (void* e = Keep(w_.small.Alloc(size), size)) {
            std::memset(e, int(size & 0xFF), size);
            small_.push_back(e);
        }
    }

    Wiring& w_;
    void* blocks_[BlockClassCount] = {};
    std::vector<HeldBank> banks_;
    std::vector<void*> small_;
    std::vector<void*> aligned_;
    RangeHeap* range_ = nullptr;
    std::vector<uint16_t> handles_;
};

enum class Fault { None, Once, From };

// One run on a fresh wiring; returns the runtime-heap calls it made.
unsigned RunWorkload(Fault fault, unsigned k) {
    Wiring w;
    FakeRuntimeHeap& runtime = w.pool.runtime;
    if (fault == Fault::Once) runtime.FailCall(k);
    if (fault == Fault::From) runtime.FailFrom(k);

    Workload load(w);
    load.Acquire();
    EXPECT_TRUE(load.Validate()) << "after taking";
    load.ReleaseAll();
    EXPECT_TRUE(load.Validate()) << "after giving back";

    // The first try of every request fails from call k on, so failures come in pairs of try and
    // retry, each pair one report. A single failure is absorbed by the retry.
    const std::vector<uint32_t> failed = runtime.FailedRequests();
    std::vector<uint32_t> expectedReports;
    if (fault == Fault::Once) {
        EXPECT_EQ(failed.size(), 1u);
    }
    if (fault == Fault::From) {
        EXPECT_EQ(failed.size(), runtime.Calls() - (k - 1));
        EXPECT_EQ(failed.size() % 2, 0u);
        for (size_t i = 0; i + 1 < failed.size(); i += 2) {
            EXPECT_EQ(failed[i], failed[i + 1]) << "the retry asks for the same size";
            expectedReports.push_back(failed[i]);
        }
    }
    EXPECT_EQ(w.reports.sizes, expectedReports);
    EXPECT_EQ(size_t(w.pool.flusher.flushes), failed.size() - expectedReports.size());
    EXPECT_EQ(load.refused, expectedReports.size()) << "each report surfaces as one refusal";

    // What stays: cached blocks within the budget, the registry's chunk and the tag context.
    BlockCache& cache = w.pool.cache;
    EXPECT_EQ(cache.InUseBytes(), 0u);
    EXPECT_LE(cache.CachedBytes(), cache.Limit());
    std::map<uint32_t, size_t> expected, actual;
    uint32_t cachedBytes = 0;
    for (int32_t c = 0; c < BlockClassCount; ++c) {
        const uint32_t count = cache.CachedCount(c);
        if (count) expected[BlockClassSize(c) + DefaultAlignment] += count;
        cachedBytes += count * BlockClassSize(c);
    }
    EXPECT_EQ(cachedBytes, cache.CachedBytes());
    if (load.anyBank) expected[sizeof(BankChunk)] += 1;
    if (load.gotContext) expected[sizeof(ThreadTagContext)] += 1;
    for (const FakeRuntimeHeap::Block& b : runtime.Live()) ++actual[b.size];
    EXPECT_EQ(actual, expected) << "live runtime-heap blocks by size";
    EXPECT_EQ(runtime.ForeignReleases(), 0u);

    if (fault == Fault::None) {
        EXPECT_EQ(load.refused, 0u);
        EXPECT_TRUE(load.anyBank && load.gotContext && cachedBytes > 0)
            << "the clean run keeps a chunk, a context and cached blocks";
    }
    return runtime.Calls();
}

}  // namespace

TEST(FaultInjectionTest, EveryRuntimeHeapFailureIsContained) {
    const unsigned calls = RunWorkload(Fault::None, 0);
    ASSERT_FALSE(HasFailure());
    unsigned runs = 0;
    for (unsigned k = 1; k <= calls && !HasFailure(); ++k) {
        for (Fault fault : {Fault::Once, Fault::From}) {
            SCOPED_TRACE(testing::Message() << (fault == Fault::Once ? "call " : "every call from ")
                                            << k << " of " << calls << " fails");
            RunWorkload(fault, k);
            ++runs;
        }
    }
    std::printf("fault injection: C=%u calls, %u runs\n", calls, runs);
    RecordProperty("calls", int(calls));
    RecordProperty("runs", int(runs));
}
