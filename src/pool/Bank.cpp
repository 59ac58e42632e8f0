#include "pool/Bank.h"

#include <vector>

#include "common/BlockClass.h"
#include "common/Check.h"
#include "common/HeaderWord.h"
#include "common/MemoryChecker.h"
#include "common/StatsRecord.h"
#include "pool/BlockCache.h"

namespace {

// The tag of the library's own page requests: two empty names and 0.
const AllocTag PageTag = {"", "", 0};

}  // namespace

void Bank::Init(uint32_t elementSize, uint32_t blockClass, bool shareable, const char*) {
    const uint64_t stride = StrideFor(elementSize);
    const uint32_t blockSize = BlockClassSize(int32_t(uint16_t(blockClass)));
    QX_ASSERT(stride + BankPage::FirstElementOffset <= blockSize);
    shareable_ = uint16_t(uint8_t(shareable));
    blockClass_ = uint16_t(blockClass);
    stride_ = uint32_t(stride);
    elementsPerPage_ = blockSize > BankPage::FirstElementOffset
                           ? uint32_t((blockSize - BankPage::FirstElementOffset) / stride)
                           : 0;
}

bool Bank::AddPage() {
    BankPage* page = static_cast<BankPage*>(cache_.Get(blockClass_, &PageTag));
    if (!page) return false;
    MemoryChecker::MarkBlockAsPage(page, BlockClassSize(blockClass_));
    const BankPage::FreeSlots slots = page->Format(elementsPerPage_, stride_);
    if (currentPage_) {
        page->prev = currentPage_;
        page->next = currentPage_->next;
        currentPage_->next->prev = page;
        currentPage_->next = page;
    } else {
        page->next = page->prev = page;
    }
    MakeCurrent(page, slots);
    ++ringPages_;
    Place(page);
    ++pagesWithRoom_;
    if (NearlyFull(elementsPerPage_)) FreeCountChanged(page, 0, elementsPerPage_);
    return true;
}

void Bank::Place(BankPage* page) {
    if (ringPages_ > MostPlacedPages) placesKept_ = false;
    // A page alone in the ring has nothing to be ordered against, so it gets its place only when
    // a second page joins it: a bank whose one page comes and goes never writes one.
    if (!placesKept_ || ringPages_ == 1) return;
    if (ringPages_ == 2) {
        PlaceOf(page->next) = 0;
        PlaceOf(page) = 0x80000000u;
        RereadListedPlaces();
        return;
    }
    // Halfway from the page before to the page after, going round past 2^32 if need be.
    const uint64_t low = PlaceOf(page->prev);
    uint64_t high = PlaceOf(page->next);
    if (high <= low) high += uint64_t(1) << 32;
    if (high - low >= 2) {
        PlaceOf(page) = uint32_t(low + (high - low) / 2);
        return;
    }
    // No room between them: number the ring afresh, evenly, from this page on.
    const uint32_t spacing = uint32_t((uint64_t(1) << 32) / ringPages_);
    uint32_t place = 0;
    BankPage* at = page;
    do {
        PlaceOf(at) = place;
        place += spacing;
        at = at->next;
    } while (at != page);
    RereadListedPlaces();
}

void Bank::MakeCurrent(BankPage* page, bool oldStays) {
    MakeCurrent(page, page ? page->slots : BankPage::FreeSlots{}, oldStays);
}

void Bank::MakeCurrent(BankPage* page, BankPage::FreeSlots slots, bool oldStays) {
    if (currentPage_ && oldStays) currentPage_->slots = currentSlots_;
    currentPage_ = page;
    currentSlots_ = slots;
}

void Bank::RereadListedPlaces() {
    for (uint32_t i = 0; i < listedCount_; ++i) listed_[i].place = PlaceOf(listed_[i].page);
}

// The functions of every small Alloc and Free are marked hot, here and in SmallMemAllocator and
// QXMemory: the compiler places them together, so that their layout, which moved the one-thread
// figures by up to a fifth, no longer shifts with every change to colder code.
[[gnu::hot]] void Bank::FreeCountChanged(BankPage* page, uint32_t from, uint32_t to) {
    uint32_t at = listedCount_;
    if (NearlyFull(from)) {
        --nearlyFull_[from];
        for (at = 0; at < listedCount_ && listed_[at].page != page; ++at) {
        }
        if (at < listedCount_) --listedFull_[from];
    }
    if (NearlyFull(to)) {
        ++nearlyFull_[to];
        if (at == listedCount_ && listedCount_ < MostListed && placesKept_)
            listed_[listedCount_++] = Listed{page, ringPages_ > 1 ? PlaceOf(page) : 0, 0};
        if (at < listedCount_) {
            listed_[at].freeCount = to;
            ++listedFull_[to];
        }
    } else if (at < listedCount_) {
        listed_[at] = listed_[--listedCount_];
    }
}

[[gnu::hot]] bool Bank::MoveToPageWithRoom() {
    // The current page is full, so every page counted as having room is another one.
    if (pagesWithRoom_ == 0) return AddPage();
#if defined(QXMEMORY_WALK_COUNTS)
    ++walks_.moves;
#endif
    // The fullest pages with room have the fewest free slots that any page has. When those are
    // nearly full and all listed, the first of them after the current page is the one with the
    // least distance in places.
    uint32_t fewest = 1;
    while (fewest <= NearlyFullSlots && nearlyFull_[fewest] == 0) ++fewest;
    if (fewest <= NearlyFullSlots && listedFull_[fewest] == nearlyFull_[fewest] && placesKept_) {
        const uint32_t from = PlaceOf(currentPage_);
        BankPage* pick = nullptr;
        uint32_t nearest = 0;
        for (uint32_t i = 0; i < listedCount_; ++i) {
            const uint32_t distance = listed_[i].place - from;
            if (listed_[i].freeCount == fewest && (!pick || distance < nearest)) {
                nearest = distance;
                pick = listed_[i].page;
            }
        }
#if defined(QXMEMORY_WALK_COUNTS)
        ++walks_.listedPicks;
#endif
        MakeCurrent(pick);
        return true;
    }
    // Otherwise walk: the fullest page with room, the first met winning a tie. The walk stops at
    // a page with one free slot and once it has met every page with room.
    BankPage* pick = nullptr;
    uint32_t met = 0;
#if defined(QXMEMORY_WALK_COUNTS)
    ++walks_.walks;
#endif
    for (BankPage* page = currentPage_->next;; page = page->next) {
#if defined(QXMEMORY_WALK_COUNTS)
        ++walks_.pagesVisited;
#endif
        // Every page met is another than the current one: their headers hold their free slots.
        if (page->slots.freeCount == 0) continue;
        if (!pick || page->slots.freeCount < pick->slots.freeCount) {
            pick = page;
            if (page->slots.freeCount == 1) break;
        }
        if (++met == pagesWithRoom_) break;
    }
    MakeCurrent(pick);
    return true;
}

[[gnu::hot]] void* Bank::Alloc() {
    ScopedLock hold(lock_);
#if defined(QXMEMORY_WALK_COUNTS)
    ++walks_.allocs;
#endif
    if (!currentPage_) {
        if (!AddPage()) return nullptr;
    } else if (currentSlots_.freeCount == 0 && !MoveToPageWithRoom()) {
        return nullptr;
    }
    BankPage* page = currentPage_;
    void* element = page->Take(currentSlots_, stride_, elementsPerPage_);
    const uint32_t left = currentSlots_.freeCount;
    if (left <= NearlyFullSlots) {
        if (left == 0) --pagesWithRoom_;
        FreeCountChanged(page, left + 1u, left);
    }
    return element;
}

void Bank::Free(void* element) {
    // Checked before the word is read: a second free finds it holding a free-chain index. The
    // small-object allocator makes the same check before it calls FreeIndexed.
    if (!element || MemoryChecker::ReportIfFreed(element, GetUsableSize())) return;
    FreeIndexed(element, HeaderWord::Read(element));
}

[[gnu::hot]] void Bank::FreeIndexed(void* element, uint32_t index) {
    if (!element) return;
    // The page is known from the element alone (the stride changes only before the bank is
    // shared): its header is on its way before the lock is taken, not fetched while it is held.
    BankPage* page = BankPage::FromElement(element, index, stride_);
    __builtin_prefetch(page, 1);
    ScopedLock hold(lock_);
    BankPage::FreeSlots& slots = SlotsOf(page);
    page->Put(slots, element, index, stride_);
    const uint32_t free = slots.freeCount;
    if (free <= NearlyFullSlots + 1) {
        if (free == 1) ++pagesWithRoom_;
        FreeCountChanged(page, free - 1u, free);
    }
    if (free == elementsPerPage_) ReturnPage(page);
}

void Bank::ReturnPage(BankPage* page) {
    // The page is empty: it leaves the ring and goes back to the cache at once.
    --pagesWithRoom_;
    if (NearlyFull(elementsPerPage_)) FreeCountChanged(page, elementsPerPage_, 0);
    if (--ringPages_ == 0) placesKept_ = true;
    if (page == currentPage_) MakeCurrent(page->next == page ? nullptr : page->next, false);
    page->next->prev = page->prev;
    page->prev->next = page->next;
    MemoryChecker::MarkPageAsBlock(page, BlockClassSize(blockClass_));
    cache_.Release(blockClass_, page);
}

void Bank::Release() { refCount_.fetch_sub(1, std::memory_order_acq_rel); }

void Bank::GetStats(uint32_t* first, MemStats* stats, uint32_t* second, uint32_t* third,
                    uint32_t* fourth, uint32_t* fifth) {
    *first = *second = *third = *fourth = *fifth = 0;
    ResetStats(stats);
}

BankPage::FreeSlots Bank::FreeSlotsOf(BankPage* page) {
    ScopedLock hold(lock_);
    return SlotsOf(page);
}

bool Bank::CanTakeShape(uint32_t stride, uint32_t blockClass) {
    ScopedLock hold(lock_);
    return !currentPage_ || (stride == stride_ && blockClass == blockClass_);
}

uint32_t Bank::PageCount() {
    ScopedLock hold(lock_);
    if (!currentPage_) return 0;
    uint32_t count = 1;
    for (BankPage* page = currentPage_->next; page != currentPage_; page = page->next) ++count;
    return count;
}

bool Bank::Validate() {
    ScopedLock hold(lock_);
    if (!currentPage_) {
        for (uint32_t count = 1; count <= NearlyFullSlots; ++count)
            if (nearlyFull_[count] != 0 || listedFull_[count] != 0) return false;
        return pagesWithRoom_ == 0 && listedCount_ == 0 && ringPages_ == 0;
    }
    const uint32_t blockSize = BlockClassSize(blockClass_);
    if (elementsPerPage_ == 0 ||
        BankPage::FirstElementOffset + uint64_t(elementsPerPage_) * stride_ > blockSize)
        return false;
    uint32_t pages = 0;
    uint32_t withRoom = 0;
    uint32_t nearlyFull[NearlyFullSlots + 1] = {};
    uint32_t descents = 0;  // places grow along the ring but at one point
    BankPage* page = currentPage_;
    do {
        if (page->next->prev != page || ++pages > (1u << 20)) return false;
        // Every page in the ring has at least one element allocated.
        const BankPage::FreeSlots slots = SlotsOf(page);
        if (slots.freeCount >= elementsPerPage_) return false;
        if (slots.freeCount != 0) ++withRoom;
        if (NearlyFull(slots.freeCount)) ++nearlyFull[slots.freeCount];
        if (placesKept_ && ringPages_ > 1 && PlaceOf(page->next) <= PlaceOf(page)) ++descents;
        // The chain visits each free slot once. Once it reaches the slot marked untouched, the
        // rest of it is every later slot in order, none of them written yet.
        std::vector<bool> seen(elementsPerPage_);
        uint32_t index = slots.firstFree;
        bool untouched = false;
        for (uint32_t n = 0; n < slots.freeCount; ++n) {
            if (index >= elementsPerPage_ || seen[index]) return false;
            seen[index] = true;
            if (!untouched) {
                const uint32_t word = page->SlotWord(index, stride_);
                untouched = (word & BankPage::UntouchedMark) != 0;
                if (untouched && (word & 0xFFFFu) != index + 1) return false;
                index = word & 0xFFFFu;
            } else {
                ++index;
            }
        }
        if (untouched && index != elementsPerPage_) return false;
        page = page->next;
    } while (page != currentPage_);
    if (withRoom != pagesWithRoom_ || pages != ringPages_) return false;
    if (placesKept_ && (pages > MostPlacedPages || (pages > 1 && descents != 1))) return false;
    // The listed pages are distinct nearly full pages of the ring, their places and free counts
    // as the pages hold them, and the counts by free count agree.
    uint32_t listedFull[NearlyFullSlots + 1] = {};
    if (listedCount_ > MostListed) return false;
    for (uint32_t i = 0; i < listedCount_; ++i) {
        BankPage* listed = listed_[i].page;
        const uint32_t listedFree = SlotsOf(listed).freeCount;
        if (!NearlyFull(listedFree) || listed_[i].freeCount != listedFree ||
            (ringPages_ > 1 && listed_[i].place != PlaceOf(listed)))
            return false;
        ++listedFull[listedFree];
        for (uint32_t j = 0; j < i; ++j)
            if (listed_[j].page == listed) return false;
        BankPage* at = currentPage_;
        while (at != listed)
            if ((at = at->next) == currentPage_) return false;
    }
    for (uint32_t count = 1; count <= NearlyFullSlots; ++count)
        if (nearlyFull[count] != nearlyFull_[count] || listedFull[count] != listedFull_[count])
            return false;
    return true;
}
