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
    untouchedOffset_ = BankPage::UntouchedOffset(blockSize);
}

bool Bank::AddPage() {
    BankPage* page = static_cast<BankPage*>(cache_.Get(blockClass_, &PageTag));
    if (!page) return false;
    MemoryChecker::MarkBlockAsPage(page, BlockClassSize(blockClass_));
    page->Format(elementsPerPage_, stride_, untouchedOffset_);
    if (currentPage_) {
        page->prev = currentPage_;
        page->next = currentPage_->next;
        currentPage_->next->prev = page;
        currentPage_->next = page;
    } else {
        page->next = page->prev = page;
    }
    currentPage_ = page;
    ++pagesWithRoom_;
    return true;
}

bool Bank::MoveToPageWithRoom() {
    // The current page is full, so every page counted as having room is another one.
    if (pagesWithRoom_ == 0) return AddPage();
    // The fullest page with room; the first met wins a tie. The walk stops at a page with one
    // free slot, which cannot be beaten, and once it has met every page with room.
    BankPage* pick = nullptr;
    uint32_t met = 0;
#if defined(QXMEMORY_WALK_COUNTS)
    ++walks_.walks;
#endif
    for (BankPage* page = currentPage_->next;; page = page->next) {
#if defined(QXMEMORY_WALK_COUNTS)
        ++walks_.pagesVisited;
#endif
        if (page->freeCount == 0) continue;
        if (!pick || page->freeCount < pick->freeCount) {
            pick = page;
            if (page->freeCount == 1) break;
        }
        if (++met == pagesWithRoom_) break;
    }
    currentPage_ = pick;
    return true;
}

void* Bank::Alloc() {
    ScopedLock hold(lock_);
#if defined(QXMEMORY_WALK_COUNTS)
    ++walks_.allocs;
#endif
    if (!currentPage_) {
        if (!AddPage()) return nullptr;
    } else if (currentPage_->freeCount == 0 && !MoveToPageWithRoom()) {
        return nullptr;
    }
    void* element = currentPage_->Take(stride_, untouchedOffset_);
    if (currentPage_->freeCount == 0) --pagesWithRoom_;
    return element;
}

void Bank::Free(void* element) {
    // Checked before the word is read: a second free finds it holding a free-chain index. The
    // small-object allocator makes the same check before it calls FreeIndexed.
    if (!element || MemoryChecker::ReportIfFreed(element, GetUsableSize())) return;
    FreeIndexed(element, HeaderWord::Read(element));
}

void Bank::FreeIndexed(void* element, uint32_t index) {
    if (!element) return;
    ScopedLock hold(lock_);
    BankPage* page = BankPage::FromElement(element, index, stride_);
    page->Put(index, stride_);
    if (page->freeCount == 1) ++pagesWithRoom_;
    if (page->freeCount == elementsPerPage_) ReturnPage(page);
}

void Bank::ReturnPage(BankPage* page) {
    // The page is empty: it leaves the ring and goes back to the cache at once.
    --pagesWithRoom_;
    if (page == currentPage_) currentPage_ = page->next == page ? nullptr : page->next;
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
    if (!currentPage_) return pagesWithRoom_ == 0;
    const uint32_t blockSize = BlockClassSize(blockClass_);
    if (elementsPerPage_ == 0 ||
        BankPage::FirstElementOffset + uint64_t(elementsPerPage_) * stride_ > blockSize ||
        untouchedOffset_ != BankPage::UntouchedOffset(blockSize))
        return false;
    uint32_t pages = 0;
    uint32_t withRoom = 0;
    BankPage* page = currentPage_;
    do {
        if (page->next->prev != page || ++pages > (1u << 20)) return false;
        // Every page in the ring has at least one element allocated.
        if (page->freeCount >= elementsPerPage_) return false;
        if (page->freeCount != 0) ++withRoom;
        // The untouched slots are free and end the chain in order, so they cannot outnumber the
        // free slots; the chain visits each free slot once.
        const uint32_t untouched = page->Untouched(untouchedOffset_);
        if (untouched > elementsPerPage_ || elementsPerPage_ - untouched > page->freeCount)
            return false;
        std::vector<bool> seen(elementsPerPage_);
        uint32_t index = page->firstFree;
        for (uint32_t n = 0; n < page->freeCount; ++n) {
            if (index >= elementsPerPage_ || seen[index]) return false;
            seen[index] = true;
            index = page->NextFree(index, stride_, untouchedOffset_);
        }
        page = page->next;
    } while (page != currentPage_);
    return withRoom == pagesWithRoom_;
}
