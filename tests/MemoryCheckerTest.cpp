// Pool memory under AddressSanitizer: what is off limits while free, and a host's use after free
// or second free of an element or a page block stopped where it happens. Skipped in builds
// without AddressSanitizer (tests/memcheck/run covers Valgrind's memcheck).
#include <gtest/gtest.h>

#include <string>

#include "IQXMemory.h"
#include "common/MemoryChecker.h"
#include "pool/Bank.h"
#include "support/PoolWiring.h"

namespace {

#if defined(QXMEMORY_ASAN)
constexpr bool Instrumented = true;
bool Poisoned(const void* address) { return __asan_address_is_poisoned(address) != 0; }
bool AnyPoisoned(void* begin, size_t size) {
    return __asan_region_is_poisoned(begin, size) != nullptr;
}
#else
constexpr bool Instrumented = false;
bool Poisoned(const void*) { return false; }
bool AnyPoisoned(void*, size_t) { return false; }
#endif

void Read(const void* address) { (void)*static_cast<const volatile char*>(address); }
void Write(void* address) { *static_cast<volatile char*>(address) = 1; }

class MemoryCheckerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Instrumented) GTEST_SKIP() << "not an AddressSanitizer build";
        // Each death test runs in a fresh process of its own, whatever earlier cases left in
        // the singletons.
        savedStyle_ = ::testing::FLAGS_gtest_death_test_style;
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    }
    // Blocks cached by the case go back to the real heap before a later case puts in a fake.
    void TearDown() override {
        if (!Instrumented) return;
        ::testing::FLAGS_gtest_death_test_style = savedStyle_;
        memory->FlushBlockCache();
    }

    IQXMemory* memory = GetIQXMemory();
    const AllocTag tag{"Host.Checker", "Test", 1};

private:
    std::string savedStyle_;
};

}  // namespace

TEST_F(MemoryCheckerTest, FreeBodiesAreOffLimitsAndTheLibrarysWordsAreNot) {
    PoolWiring wiring;
    Bank bank{wiring.cache};
    bank.Init(60, 0, false, "All.BankAlloc");
    const uint32_t usable = bank.GetUsableSize();
    char* a = static_cast<char*>(bank.Alloc());
    char* b = static_cast<char*>(bank.Alloc());
    char* page = reinterpret_cast<char*>(bank.CurrentPage());
    EXPECT_FALSE(AnyPoisoned(a, usable));
    EXPECT_TRUE(Poisoned(b + bank.Stride())) << "a slot never handed out";

    bank.Free(a);
    EXPECT_TRUE(Poisoned(a));
    EXPECT_TRUE(Poisoned(a + usable / 2));
    EXPECT_FALSE(AnyPoisoned(a - 4, 4)) << "the free chain lives in the word";
    EXPECT_FALSE(AnyPoisoned(b, usable));
    EXPECT_EQ(bank.Alloc(), a);
    EXPECT_FALSE(AnyPoisoned(a, usable));

    // The emptied page goes back to the cache: its header is the cache's, the rest off limits.
    bank.Free(a);
    bank.Free(b);
    ASSERT_EQ(wiring.cache.CachedCount(0), 1u);
    EXPECT_FALSE(AnyPoisoned(page, sizeof(CachedBlock)));
    EXPECT_TRUE(Poisoned(page + sizeof(CachedBlock)));
    EXPECT_TRUE(Poisoned(page + 4095));
    EXPECT_TRUE(wiring.cache.Validate());

    EXPECT_EQ(wiring.cache.Get(0, &tag), page);
    EXPECT_FALSE(AnyPoisoned(page, 4096)) << "all of a block handed out is the taker's";
    wiring.cache.Release(0, page);
    wiring.cache.Flush();
    EXPECT_EQ(wiring.runtime.Outstanding(), 0u);
}

TEST_F(MemoryCheckerTest, SmallElementUsedAfterFreeOrFreedTwice) {
    char* element = static_cast<char*>(memory->Alloc(100));
    // A live neighbour keeps the page in its bin: slot 0 of a page given back to the cache lies
    // partly under the cache's header, which stays readable.
    void* neighbour = memory->Alloc(100);
    ASSERT_NE(element, nullptr);
    memory->Free(element);
    EXPECT_DEATH(Read(element), "use-after-poison");
    EXPECT_DEATH(memory->Free(element), "use-after-poison");
    memory->Free(neighbour);
}

TEST_F(MemoryCheckerTest, BankElementUsedAfterFreeOrFreedTwice) {
    IAllocator* bank = memory->CreateBank(48, 16, false);
    ASSERT_NE(bank, nullptr);
    char* element = static_cast<char*>(bank->Alloc());
    void* neighbour = bank->Alloc();
    ASSERT_NE(element, nullptr);
    bank->Free(element);
    EXPECT_DEATH(Write(element + 8), "use-after-poison");
    EXPECT_DEATH(bank->Free(element), "use-after-poison");
    bank->Free(neighbour);
    bank->Release();
}

TEST_F(MemoryCheckerTest, PageBlockUsedAfterFreeOrFreedTwice) {
    char* block = static_cast<char*>(memory->AllocBlock(1, &tag));
    ASSERT_NE(block, nullptr);
    memory->FreeBlock(1, block);
    EXPECT_DEATH(Write(block + 4096), "use-after-poison");
    EXPECT_DEATH(memory->FreeBlock(1, block), "use-after-poison");
}
