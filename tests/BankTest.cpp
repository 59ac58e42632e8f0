// A bank over a private block cache: where its elements sit, which page serves the next
// request, and when pages come and go.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "common/HeaderWord.h"
#include "common/MemoryChecker.h"
#include "pool/Bank.h"
#include "support/PoolWiring.h"

namespace {

constexpr uint32_t FirstOffset = BankPage::FirstElementOffset;

class BankTest : public ::testing::Test {
protected:
    // The page an allocated element of this bank lies in, from its own header word.
    BankPage* PageOf(void* element) {
        return BankPage::FromElement(element, HeaderWord::Read(element), bank.Stride());
    }

    // Fills count pages, each added right after the last, so the ring runs in the order of the
    // result and the last page is current. Returns each page's elements in slot order.
    std::vector<std::vector<void*>> FillPages(size_t count) {
        std::vector<std::vector<void*>> pages(count);
        for (auto& page : pages)
            for (uint32_t i = 0; i < bank.ElementsPerPage(); ++i) page.push_back(bank.Alloc());
        return pages;
    }

    PoolWiring wiring;
    Bank bank{wiring.cache};
};

}  // namespace

TEST_F(BankTest, FirstElementsComeFromANewPageInSlotOrder) {
    bank.Init(16, 0, false, "All.BankAlloc");
    char* first = static_cast<char*>(bank.Alloc());
    ASSERT_NE(first, nullptr);
    BankPage* page = bank.CurrentPage();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(first, reinterpret_cast<char*>(page) + FirstOffset);
    EXPECT_EQ(HeaderWord::Read(first), 0u);
    EXPECT_EQ(wiring.cache.InUseBytes(), 4096u);

    char* second = static_cast<char*>(bank.Alloc());
    EXPECT_EQ(second, first + Bank::StrideFor(16));
    EXPECT_EQ(HeaderWord::Read(second), 1u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(second) % QXMEMORY_ALLOC_ALIGNMENT, 0u);
    EXPECT_EQ(bank.FreeSlotsOf(page).freeCount, bank.ElementsPerPage() - 2);
    EXPECT_EQ(page->next, page);
    EXPECT_EQ(page->prev, page);
    EXPECT_EQ(bank.PageCount(), 1u);
    EXPECT_TRUE(bank.Validate());
}

TEST_F(BankTest, ShapeFollowsFromElementSizeAndClass) {
    struct Shape {
        uint32_t size;
        uint32_t stride;
    };
#if UINTPTR_MAX == 0xFFFFFFFFu
    const Shape shapes[] = {{0, 8},   {1, 8},   {4, 8},     {5, 16},    {12, 16},
                            {13, 24}, {16, 24}, {196, 200}, {512, 520}, {4000, 4008}};
#else
    // Rounded to 16, so that every element keeps the 64-bit targets' alignment.
    const Shape shapes[] = {{0, 16},  {12, 16}, {13, 32},   {16, 32},   {28, 32},
                            {29, 48}, {44, 48}, {196, 208}, {512, 528}, {4000, 4016}};
#endif
    for (const Shape& shape : shapes) {
        for (uint32_t sizeClass = 0; sizeClass < 5; ++sizeClass) {
            SCOPED_TRACE(testing::Message() << shape.size << " in class " << sizeClass);
            bank.Init(shape.size, sizeClass, sizeClass % 2 == 1, "All.BankAlloc");
            EXPECT_EQ(bank.Stride(), shape.stride);
            EXPECT_EQ(bank.GetUsableSize(), shape.stride - 4);
            EXPECT_GE(bank.GetUsableSize(), shape.size);
            EXPECT_EQ(bank.GetBlockClass(), sizeClass);
            EXPECT_EQ(bank.IsShareable(), sizeClass % 2 == 1);
            EXPECT_EQ(bank.ElementsPerPage(),
                      (BlockClassSize(sizeClass) - FirstOffset) / shape.stride);
        }
    }
#if UINTPTR_MAX == 0xFFFFFFFFu
    bank.Init(16, 4, false, "All.BankAlloc");
    EXPECT_EQ(bank.ElementsPerPage(), 2730u);
    bank.Init(0, 4, false, "All.BankAlloc");
    EXPECT_EQ(bank.ElementsPerPage(), 8190u);
    // The formula is kept wide: sizes near 4 GiB do not wrap to a small stride.
    EXPECT_EQ(Bank::StrideFor(0xFFFFFFF5u), 0x100000000ull);
    EXPECT_EQ(Bank::StrideFor(0xFFFFFFFFu), 0x100000008ull);
#else
    bank.Init(16, 4, false, "All.BankAlloc");
    EXPECT_EQ(bank.ElementsPerPage(), (65536u - 32) / 32);
    EXPECT_EQ(Bank::StrideFor(0xFFFFFFEDu), 0x100000000ull);
    EXPECT_EQ(Bank::StrideFor(0xFFFFFFFFu), 0x100000010ull);
#endif
}

TEST_F(BankTest, FreedElementIsTheNextOneHandedOut) {
    bank.Init(40, 1, false, "All.BankAlloc");
    void* a = bank.Alloc();
    void* b = bank.Alloc();
    void* c = bank.Alloc();
    bank.Free(b);
    EXPECT_TRUE(bank.Validate());
    EXPECT_EQ(bank.Alloc(), b);
    EXPECT_EQ(HeaderWord::Read(b), 1u);
    bank.Free(a);
    bank.Free(c);
    EXPECT_TRUE(bank.Validate());
    EXPECT_EQ(bank.Alloc(), c);
    EXPECT_EQ(bank.Alloc(), a);
    void* d = bank.Alloc();
    EXPECT_EQ(HeaderWord::Read(d), 3u) << "then the untouched slots in order";
    EXPECT_EQ(bank.PageCount(), 1u);
    EXPECT_TRUE(bank.Validate());
}

TEST_F(BankTest, FullCurrentPageGivesWayToTheFullestPageWithRoom) {
    bank.Init(252, 0, false, "All.BankAlloc");  // stride 256: a handful of slots per page
    ASSERT_GE(bank.ElementsPerPage(), 6u);
    auto pages = FillPages(4);  // ring p0 -> p1 -> p2 -> p3, current p3, all full
    for (int i = 0; i < 5; ++i) bank.Free(pages[0][i]);
    for (int i = 0; i < 3; ++i) bank.Free(pages[2][i]);
    ASSERT_TRUE(bank.Validate());

    EXPECT_EQ(bank.Alloc(), pages[2][2]) << "p2 (3 free) beats p0 (5 free); p1 is full";
    EXPECT_EQ(bank.CurrentPage(), PageOf(pages[2].back()));

    // While the current page has room it stays current, even with a fuller page elsewhere.
    bank.Free(pages[1][0]);
    EXPECT_EQ(bank.Alloc(), pages[2][1]);
    EXPECT_EQ(bank.CurrentPage(), PageOf(pages[2].back()));
    EXPECT_EQ(bank.PageCount(), 4u);
    EXPECT_TRUE(bank.Validate());
}

TEST_F(BankTest, AmongEquallyFullPagesTheFirstMetWalkingForwardWins) {
    bank.Init(252, 0, false, "All.BankAlloc");
    auto pages = FillPages(4);  // current p3; walking next: p0, p1, p2
    for (int i = 0; i < 3; ++i) bank.Free(pages[1][i]);
    for (int i = 0; i < 3; ++i) bank.Free(pages[2][i]);

    EXPECT_EQ(bank.Alloc(), pages[1][2]);
    EXPECT_EQ(bank.CurrentPage(), PageOf(pages[1].back()));
    EXPECT_EQ(wiring.cache.InUseBytes(), 4 * 4096u);
    EXPECT_TRUE(bank.Validate());
}

// One free slot cannot be beaten, so the search may stop at the first such page; it must still
// pass over fuller-but-not-full pages before it and ignore equal ones after it.
TEST_F(BankTest, FirstPageWithOneFreeSlotWinsOverEveryOther) {
    bank.Init(252, 0, false, "All.BankAlloc");
    auto pages = FillPages(5);  // current p4; walking next: p0, p1, p2, p3
    for (int i = 0; i < 2; ++i) bank.Free(pages[0][i]);
    bank.Free(pages[2][4]);
    bank.Free(pages[3][1]);

    EXPECT_EQ(bank.Alloc(), pages[2][4]);
    EXPECT_EQ(bank.CurrentPage(), PageOf(pages[2].back()));
    EXPECT_EQ(bank.Alloc(), pages[3][1]) << "p2 is full again; p3 has one slot, p0 two";
    EXPECT_EQ(bank.Alloc(), pages[0][1]);
    EXPECT_TRUE(bank.Validate());
}

TEST_F(BankTest, WithEveryPageFullANewPageFollowsTheCurrentOne) {
    bank.Init(252, 0, false, "All.BankAlloc");
    auto pages = FillPages(3);  // ring p0 -> p1 -> p2, current p2
    BankPage* p0 = PageOf(pages[0][0]);
    BankPage* p1 = PageOf(pages[1][0]);
    bank.Free(pages[0][4]);
    EXPECT_EQ(bank.Alloc(), pages[0][4]);  // moves to p0, the only page with room
    ASSERT_EQ(bank.CurrentPage(), p0);

    void* fresh = bank.Alloc();
    ASSERT_NE(fresh, nullptr);
    BankPage* added = bank.CurrentPage();
    EXPECT_EQ(PageOf(fresh), added);
    EXPECT_EQ(HeaderWord::Read(fresh), 0u);
    EXPECT_EQ(added->prev, p0);
    EXPECT_EQ(added->next, p1);
    EXPECT_EQ(p0->next, added);
    EXPECT_EQ(p1->prev, added);
    EXPECT_EQ(bank.PageCount(), 4u);
    EXPECT_TRUE(bank.Validate());
}

TEST_F(BankTest, NoBlockFromTheCacheMeansNullAndNoChange) {
    bank.Init(252, 0, false, "All.BankAlloc");
    wiring.runtime.FailAll(true);
    EXPECT_EQ(bank.Alloc(), nullptr);
    EXPECT_EQ(bank.CurrentPage(), nullptr);
    EXPECT_TRUE(bank.Validate());

    wiring.runtime.FailAll(false);
    auto pages = FillPages(2);
    BankPage* current = bank.CurrentPage();
    wiring.runtime.FailAll(true);
    EXPECT_EQ(bank.Alloc(), nullptr);
    EXPECT_EQ(bank.CurrentPage(), current);
    EXPECT_EQ(bank.PageCount(), 2u);
    EXPECT_EQ(wiring.cache.InUseBytes(), 2 * 4096u);
    EXPECT_TRUE(bank.Validate());

    wiring.runtime.FailAll(false);  // a later request tries again
    EXPECT_NE(bank.Alloc(), nullptr);
    EXPECT_EQ(bank.PageCount(), 3u);
    EXPECT_TRUE(bank.Validate());
}

TEST_F(BankTest, EmptiedPageGoesBackToTheCacheAtOnce) {
    bank.Init(1000, 2, false, "All.BankAlloc");
    void* a = bank.Alloc();
    void* b = bank.Alloc();
    BankPage* only = bank.CurrentPage();
    bank.Free(a);
    EXPECT_EQ(wiring.cache.CachedBytes(), 0u);
    bank.Free(b);
    EXPECT_EQ(bank.CurrentPage(), nullptr);
    EXPECT_EQ(bank.PageCount(), 0u);
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
    EXPECT_EQ(wiring.cache.CachedCount(2), 1u) << "returned with the bank's own class";
    EXPECT_TRUE(bank.Validate());

    // The next request adds a page again: the very block just given back.
    void* again = bank.Alloc();
    EXPECT_EQ(bank.CurrentPage(), only);
    EXPECT_EQ(again, a);
    bank.Free(again);
    EXPECT_TRUE(wiring.cache.Validate());
}

TEST_F(BankTest, EmptyingAPageMovesTheCurrentPageOnOnlyWhenItWasCurrent) {
    bank.Init(252, 0, false, "All.BankAlloc");
    auto pages = FillPages(4);  // ring p0 -> p1 -> p2 -> p3, current p3
    BankPage* p0 = PageOf(pages[0][0]);
    BankPage* p2 = PageOf(pages[2][0]);
    BankPage* p3 = PageOf(pages[3][0]);

    for (void* element : pages[1]) bank.Free(element);  // not current: leaves the ring alone
    EXPECT_EQ(bank.CurrentPage(), p3);
    EXPECT_EQ(p0->next, p2);
    EXPECT_EQ(p2->prev, p0);
    EXPECT_EQ(wiring.cache.CachedBytes(), 4096u);
    EXPECT_TRUE(bank.Validate());

    for (void* element : pages[3]) bank.Free(element);  // current: its successor takes over
    EXPECT_EQ(bank.CurrentPage(), p0);
    EXPECT_EQ(p0->prev, p2);
    EXPECT_EQ(p2->next, p0);
    EXPECT_EQ(bank.PageCount(), 2u);
    EXPECT_EQ(wiring.cache.CachedBytes(), 2 * 4096u);
    EXPECT_TRUE(bank.Validate());

    for (void* element : pages[0]) bank.Free(element);
    EXPECT_EQ(bank.CurrentPage(), p2);
    EXPECT_EQ(p2->next, p2);
    EXPECT_EQ(p2->prev, p2);
    for (void* element : pages[2]) bank.Free(element);  // the only page: none is left
    EXPECT_EQ(bank.CurrentPage(), nullptr);
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
    EXPECT_TRUE(wiring.cache.Validate());
}

TEST_F(BankTest, LargestPageFillsToTheFormulaCountBeforeASecondIsAdded) {
    bank.Init(16, 4, false, "All.BankAlloc");
    const uint32_t perPage = uint32_t((65536 - FirstOffset) / Bank::StrideFor(16));
    ASSERT_EQ(bank.ElementsPerPage(), perPage);
    std::vector<void*> elements;
    for (uint32_t i = 0; i < perPage; ++i) {
        elements.push_back(bank.Alloc());
        ASSERT_NE(elements.back(), nullptr);
        std::memset(elements.back(), 0x5A, bank.GetUsableSize());
    }
    BankPage* page = bank.CurrentPage();
    EXPECT_EQ(bank.PageCount(), 1u);
    EXPECT_EQ(bank.FreeSlotsOf(page).freeCount, 0u);
    char* last = static_cast<char*>(elements.back());
    EXPECT_EQ(HeaderWord::Read(last), perPage - 1);
    EXPECT_LE(last + bank.GetUsableSize(), reinterpret_cast<char*>(page) + 65536);

    void* next = bank.Alloc();
    EXPECT_EQ(bank.PageCount(), 2u);
    EXPECT_NE(bank.CurrentPage(), page);
    EXPECT_EQ(wiring.cache.InUseBytes(), 2 * 65536u);
    bank.Free(next);
    for (void* element : elements) bank.Free(element);
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
    EXPECT_TRUE(bank.Validate());
}

TEST_F(BankTest, GetStatsZeroesEverythingButWordThree) {
    bank.Init(16, 0, false, "All.BankAlloc");
    void* element = bank.Alloc();
    IAllocator& holder = bank;
    MemStats stats;
    for (uint32_t i = 0; i < 10; ++i) stats.words[i] = 0xA0 + i;
    uint32_t words[5] = {1, 2, 3, 4, 5};
    holder.GetStats(&words[0], &stats, &words[1], &words[2], &words[3], &words[4]);
    for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(stats.words[i], i == 3 ? 0xA3u : 0u) << i;
    for (uint32_t word : words) EXPECT_EQ(word, 0u);
    EXPECT_EQ(bank.FreeSlotsOf(bank.CurrentPage()).freeCount, bank.ElementsPerPage() - 1);
    bank.Free(element);
}

TEST_F(BankTest, NullElementsAreIgnored) {
    bank.Init(16, 0, false, "All.BankAlloc");
    void* element = bank.Alloc();
    IAllocator& holder = bank;
    holder.Free(nullptr);
    bank.FreeIndexed(nullptr, 0);
    bank.FreeIndexed(nullptr, 7);
    EXPECT_EQ(bank.FreeSlotsOf(bank.CurrentPage()).freeCount, bank.ElementsPerPage() - 1);
    EXPECT_EQ(wiring.cache.InUseBytes(), 4096u);
    EXPECT_TRUE(bank.Validate());
    holder.Free(element);
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
}

TEST_F(BankTest, ReleaseLosesNoUpdateWhenRacingAddRef) {
    IAllocator& holder = bank;
    holder.Release();
    EXPECT_EQ(bank.RefCount(), -1) << "no test against zero";
    bank.AddRef();

    constexpr int Rounds = 20000;
    for (int i = 0; i < Rounds; ++i) bank.AddRef();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < Rounds; ++i) bank.AddRef();
        });
        threads.emplace_back([&] {
            for (int i = 0; i < Rounds; ++i) holder.Release();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(bank.RefCount(), Rounds);
}

// --- The bank against a reference: pages formatted eagerly, the ring walked in full. ---------

namespace {

// A bank exactly as the algorithm reads without shortcuts: every slot's word written when a page
// is formatted, and the whole ring walked for the fullest page with room. Pages are numbered in
// the order they are added; the test maps the real bank's page addresses onto those numbers.
class EagerBankModel {
public:
    explicit EagerBankModel(uint32_t perPage) : perPage_(perPage) {}

    struct Taken {
        int page;
        uint32_t slot;
        bool added;  // the page was added for this element
    };

    Taken Alloc() {
        bool added = false;
        if (ring_.empty()) {
            AddPage();
            added = true;
        } else if (pages_[ring_[current_]].freeCount == 0) {
            int pick = -1;
            for (size_t step = 1; step < ring_.size(); ++step) {
                const int page = ring_[(current_ + step) % ring_.size()];
                const uint32_t count = pages_[page].freeCount;
                if (count != 0 && (pick < 0 || count < pages_[pick].freeCount)) pick = page;
            }
            if (pick >= 0) {
                current_ = IndexOf(pick);
            } else {
                AddPage();
                added = true;
            }
        }
        Page& page = pages_[ring_[current_]];
        const uint32_t slot = page.firstFree;
        --page.freeCount;
        page.firstFree = page.words[slot] & 0xFFFF;
        page.words[slot] = slot;
        return {ring_[current_], slot, added};
    }

    // True when the page emptied and left the ring.
    bool Free(int pageNumber, uint32_t slot) {
        Page& page = pages_[pageNumber];
        page.words[slot] = page.firstFree;
        ++page.freeCount;
        page.firstFree = slot;
        if (page.freeCount != perPage_) return false;
        const size_t at = IndexOf(pageNumber);
        ring_.erase(ring_.begin() + at);
        // The current page moves on to the emptied page's successor only if it was current.
        if (at < current_ || (at == current_ && current_ == ring_.size())) {
            current_ = at < current_ ? current_ - 1 : 0;
        }
        return true;
    }

    size_t PageCount() const { return ring_.size(); }
    int CurrentPage() const { return ring_.empty() ? -1 : ring_[current_]; }
    int NextNumber() const { return int(pages_.size()); }

private:
    struct Page {
        std::vector<uint32_t> words;
        uint32_t freeCount;
        uint32_t firstFree;
    };

    void AddPage() {
        Page page{std::vector<uint32_t>(perPage_), perPage_, 0};
        for (uint32_t i = 0; i < perPage_; ++i) page.words[i] = i + 1;
        pages_.push_back(page);
        const int number = int(pages_.size() - 1);
        if (ring_.empty()) {
            ring_.push_back(number);
            current_ = 0;
        } else {
            ring_.insert(ring_.begin() + current_ + 1, number);
            ++current_;
        }
    }

    size_t IndexOf(int page) const {
        for (size_t i = 0; i < ring_.size(); ++i)
            if (ring_[i] == page) return i;
        ADD_FAILURE() << "page " << page << " not in the ring";
        return 0;
    }

    uint32_t perPage_;
    std::vector<Page> pages_;
    std::vector<int> ring_;  // page numbers in ring order
    size_t current_ = 0;
};

struct Shape {
    uint32_t elementSize;
    uint32_t blockClass;
};

class BankAgainstEagerModel : public ::testing::TestWithParam<Shape> {};

}  // namespace

// Seeded random walks that grow, churn and drain the live set, so that pages fill, go back to
// the cache and come again, and the current page keeps filling up with others half full. Every
// element must sit in the very page and slot the eager reference hands out.
TEST_P(BankAgainstEagerModel, HandsOutTheSameSlotsOfTheSamePages) {
    const Shape shape = GetParam();
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        PoolWiring wiring;
        Bank bank{wiring.cache};
        bank.Init(shape.elementSize, shape.blockClass, false, "All.BankAlloc");
        EagerBankModel model(bank.ElementsPerPage());
        std::map<BankPage*, int> numberOf;
        struct Live {
            void* element;
            int page;
            uint32_t slot;
        };
        std::vector<Live> live;
        std::mt19937 rng(seed);
        const uint32_t perPage = bank.ElementsPerPage();
        // At least dozens of pages, so that pages added one after another use up the room
        // between places, and more pages have a single free slot than the bank lists.
        const size_t target[] = {std::max<size_t>(perPage * 5 + 3, 60),
                                 std::max<size_t>(perPage / 2 + 1, 20),
                                 std::max<size_t>(perPage * 3, 40), 0};
        for (size_t phase = 0; phase < 4; ++phase) {
            for (int step = 0; step < 6000; ++step) {
                const bool grow = live.size() < target[phase] ? rng() % 4 != 0 : rng() % 4 == 0;
                if (grow || live.empty()) {
                    const EagerBankModel::Taken want = model.Alloc();
                    void* element = bank.Alloc();
                    ASSERT_NE(element, nullptr);
                    const uint32_t slot = HeaderWord::Read(element);
                    BankPage* page = BankPage::FromElement(element, slot, bank.Stride());
                    if (want.added) {
                        ASSERT_EQ(numberOf.count(page), 0u) << "a new page must not be in use";
                        numberOf[page] = want.page;
                    }
                    ASSERT_EQ(numberOf.count(page), 1u);
                    ASSERT_EQ(numberOf[page], want.page) << "seed " << seed << " step " << step;
                    ASSERT_EQ(slot, want.slot) << "seed " << seed << " step " << step;
                    live.push_back({element, want.page, slot});
                } else {
                    // Now and then a few elements of one page go together, so that pages with
                    // the same free count above one meet in a walk.
                    const size_t first = rng() % live.size();
                    const int chosenPage = live[first].page;
                    const int together = rng() % 3 == 0 ? 1 + int(rng() % 3) : 1;
                    for (int n = 0; n < together; ++n) {
                        size_t at = first;
                        if (n > 0) {
                            at = live.size();
                            for (size_t i = 0; i < live.size(); ++i)
                                if (live[i].page == chosenPage) at = i;
                            if (at == live.size()) break;
                        }
                        const Live gone = live[at];
                        live[at] = live.back();
                        live.pop_back();
                        BankPage* page =
                            BankPage::FromElement(gone.element, gone.slot, bank.Stride());
                        bank.Free(gone.element);
                        if (model.Free(gone.page, gone.slot)) numberOf.erase(page);
                        if (live.empty()) break;
                    }
                }
                ASSERT_EQ(bank.PageCount(), model.PageCount());
                if (model.CurrentPage() >= 0) {
                    ASSERT_EQ(numberOf[bank.CurrentPage()], model.CurrentPage());
                }
                if (step % 97 == 0) {
                    ASSERT_TRUE(bank.Validate());
                }
            }
        }
        for (const Live& gone : live) {
            bank.Free(gone.element);
            model.Free(gone.page, gone.slot);
        }
        ASSERT_TRUE(bank.Validate());
        EXPECT_EQ(model.PageCount(), 0u);
        EXPECT_EQ(bank.PageCount(), 0u);
        EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, BankAgainstEagerModel,
                         // Slot counts and strides on 32-bit targets, then on 64-bit ones.
                         ::testing::Values(Shape{48, 0},     // 72 slots of 56 bytes; 63 of 64
                                           Shape{4, 0},      // the smallest stride, 8; 16
                                           Shape{2000, 0},   // 2 slots a page
                                           Shape{4040, 0},   // 1 slot a page
                                           Shape{500, 2}));  // 32 slots of 504 bytes; 31 of 512

// A fresh page writes nothing past its header but the untouched index: slots are first written
// when they are handed out, so the pages of a small heap are not all resident at once.
TEST_F(BankTest, FreshPageIsWrittenOnlyWhereItIsUsed) {
    bank.Init(48, 0, false, "All.BankAlloc");
    void* block = wiring.cache.Get(0, nullptr);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xAB, 4096);
    wiring.cache.Release(0, block);  // the bank's first page is this block

    const uint32_t stride = uint32_t(Bank::StrideFor(48));
    char* first = static_cast<char*>(bank.Alloc());
    char* second = static_cast<char*>(bank.Alloc());
    ASSERT_EQ(reinterpret_cast<char*>(bank.CurrentPage()), static_cast<char*>(block));
    EXPECT_EQ(second - first, stride);
#if defined(QXMEMORY_ASAN) || defined(QXMEMORY_VALGRIND)
    GTEST_SKIP() << "the memory checker keeps untouched slots off limits";
#endif
    const unsigned char* bytes = static_cast<const unsigned char*>(block);
    // The header, the two slots handed out, and the word of the third, the first untouched one.
    const uint32_t written = FirstOffset - 4 + 2 * stride + 4;
    EXPECT_EQ(HeaderWord::Read(second + stride), 3u | BankPage::UntouchedMark);
    size_t untouched = 0;
    for (uint32_t i = written; i < 4096 - 4; ++i) untouched += bytes[i] == 0xAB;
    // Everything after that is as it was, up to the page's place in its last four bytes.
    EXPECT_EQ(untouched, 4096 - 4 - written);
    EXPECT_TRUE(bank.Validate());
    bank.Free(first);
    bank.Free(second);
}
