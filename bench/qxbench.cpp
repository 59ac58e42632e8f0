// qxbench - runs one allocation workload against QXMemory or against the process's malloc, so
// that every allocator executes the same workload code in a process of its own.
//
//   qxbench list                                 every measurement: workload, variant, who runs it
//   qxbench qx|malloc|floor WORKLOAD [VARIANT]   runs the workload's variants (or one of them)
//       --seconds S                              length of one timed run (default 0.3)
//
// Each measurement prints one line: workload, variant, allocator, ns per op, peak RSS in KiB.
// With "malloc" the allocator column names whoever serves malloc in this process: glibc, or a
// peer preloaded with LD_PRELOAD. "floor" runs the small-object workloads against FloorModel,
// the least that sharing the small bins costs (their "all+floor" rows in the list).
#include <dlfcn.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BenchHarness.h"
#include "Churn.h"
#include "FloorModel.h"
#include "IQXMemory.h"
#include "RangeChurn.h"

using namespace bench;

namespace {

// Page blocks of one class; the malloc side gets the same size through MallocHeap.
struct QxBlocks {
    IQXMemory* memory;
    int32_t sizeClass;
    void* Alloc(uint32_t) { return memory->AllocBlock(sizeClass, &Tag); }
    void Free(void* block) { memory->FreeBlock(sizeClass, block); }
    static const AllocTag Tag;
};
const AllocTag QxBlocks::Tag = {"Bench", "PageBlock", 0};

// --- Waves: a document generator's stream, allocated in waves and freed in waves. -----------

// Each wave allocates Wave blocks, then frees all but a tenth of them, which the next wave frees:
// 94% of the sizes below 512 bytes, 5.6% log-uniform from 512 bytes to 64 KiB and 0.4% around
// 640 KiB. Blocks of a page or more are written a byte per 4 KiB, as a buffer being filled is.
// One op is one allocation, with the frees of its wave.
template <class A>
class Waves : public Workload {
public:
    explicit Waves(A api) : api_(api) {}

    void Setup(int) override {
        Rng rng(0xD0C6E7u);
        sizes_.resize(StreamLength);
        for (uint32_t& size : sizes_) {
            const uint32_t draw = rng.Below(1000);
            size = draw < 4    ? rng.Between(600 << 10, 680 << 10)
                   : draw < 60 ? rng.LogBetween(512, 64 << 10)
                               : rng.Between(0, 511);
        }
        survivors_.reserve(Wave);
        wave_.reserve(Wave);
    }

    void Run(int, uint64_t count) override {
        for (uint64_t i = 0; i < count; ++i) {
            const uint32_t size = sizes_[cursor_];
            cursor_ = (cursor_ + 1) & StreamMask;
            char* block = static_cast<char*>(Check(api_.Alloc(size)));
            for (uint32_t at = 0; at < size; at += 4096) block[at] = char(at);
            wave_.push_back(block);
            if (wave_.size() == Wave) EndWave();
        }
    }

    void Teardown(int) override {
        for (void* block : wave_) api_.Free(block);
        for (void* block : survivors_) api_.Free(block);
        wave_.clear();
        survivors_.clear();
    }

private:
    static constexpr size_t Wave = 20000;

    void EndWave() {
        for (void* block : survivors_) api_.Free(block);
        survivors_.clear();
        for (size_t i = 0; i < wave_.size(); ++i) {
            if (i % 10 == 0)
                survivors_.push_back(wave_[i]);
            else
                api_.Free(wave_[i]);
        }
        wave_.clear();
    }

    A api_;
    std::vector<uint32_t> sizes_;
    size_t cursor_ = 0;
    std::vector<void*> wave_;
    std::vector<void*> survivors_;
};

// --- Cross-thread: thread 0 allocates, thread 1 frees, through a bounded ring. ---------------

template <class A>
class CrossThread : public Workload {
public:
    explicit CrossThread(A api) : api_(api) {}

    int Threads() const override { return 2; }

    void Setup(int thread) override {
        if (thread != 0) return;
        Rng rng(0xC0055u);
        sizes_.resize(StreamLength);
        for (uint32_t& size : sizes_) size = rng.Between(0, 511);
    }

    void Run(int thread, uint64_t count) override {
        if (thread == 0)
            Produce(count);
        else
            Consume(count);
    }

private:
    static constexpr size_t RingSize = 1024;

    void Produce(uint64_t count) {
        size_t tail = tail_.load(std::memory_order_relaxed);
        size_t headSeen = head_.load(std::memory_order_acquire);
        for (uint64_t i = 0; i < count; ++i) {
            const uint32_t size = sizes_[cursor_];
            cursor_ = (cursor_ + 1) & StreamMask;
            void* block = api_.Alloc(size);
            if (!block) Check(block);
            if (size) Touch(block, size);
            // Re-read the consumer's position only when the ring looks full.
            for (uint32_t spins = 0; tail - headSeen == RingSize;) {
                Pause(spins);
                headSeen = head_.load(std::memory_order_acquire);
            }
            ring_[tail & (RingSize - 1)] = block;
            tail_.store(++tail, std::memory_order_release);
        }
    }

    void Consume(uint64_t count) {
        size_t head = head_.load(std::memory_order_relaxed);
        size_t tailSeen = tail_.load(std::memory_order_acquire);
        for (uint64_t i = 0; i < count; ++i) {
            for (uint32_t spins = 0; head == tailSeen;) {
                Pause(spins);
                tailSeen = tail_.load(std::memory_order_acquire);
            }
            void* block = ring_[head & (RingSize - 1)];
            head_.store(++head, std::memory_order_release);
            api_.Free(block);
        }
    }

    A api_;
    std::vector<uint32_t> sizes_;
    size_t cursor_ = 0;
    void* ring_[RingSize];
    alignas(64) std::atomic<size_t> head_{0};  // written by the consumer only
    alignas(64) std::atomic<size_t> tail_{0};  // written by the producer only
};

// --- Range heap: offsets in a 256 MiB range, through the interface (see RangeChurn.h). -----

struct QxRange {
    IQXMemory* memory;
    RangeHeap* heap = nullptr;
    bool Create(uint32_t total, uint32_t count, uint32_t minFragment, uint32_t base) {
        heap = memory->CreateRangeHeap(total, count, minFragment, base);
        return heap != nullptr;
    }
    void Destroy() { memory->DestroyRangeHeap(heap); }
    bool Alloc(uint32_t size, uint32_t alignment, uint32_t* offset, uint16_t* handle,
               bool bottomUp) {
        return memory->RangeAlloc(heap, size, alignment, offset, handle, bottomUp);
    }
    void Free(uint16_t handle) { memory->RangeFree(heap, handle); }
    uint32_t SpareCount() {
        uint32_t total = 0, spare = 0;
        MemStats stats;
        memory->GetRangeHeapInfo(heap, &total, &spare, &stats, nullptr);
        return spare;
    }
};

// --- Thread tags: one PushTag/PopTag bracket per step, after the thread's first call. -------

class TagPair : public Workload {
public:
    explicit TagPair(IQXMemory* memory) : memory_(memory) {}
    void Setup(int) override {
        memory_->PushTag(&Tag);
        memory_->PopTag();
    }
    void Run(int, uint64_t count) override {
        for (uint64_t i = 0; i < count; ++i) {
            memory_->PushTag(&Tag);
            memory_->PopTag();
        }
    }

private:
    static const AllocTag Tag;
    IQXMemory* memory_;
};
const AllocTag TagPair::Tag = {"All.Bench", "All.Bench.Tag", 7};

// --- Resident set: a million live small objects, each written in full. ----------------------

// Times the allocations alone, in one cold pass (page faults included); the objects are then
// filled, so that the peak resident set counts every byte a program would write.
template <class A>
double MillionObjects(A api, std::string* detail) {
    constexpr uint32_t Count = 1000000;
    Rng rng(0x355u);
    std::vector<uint32_t> sizes(Count);
    uint64_t payload = 0;
    for (uint32_t& size : sizes) payload += size = rng.Between(0, 511);
    std::vector<void*> blocks(Count);

    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < Count; ++i) {
        void* block = api.Alloc(sizes[i]);
        if (!block) Check(block);
        if (sizes[i]) Touch(block, i);
        blocks[i] = block;
    }
    const auto end = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < Count; ++i) memset(blocks[i], 0x5A, sizes[i]);
    for (void* block : blocks) api.Free(block);  // the peak resident set is already reached

    char text[64];
    snprintf(text, sizeof text, " (payload %.0f MiB)", double(payload) / (1 << 20));
    *detail = text;
    return std::chrono::duration<double, std::nano>(end - start).count() / Count;
}

// --- The measurement table. ------------------------------------------------------------------

enum class Side { Qx, Malloc, Floor };

struct Result {
    double nsPerOp;
    std::string detail;
};

struct Measurement {
    const char* workload;
    std::string variant;
    bool qxOnly;
    std::function<Result(Side, double)> run;
    bool floor = false;  // also runs against the floor model
};

// With idle set, a second thread waits for the whole measurement (see IdleThread).
template <class QxWork, class MallocWork>
Result Timed(Side side, double seconds, QxWork qx, MallocWork other, bool idle = false) {
    std::unique_ptr<IdleThread> idleThread(idle ? new IdleThread : nullptr);
    Result result;
    if (side == Side::Qx) {
        auto work = qx();
        result.nsPerOp = MeasureNsPerStep(*work, seconds);
        result.detail = work->Detail();
    } else {
        auto work = other();
        result.nsPerOp = MeasureNsPerStep(*work, seconds);
        result.detail = work->Detail();
    }
    return result;
}

std::vector<Measurement> AllMeasurements() {
    std::vector<Measurement> all;
    const SizeRange small{SizeKind::Uniform, 0, 511};

    // "1t+idle": one thread works while a second one exists and waits, the state of every real
    // host, where a lock cannot rely on the process having a single thread.
    struct SmallCase {
        int threads;
        bool idle;
        const char* label;
    };
    for (SmallCase c :
         {SmallCase{1, false, "1t"}, SmallCase{1, true, "1t+idle"}, SmallCase{2, false, "2t"}}) {
        for (uint32_t live : {1u, 1000u, 100000u}) {
            all.push_back({"small", std::string(c.label) + " K=" + std::to_string(live), false,
                           [=](Side side, double seconds) {
                               if (side == Side::Floor) {
                                   FloorModel model;
                                   Churn<FloorModel::Adapter> work(FloorModel::Adapter{&model},
                                                                   live, small, c.threads);
                                   return Result{MeasureNsPerStep(work, seconds), std::string()};
                               }
                               return Timed(
                                   side, seconds,
                                   [&] {
                                       return std::make_unique<Churn<QxHeap>>(
                                           QxHeap{GetIQXMemory()}, live, small, c.threads);
                                   },
                                   [&] {
                                       return std::make_unique<Churn<MallocHeap>>(
                                           MallocHeap{}, live, small, c.threads);
                                   },
                                   c.idle);
                           },
                           !c.idle});
        }
    }

    all.push_back(
        {"crossthread", "alloc on one thread, free on another", false,
         [](Side side, double seconds) {
             return Timed(
                 side, seconds,
                 [] { return std::make_unique<CrossThread<QxHeap>>(QxHeap{GetIQXMemory()}); },
                 [] { return std::make_unique<CrossThread<MallocHeap>>(MallocHeap{}); });
         }});

    all.push_back(
        {"large", "512B-256K K=100", false, [](Side side, double seconds) {
             const SizeRange large{SizeKind::LogUniform, 512, 256 << 10};
             return Timed(
                 side, seconds,
                 [&] {
                     return std::make_unique<Churn<QxHeap>>(QxHeap{GetIQXMemory()}, 100, large, 1);
                 },
                 [&] { return std::make_unique<Churn<MallocHeap>>(MallocHeap{}, 100, large, 1); });
         }});

    all.push_back({"large", "waves: 94% <512B, 5.6% to 64K, 0.4% ~640K", false,
                   [](Side side, double seconds) {
                       return Timed(
                           side, seconds,
                           [] { return std::make_unique<Waves<QxHeap>>(QxHeap{GetIQXMemory()}); },
                           [] { return std::make_unique<Waves<MallocHeap>>(MallocHeap{}); });
                   }});

    for (bool idle : {false, true}) {
        for (uint32_t live : {1u, 1000u, 100000u}) {
            const std::string label =
                std::string("48B") + (idle ? "+idle" : "") + " K=" + std::to_string(live);
            all.push_back(
                {"pool", label, false, [=](Side side, double seconds) {
                     const SizeRange fixed{SizeKind::Uniform, 48, 48};
                     return Timed(
                         side, seconds,
                         [&] {
                             IAllocator* bank = GetIQXMemory()->CreateBank(48, 1000, false);
                             if (!bank) Check(nullptr);
                             return std::make_unique<Churn<QxBank>>(QxBank{bank}, live, fixed, 1);
                         },
                         [&] {
                             return std::make_unique<Churn<MallocHeap>>(MallocHeap{}, live, fixed,
                                                                        1);
                         },
                         idle);
                 }});
        }
    }

    for (int32_t sizeClass = 0; sizeClass <= 4; ++sizeClass) {
        const uint32_t bytes = 4096u << sizeClass;
        for (uint32_t live : {1u, 8u}) {
            const std::string label = "class " + std::to_string(sizeClass) + " (" +
                                      std::to_string(bytes >> 10) + "K) " +
                                      (live == 1 ? "alloc+free" : "K=8");
            all.push_back({"pageblock", label, false, [=](Side side, double seconds) {
                               const SizeRange fixed{SizeKind::Uniform, bytes, bytes};
                               return Timed(
                                   side, seconds,
                                   [&] {
                                       return std::make_unique<Churn<QxBlocks>>(
                                           QxBlocks{GetIQXMemory(), sizeClass}, live, fixed, 1);
                                   },
                                   [&] {
                                       return std::make_unique<Churn<MallocHeap>>(MallocHeap{},
                                                                                  live, fixed, 1);
                                   });
                           }});
        }
    }

    // The largest requests shrink for the biggest live set so that it fits the range about half
    // full; the last variant keeps them and runs the range full, where requests fail.
    struct RangeCase {
        uint32_t live;
        uint32_t largest;
    };
    for (RangeCase c : {RangeCase{100, 1 << 20}, RangeCase{1000, 1 << 20},
                        RangeCase{10000, 64 << 10}, RangeCase{10000, 1 << 20}}) {
        const std::string label = "K=" + std::to_string(c.live) + " 256B-" +
                                  (c.largest >= (1u << 20) ? std::to_string(c.largest >> 20) + "M"
                                                           : std::to_string(c.largest >> 10) + "K");
        all.push_back({"range", label, true, [=](Side, double seconds) {
                           RangeChurn<QxRange> work(QxRange{GetIQXMemory()}, c.live, c.largest);
                           Result result;
                           result.nsPerOp = MeasureNsPerStep(work, seconds);
                           result.detail = work.Detail();
                           return result;
                       }});
    }

    all.push_back({"tag", "PushTag+PopTag", true, [](Side, double seconds) {
                       TagPair work(GetIQXMemory());
                       return Result{MeasureNsPerStep(work, seconds), std::string()};
                   }});

    all.push_back({"rss", "1M live objects 0-511B", false, [](Side side, double) {
                       Result result;
                       result.nsPerOp = side == Side::Qx
                                            ? MillionObjects(QxHeap{GetIQXMemory()}, &result.detail)
                                            : MillionObjects(MallocHeap{}, &result.detail);
                       return result;
                   }});
    return all;
}

// Who serves malloc in this process: the library the dynamic linker bound it to.
std::string MallocProvider() {
    Dl_info info;
    void* symbol = dlsym(RTLD_DEFAULT, "malloc");
    if (!symbol || !dladdr(symbol, &info) || !info.dli_fname) return "malloc";
    const std::string path = info.dli_fname;
    for (const char* name : {"mimalloc", "jemalloc", "tcmalloc"})
        if (path.find(name) != std::string::npos) return name;
    if (path.find("libc.so") != std::string::npos) return "glibc";
    return path.substr(path.rfind('/') + 1);
}

int Usage() {
    fprintf(stderr,
            "usage: qxbench list\n"
            "       qxbench qx|malloc|floor WORKLOAD [VARIANT] [--seconds S]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    double seconds = 0.3;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = atof(argv[++i]);
        else
            args.push_back(argv[i]);
    }
    if (args.empty() || seconds <= 0) return Usage();

    const std::vector<Measurement> all = AllMeasurements();
    if (args[0] == "list") {
        for (const Measurement& m : all)
            printf("%s\t%s\t%s\n", m.workload, m.variant.c_str(),
                   m.qxOnly  ? "qx"
                   : m.floor ? "all+floor"
                             : "all");
        return 0;
    }
    if (args.size() < 2 || (args[0] != "qx" && args[0] != "malloc" && args[0] != "floor"))
        return Usage();
    const Side side = args[0] == "qx" ? Side::Qx : args[0] == "floor" ? Side::Floor : Side::Malloc;
    const std::string allocator = side == Side::Qx      ? "qx"
                                  : side == Side::Floor ? "floor"
                                                        : MallocProvider();

    int matched = 0;
    for (const Measurement& m : all) {
        if (args[1] != m.workload || (args.size() > 2 && args[2] != m.variant)) continue;
        ++matched;
        if (m.qxOnly && side != Side::Qx) continue;  // peers have nothing comparable
        if (side == Side::Floor && !m.floor) continue;
        const Result result = m.run(side, seconds);
        printf("%s\t%s%s\t%s\t%.2f\t%ld\n", m.workload, m.variant.c_str(), result.detail.c_str(),
               allocator.c_str(), result.nsPerOp, PeakRssKib());
        fflush(stdout);
    }
    if (matched == 0) {
        fprintf(stderr, "qxbench: no measurement %s%s%s\n", args[1].c_str(),
                args.size() > 2 ? " / " : "", args.size() > 2 ? args[2].c_str() : "");
        return 2;
    }
    return 0;
}
