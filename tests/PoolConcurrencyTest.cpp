// Several threads on one set of pools at once: the same and different small bins, one shared
// bank, banks created and released, and blocks taken straight from the cache. Every piece of
// memory carries its owner's pattern, checked before it goes back.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "pool/BankRegistry.h"
#include "pool/SmallMemAllocator.h"
#include "support/PoolWiring.h"

namespace {

struct Held {
    unsigned char* memory;
    uint32_t size;
    int source;  // 0 small bin, 1 shared bank, 2 cache block of class `size` index
    int32_t sizeClass;
    unsigned char fill;
};

// Whole elements are checked; large blocks at every 61st byte and at both ends.
bool Intact(const Held& held) {
    const uint32_t step = held.size > 1024 ? 61 : 1;
    for (uint32_t i = 0; i < held.size; i += step)
        if (held.memory[i] != held.fill) return false;
    return held.size == 0 || held.memory[held.size - 1] == held.fill;
}

// Holds every thread until all have started, so that their work overlaps.
class StartGate {
public:
    explicit StartGate(int threads) : waiting_(threads) {}
    void Pass() {
        waiting_.fetch_sub(1);
        while (waiting_.load() > 0) std::this_thread::yield();
    }

private:
    std::atomic<int> waiting_;
};

}  // namespace

TEST(PoolConcurrencyTest, ThreadsShareBinsABankAndTheCache) {
    PoolWiring wiring;
    SmallMemAllocator small(wiring.cache);
    BankRegistry registry(wiring.system, wiring.cache);
    const AllocTag tag{"", "", 0};
    constexpr int Threads = 6;
    constexpr int Steps = 5000;
    StartGate gate(Threads);

    std::vector<std::thread> threads;
    std::vector<int> faults(Threads, 0);
    std::vector<int> failed(Threads, 0);
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(unsigned(t) + 1);
            gate.Pass();
            IAllocator* shared = registry.CreateBank(48, 100, true);
            std::vector<Held> held;
            auto giveBack = [&](const Held& h) {
                if (!Intact(h)) ++faults[t];
                if (h.source == 0) small.Free(h.memory);
                if (h.source == 1) shared->Free(h.memory);
                if (h.source == 2) wiring.cache.Release(h.sizeClass, h.memory);
            };
            for (int step = 0; step < Steps; ++step) {
                if (held.size() < 48 && random() % 2 == 0) {
                    Held h{};
                    h.fill = static_cast<unsigned char>(t * 40 + step);
                    h.source = int(random() % 3);
                    if (h.source == 0) {
                        // Even threads crowd into bin 0; odd ones spread over every bin.
                        h.size = t % 2 == 0 ? random() % 21 : random() % 517;
                        h.memory = static_cast<unsigned char*>(small.Alloc(h.size));
                    } else if (h.source == 1) {
                        h.size = 48;
                        h.memory = static_cast<unsigned char*>(shared->Alloc());
                    } else {
                        h.sizeClass = int32_t(random() % 3);
                        h.size = BlockClassSize(h.sizeClass);
                        h.memory = static_cast<unsigned char*>(wiring.cache.Get(h.sizeClass, &tag));
                    }
                    if (!h.memory) {
                        ++failed[t];
                        continue;
                    }
                    std::memset(h.memory, h.fill, h.size);
                    held.push_back(h);
                } else if (!held.empty()) {
                    const size_t index = random() % held.size();
                    giveBack(held[index]);
                    held[index] = held.back();
                    held.pop_back();
                }
            }
            for (const Held& h : held) giveBack(h);
            shared->Release();
        });
    }
    for (auto& thread : threads) thread.join();

    for (int t = 0; t < Threads; ++t) {
        EXPECT_EQ(faults[t], 0) << "thread " << t;
        EXPECT_EQ(failed[t], 0) << "thread " << t;
    }
    IAllocator* shared = registry.CreateBank(48, 100, true);
    EXPECT_EQ(static_cast<Bank*>(shared)->RefCount(), 1) << "every share was counted and released";
    EXPECT_EQ(static_cast<Bank*>(shared)->CurrentPage(), nullptr);
    EXPECT_TRUE(static_cast<Bank*>(shared)->Validate());
    for (uint32_t bin = 0; bin < SmallMemAllocator::BinCount; ++bin) {
        EXPECT_EQ(small.Bin(bin).CurrentPage(), nullptr) << bin;
        EXPECT_TRUE(small.Bin(bin).Validate()) << bin;
    }
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
    EXPECT_TRUE(wiring.cache.Validate());
    EXPECT_TRUE(registry.Validate());
}

TEST(PoolConcurrencyTest, BanksAndUserNodesComeAndGoFromManyThreads) {
    PoolWiring wiring;
    BankRegistry registry(wiring.system, wiring.cache);
    constexpr int Threads = 4;
    constexpr int Rounds = 400;
    StartGate gate(Threads);

    std::vector<int> faults(Threads, 0);
    std::vector<ListNode> nodes(Threads);
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            gate.Pass();
            for (int round = 0; round < Rounds; ++round) {
                // Two shapes for everyone, sometimes shared, sometimes not.
                const uint32_t size = round % 2 == 0 ? 24 : 100;
                IAllocator* bank = registry.CreateBank(size, 20, (round + t) % 3 != 0);
                if (!bank) {
                    ++faults[t];
                    continue;
                }
                registry.LinkUserNode(&nodes[t]);
                std::vector<unsigned char*> elements;
                for (int i = 0; i < 5; ++i) {
                    auto* element = static_cast<unsigned char*>(bank->Alloc());
                    if (!element) {
                        ++faults[t];
                        continue;
                    }
                    std::memset(element, t + 1, size);
                    elements.push_back(element);
                }
                for (unsigned char* element : elements) {
                    for (uint32_t i = 0; i < size; ++i)
                        if (element[i] != t + 1) {
                            ++faults[t];
                            break;
                        }
                    bank->Free(element);
                }
                registry.UnlinkUserNode(&nodes[t]);
                bank->Release();
            }
        });
    }
    for (auto& thread : threads) thread.join();

    for (int t = 0; t < Threads; ++t) EXPECT_EQ(faults[t], 0) << "thread " << t;
    ListNode* node;
    ListNode* end;
    registry.LockUserList(&node, &end);
    EXPECT_EQ(node, end);
    registry.UnlockUserList();
    registry.LockBankList(&node, &end);
    for (; node != end; node = node->next) {
        Bank* bank;
        std::memcpy(&bank, reinterpret_cast<char*>(node) + sizeof(ListNode), sizeof bank);
        EXPECT_EQ(bank->RefCount(), 0);
        EXPECT_EQ(bank->CurrentPage(), nullptr);
        EXPECT_TRUE(bank->Validate());
    }
    registry.UnlockBankList();
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
    EXPECT_TRUE(registry.Validate());
}
