// BenchHarness - what every workload of qxbench shares: a seeded generator, the timing loop
// that sizes and repeats a measurement, and the process's peak resident set.
//
// A workload runs on one or more threads, each with its own state. The calling thread is thread
// 0, so single-threaded workloads run on the main thread as most host code does.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// SplitMix64: fast, fixed-seed and good enough to draw sizes and indices.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}

    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n).
    uint32_t Below(uint32_t n) { return uint32_t(((Next() >> 32) * n) >> 32); }
    // Uniform in [lo, hi].
    uint32_t Between(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }
    // Log-uniform in [lo, hi]: every doubling of the size is equally likely.
    uint32_t LogBetween(uint32_t lo, uint32_t hi) {
        const double unit = double(Next() >> 11) * (1.0 / 9007199254740992.0);
        const double value = double(lo) * std::exp(unit * std::log(double(hi) / double(lo)));
        return std::min(hi, std::max(lo, uint32_t(value + 0.5)));
    }

private:
    uint64_t state_;
};

// Random inputs are drawn before timing into a stream that the timed loop cycles through; it
// is long enough that a live set of 100000 sees every slot replaced many times over.
constexpr size_t StreamLength = size_t(1) << 19;
constexpr size_t StreamMask = StreamLength - 1;

// Spins a while, then yields: if the other side has lost its CPU, waiting for it to come back
// is all this side can do.
inline void Pause(uint32_t& spins) {
    if (++spins < 4096) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        return;
    }
    spins = 0;
    sched_yield();
}

// Writes one byte so that the allocator cannot hand out memory nobody touches.
inline void Touch(void* block, uint32_t value) {
    static_cast<volatile unsigned char*>(block)[0] = static_cast<unsigned char>(value);
}

inline long PeakRssKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

class Workload {
public:
    virtual ~Workload() {}
    virtual int Threads() const { return 1; }
    // Each runs on the thread it names, before, between and after the timed runs.
    virtual void Setup(int) {}
    virtual void Run(int thread, uint64_t steps) = 0;
    virtual void Teardown(int) {}
    // Appended to the variant label after the measurement and teardown (state worth reporting).
    virtual std::string Detail() { return std::string(); }
};

// A reusable barrier: every thread of a workload waits here between phases. Blocking rather
// than spinning, so that waiting threads leave both cores to the ones still working.
class Barrier {
public:
    explicit Barrier(int parties) : parties_(parties) {}

    void Wait() {
        std::unique_lock<std::mutex> hold(mutex_);
        const uint64_t generation = generation_;
        if (++waiting_ == parties_) {
            waiting_ = 0;
            ++generation_;
            wake_.notify_all();
            return;
        }
        wake_.wait(hold, [&] { return generation_ != generation; });
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    int parties_;
    int waiting_ = 0;
    uint64_t generation_ = 0;
};

// A second thread that only waits until it is destroyed. A process that has started one is
// multi-threaded for good, as every real host is, so locks take their atomic path.
class IdleThread {
public:
    IdleThread()
        : thread_([this] {
              std::unique_lock<std::mutex> hold(mutex_);
              wake_.wait(hold, [this] { return stop_; });
          }) {}
    ~IdleThread() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    IdleThread(const IdleThread&) = delete;
    IdleThread& operator=(const IdleThread&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// Pins the calling thread to the index-th CPU of a set. Without it, a thread woken by another
// tends to be queued on the waker's CPU and the two then take turns on one core. Returns false,
// changing nothing, when the set has not that many CPUs.
inline bool PinToCpu(const cpu_set_t& allowed, int index) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed) || index-- != 0) continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        return pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
    }
    return false;
}

// Nanoseconds per step of a workload: the wall time from the first thread starting to the last
// one finishing, divided by the steps each thread ran. The step count is grown until a run takes
// a tenth of the budget, then scaled so that one run takes about `seconds`; the best of three
// such runs is kept (the sizing runs double as warm-up).
inline double MeasureNsPerStep(Workload& work, double seconds) {
    typedef std::chrono::steady_clock Clock;
    const int threads = work.Threads();
    std::vector<Clock::time_point> start(threads), end(threads);
    uint64_t steps = 0;
    bool quit = false;
    Barrier barrier(threads);

    // Several threads get a CPU each, if there are enough; the main thread's mask comes back
    // afterwards.
    cpu_set_t mainMask;
    const bool pin = threads > 1 && sched_getaffinity(0, sizeof mainMask, &mainMask) == 0 &&
                     CPU_COUNT(&mainMask) >= threads;
    if (pin) PinToCpu(mainMask, 0);

    auto runOwnPart = [&](int thread) {
        start[thread] = Clock::now();
        work.Run(thread, steps);
        end[thread] = Clock::now();
    };
    std::vector<std::thread> helpers;
    for (int thread = 1; thread < threads; ++thread) {
        helpers.emplace_back([&, thread] {
            if (pin) PinToCpu(mainMask, thread);
            work.Setup(thread);
            barrier.Wait();
            for (;;) {
                barrier.Wait();  // the main thread has published steps or quit
                if (quit) break;
                runOwnPart(thread);
                barrier.Wait();
            }
            work.Teardown(thread);
        });
    }
    work.Setup(0);
    barrier.Wait();

    auto phase = [&](uint64_t count) {
        steps = count;
        barrier.Wait();
        runOwnPart(0);
        barrier.Wait();
        const auto first = *std::min_element(start.begin(), start.end());
        const auto last = *std::max_element(end.begin(), end.end());
        return std::chrono::duration<double>(last - first).count();
    };

    uint64_t count = 256;
    double elapsed = phase(count);
    while (elapsed < seconds / 10) {
        count *= elapsed < seconds / 1000 ? 16 : 4;
        elapsed = phase(count);
    }
    count = std::max<uint64_t>(1, uint64_t(double(count) * seconds / elapsed));
    double best = 1e300;
    for (int repetition = 0; repetition < 3; ++repetition)
        best = std::min(best, phase(count) * 1e9 / double(count));

    quit = true;
    barrier.Wait();
    for (std::thread& helper : helpers) helper.join();
    work.Teardown(0);
    if (pin) pthread_setaffinity_np(pthread_self(), sizeof mainMask, &mainMask);
    return best;
}

}  // namespace bench
