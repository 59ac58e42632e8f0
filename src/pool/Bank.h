// Bank - a pool of equal-sized elements cut from page blocks of one size class.
//
// Pages come from the block cache and go back the moment their last element is freed. The pages
// holding allocated elements form a ring; the bank allocates from its current page and, when that
// is full, moves to the fullest page that still has room before it adds a new page. Every
// element is preceded by a kind-0 header word holding its slot index, so freeing needs nothing
// but the pointer.
//
// The bank counts the pages of its ring that have room, so a full ring adds a page at once and a
// search for the fullest page stops once it has met all of them. It also counts the nearly full
// pages (one or two free slots, the fullest that can have room) and lists up to a few of them,
// and each page keeps its place in the ring (a number that grows along the ring but at one
// point) in its last four bytes. While every page with the fewest free slots is listed, the one
// that comes first after the current page is found from the list, without walking the ring.
#pragma once

#include <stdint.h>
#include <atomic>

#include "IQXMemory.h"
#include "common/BlockClass.h"
#include "common/DefaultAlignment.h"
#include "pool/BankPage.h"

class BlockCache;

class Bank final : public IAllocator {
public:
    // Not explicit, so that an array of banks can be initialised from one cache.
    Bank(BlockCache& cache) : cache_(cache) {}
    Bank(const Bank&) = delete;
    Bank& operator=(const Bank&) = delete;

    // Bytes per slot for an element size: size plus the header word, rounded up to the default
    // alignment (8 on 32-bit targets, 16 on 64-bit ones), so that every element keeps it.
    // Computed wide so that sizes near 4 GiB cannot wrap to a small stride.
    static constexpr uint64_t StrideFor(uint32_t elementSize) {
        return (uint64_t(elementSize) + 4 + DefaultAlignment - 1) & ~uint64_t(DefaultAlignment - 1);
    }

    // Sets the shape: shareable flag, block class, stride and elements per page. The ring, the
    // current page and the count are left as they are. The category name is not kept. Called
    // before the bank is shared, with a class of 0 to 4 whose page holds at least one element.
    void Init(uint32_t elementSize, uint32_t blockClass, bool shareable, const char* category);

#if defined(QXMEMORY_DESTRUCTOR_SLOT)
    // Where a Microsoft-ABI host's delete lands. Banks live in the registry's slots and are given
    // back with Release, so nothing is freed or destroyed and the bank stays usable.
    void* QXMEMORY_CALL ScalarDeletingDestructor(unsigned int) override { return this; }
#endif

    void* Alloc() override;
    void Free(void* element) override;
    // Lowers the count atomically, so a release racing CreateBank loses no update.
    void Release() override;
    void GetStats(uint32_t* first, MemStats* stats, uint32_t* second, uint32_t* third,
                  uint32_t* fourth, uint32_t* fifth) override;

    // Returns the element in slot index of its page. Null does nothing.
    void FreeIndexed(void* element, uint32_t index);

    uint32_t GetUsableSize() const { return stride_ - 4; }
    uint32_t GetBlockClass() const { return blockClass_; }
    bool IsShareable() const { return shareable_ != 0; }
    // The bank's lock, for holding every lock of the library across fork().
    CriticalSectionLock& GetLock() { return lock_; }

    // Holders, raised by the registry under its lock and lowered by Release.
    int32_t RefCount() const { return refCount_.load(std::memory_order_acquire); }
    void AddRef() { refCount_.fetch_add(1, std::memory_order_acq_rel); }

    // True when Init with this stride and class cannot leave elements handed out from pages of
    // another shape: the bank holds no page, or its pages already have that shape. Takes the
    // bank's lock; the registry calls it under its own (registry, then bank: nothing takes
    // them the other way round).
    bool CanTakeShape(uint32_t stride, uint32_t blockClass);

    // How often Alloc found its current page full and walked the ring, and the pages it visited.
    // Counted only in builds that define QXMEMORY_WALK_COUNTS (a benchmark's).
    struct WalkCounts {
        uint64_t allocs = 0;
        uint64_t moves = 0;         // the current page was full and another had room
        uint64_t listedPicks = 0;   // moves decided from the list of nearly full pages
        uint64_t walks = 0;         // moves that walked the ring
        uint64_t pagesVisited = 0;  // pages those walks visited
    };
    WalkCounts Walks() const;

    // Observers for tests and checks.
    uint32_t Stride() const { return stride_; }
    // A page's free slots as the bank holds them (for its current page, in the bank itself).
    BankPage::FreeSlots FreeSlotsOf(BankPage* page);
    uint32_t ElementsPerPage() const { return elementsPerPage_; }
    BankPage* CurrentPage() const { return currentPage_; }
    uint32_t PageCount();
    // Checks the ring and every page's free count and free chain.
    bool Validate();

private:
    // Makes current the fullest page of the ring with room (the first met, walking on from the
    // current page, among equals), or adds a page when none has room. False when a page was
    // needed and the cache had none. Lock held; the current page is full or absent.
    // Kept out of line, like AddPage and ReturnPage: Alloc and FreeIndexed stay small where the
    // current page serves them.
    [[gnu::noinline]] bool MoveToPageWithRoom();
    // Takes a block from the cache, formats it and makes it current. Lock held.
    [[gnu::noinline]] bool AddPage();
    // Takes an emptied page out of the ring and gives it back to the cache. Lock held.
    [[gnu::noinline]] void ReturnPage(BankPage* page);

    // A page's free count went from `from` to `to`, one of them nearly full (to 0 also when the
    // page leaves the ring). Lock held.
    [[gnu::noinline]] void FreeCountChanged(BankPage* page, uint32_t from, uint32_t to);
    static bool NearlyFull(uint32_t freeCount) { return freeCount - 1 < NearlyFullSlots; }
    // Gives a page just linked into the ring a place between its neighbours', numbering the
    // ring afresh when they leave no room. Lock held.
    void Place(BankPage* page);
    // After pages were given places: the listed pages' copies of theirs. Lock held.
    void RereadListedPlaces();
    uint32_t& PlaceOf(BankPage* page) {
        return page->Place(BankPage::PlaceOffset(BlockClassSize(blockClass_)));
    }

    // The free slots of a page of the ring: the bank's own copy for its current page. Lock held.
    // Chosen without a branch: whether a free lands on the current page is a coin toss the
    // predictor cannot learn.
    BankPage::FreeSlots& SlotsOf(BankPage* page) {
        const uintptr_t mine = reinterpret_cast<uintptr_t>(&currentSlots_);
        const uintptr_t its = reinterpret_cast<uintptr_t>(&page->slots);
        const uintptr_t current = uintptr_t(0) - uintptr_t(page == currentPage_);
        return *reinterpret_cast<BankPage::FreeSlots*>((mine & current) | (its & ~current));
    }
    // Makes page current (null for none), the bank taking over its free slots, after writing the
    // old current page's back into its header unless that page is leaving the bank. Lock held.
    void MakeCurrent(BankPage* page, bool oldStays = true);
    // The same for a page whose free slots are given, not read from its header (a fresh one).
    void MakeCurrent(BankPage* page, BankPage::FreeSlots slots, bool oldStays = true);

    // Places are kept while the ring has at most this many pages, so that numbering it afresh
    // leaves plenty of room between neighbours.
    static constexpr uint32_t MostPlacedPages = 1u << 24;
    // Pages with at most this many free slots (and at least one) are nearly full.
    static constexpr uint32_t NearlyFullSlots = 2;
    static constexpr uint32_t MostListed = 16;

    // The fields a small Alloc and Free use come first, together with the lock.
    CriticalSectionLock lock_;
    BankPage* currentPage_ = nullptr;        // null exactly when the bank holds no page
    BankPage::FreeSlots currentSlots_ = {};  // the current page's; its header's copy is stale
    uint32_t stride_ = 0;
    uint32_t elementsPerPage_ = 0;
    uint32_t pagesWithRoom_ = 0;  // pages of the ring whose free count is not 0
    uint32_t ringPages_ = 0;      // pages in the ring
    bool placesKept_ = true;      // every page of the ring has a place
    // By free count 1 to NearlyFullSlots (index 0 unused): the nearly full pages of the ring, and
    // how many of them are listed.
    uint32_t nearlyFull_[NearlyFullSlots + 1] = {};
    uint32_t listedFull_[NearlyFullSlots + 1] = {};
    // Listed nearly full pages, each with its place, read when it was listed, and free count.
    struct Listed {
        BankPage* page;
        uint32_t place;
        uint32_t freeCount;
    };
    uint32_t listedCount_ = 0;
    Listed listed_[MostListed] = {};
    uint16_t shareable_ = 0;
    uint16_t blockClass_ = 0;
    std::atomic<int32_t> refCount_{0};
    BlockCache& cache_;
#if defined(QXMEMORY_WALK_COUNTS)
    WalkCounts walks_;
#endif
};

#if defined(QXMEMORY_WALK_COUNTS)
inline Bank::WalkCounts Bank::Walks() const { return walks_; }
#else
inline Bank::WalkCounts Bank::Walks() const { return {}; }
#endif
