// FakeRuntimeHeap - a runtime heap for tests: counts calls, fails on demand, records what it
// hands out and takes back, and installs itself as the library's seam for one scope.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/RuntimeHeap.h"

class FakeRuntimeHeap : public RuntimeHeap {
public:
    struct Block {
        void* address;
        uint32_t size;
    };

    void* Allocate(uint32_t size) override {
        std::lock_guard<std::mutex> hold(mutex_);
        ++calls_;
        if (failAll_ || calls_ == failOnce_ || (failFrom_ != 0 && calls_ >= failFrom_)) {
            ++failures_;
            requestsFailed_.push_back(size);
            return nullptr;
        }
        void* block = std::malloc(size ? size : 1);
        if (block) live_.push_back({block, size});
        return block;
    }

    void Release(void* block) override {
        std::lock_guard<std::mutex> hold(mutex_);
        released_.push_back(block);
        auto it = std::find_if(live_.begin(), live_.end(),
                               [&](const Block& b) { return b.address == block; });
        if (it == live_.end()) {
            ++foreignReleases_;  // not ours: leave it alone rather than corrupt the real heap
            return;
        }
        live_.erase(it);
        GiveBack(block);
    }

    // The n-th Allocate from now (counting from 1) fails, once.
    void FailCall(unsigned n) {
        std::lock_guard<std::mutex> hold(mutex_);
        failOnce_ = calls_ + n;
    }
    // Every Allocate from the n-th from now on fails.
    void FailFrom(unsigned n) {
        std::lock_guard<std::mutex> hold(mutex_);
        failFrom_ = calls_ + n;
    }
    // Every Allocate fails until told otherwise.
    void FailAll(bool fail) {
        std::lock_guard<std::mutex> hold(mutex_);
        failAll_ = fail;
        if (!fail) failOnce_ = failFrom_ = 0;
    }

    unsigned Calls() const { return Locked(calls_); }
    unsigned Failures() const { return Locked(failures_); }
    std::vector<uint32_t> FailedRequests() const { return Locked(requestsFailed_); }
    std::vector<void*> Released() const { return Locked(released_); }
    std::vector<Block> Live() const { return Locked(live_); }
    size_t Outstanding() const { return Locked(live_).size(); }
    unsigned ForeignReleases() const { return Locked(foreignReleases_); }
    bool Owns(const void* address) const {
        std::lock_guard<std::mutex> hold(mutex_);
        return std::any_of(live_.begin(), live_.end(),
                           [&](const Block& b) { return b.address == address; });
    }
    // Frees whatever is still live, for tests that leave blocks with a discarded subsystem.
    ~FakeRuntimeHeap() {
        for (const Block& b : live_) GiveBack(b.address);
    }

private:
    // Under memcheck, elements a test leaves out in a pool it drops stay registered as heap
    // blocks inside the memory that held them. Were the C heap to hand that memory out again,
    // memcheck would take a new owner's free for one of theirs, so under memcheck the memory is
    // kept until the process ends (the whole suite allocates some tens of MiB through fakes).
    static void GiveBack([[maybe_unused]] void* block) {
#if !defined(QXMEMORY_VALGRIND)
        std::free(block);
#endif
    }

    template <typename T>
    T Locked(const T& value) const {
        std::lock_guard<std::mutex> hold(mutex_);
        return value;
    }

    mutable std::mutex mutex_;
    unsigned calls_ = 0;
    unsigned failures_ = 0;
    unsigned failOnce_ = 0;
    unsigned failFrom_ = 0;
    unsigned foreignReleases_ = 0;
    bool failAll_ = false;
    std::vector<Block> live_;
    std::vector<void*> released_;
    std::vector<uint32_t> requestsFailed_;
};

// Makes a fake the library's runtime heap for one scope.
class ScopedRuntimeHeap {
public:
    explicit ScopedRuntimeHeap(RuntimeHeap& heap) : previous_(ReplaceRuntimeHeap(&heap)) {}
    ~ScopedRuntimeHeap() { ReplaceRuntimeHeap(previous_); }
    ScopedRuntimeHeap(const ScopedRuntimeHeap&) = delete;
    ScopedRuntimeHeap& operator=(const ScopedRuntimeHeap&) = delete;

private:
    RuntimeHeap* previous_;
};
