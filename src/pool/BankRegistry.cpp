#include "pool/BankRegistry.h"

#include <new>

#include "common/BlockClass.h"
#include "system/SystemHeap.h"

// A walker reaches a node's bank through the word right after the node's two links.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(BankSlot, owner) == offsetof(BankSlot, node) + sizeof(ListNode),
              "owner follows the node's links");
#pragma GCC diagnostic pop

namespace {

void SelfLink(ListNode& node) { node.prev = node.next = &node; }

void Append(ListNode& sentinel, ListNode* node) {
    node->prev = sentinel.prev;
    node->next = &sentinel;
    sentinel.prev->next = node;
    sentinel.prev = node;
}

// Unlinks every node, leaving each pointing to itself.
void UnlinkAll(ListNode& sentinel) {
    ListNode* node = sentinel.next;
    while (node != &sentinel) {
        ListNode* next = node->next;
        SelfLink(*node);
        node = next;
    }
    SelfLink(sentinel);
}

bool ValidateList(const ListNode& sentinel, uint32_t* count) {
    uint32_t n = 0;
    const ListNode* node = &sentinel;
    do {
        if (node->next->prev != node || ++n > (1u << 28)) return false;
        node = node->next;
    } while (node != &sentinel);
    *count = n - 1;
    return true;
}

}  // namespace

BankRegistry::BankRegistry(SystemHeap& system, BlockCache& cache) : system_(system), cache_(cache) {
    SelfLink(userList_);
    SelfLink(bankList_);
}

BankRegistry::~BankRegistry() {
    {
        ScopedLock hold(userListLock_);
        UnlinkAll(userList_);
    }
    ScopedLock hold(bankListLock_);
    UnlinkAll(bankList_);
}

int32_t BankRegistry::ChooseBlockClass(uint64_t stride, uint32_t elementCount) {
    // The need for one is taken wide, so that a stride near 4 GiB cannot wrap into a small need
    // and pass for a bank whose page holds no element.
    const uint64_t needForOne = stride + BankPage::FirstElementOffset;
    if (needForOne > LargestBlockSize) return -1;
    // The need for all only ranks the classes, in 32-bit arithmetic that wraps.
    const uint32_t needForAll = uint32_t(stride) * elementCount + BankPage::FirstElementOffset;
    int32_t choice = -1;
    uint32_t best = 0;
    for (int32_t sizeClass = 0; sizeClass < BlockClassCount; ++sizeClass) {
        const uint32_t size = BlockClassSize(sizeClass);
        if (size < needForOne) continue;
        const uint32_t distance = size > needForAll ? size - needForAll : needForAll - size;
        if (choice < 0 || distance < best) {
            choice = sizeClass;
            best = distance;
        }
    }
    return choice;
}

BankChunk* BankRegistry::AddChunk() {
    void* memory = system_.Alloc(sizeof(BankChunk));
    if (!memory) return nullptr;
    BankChunk* chunk = static_cast<BankChunk*>(memory);
    ScopedLock hold(bankListLock_);
    for (BankSlot& slot : chunk->slots) {
        new (&slot.bank) Bank(cache_);
        slot.owner = &slot.bank;
        Append(bankList_, &slot.node);
    }
    chunk->next = firstChunk_;
    firstChunk_ = chunk;
    return chunk;
}

IAllocator* BankRegistry::CreateBank(uint32_t elementSize, uint32_t elementCount, bool shareable) {
    ScopedLock hold(lock_);
    const uint64_t stride = Bank::StrideFor(elementSize);
    const int32_t blockClass = ChooseBlockClass(stride, elementCount);
    if (blockClass < 0) return nullptr;
    const uint32_t usableSize = uint32_t(stride) - 4;

    Bank* candidate = nullptr;
    for (BankChunk* chunk = firstChunk_; chunk && !candidate; chunk = chunk->next) {
        for (BankSlot& slot : chunk->slots) {
            Bank& bank = slot.bank;
            if (shareable && bank.IsShareable() && bank.GetUsableSize() == usableSize &&
                bank.GetBlockClass() == uint32_t(blockClass)) {
                bank.AddRef();
                return &bank;
            }
            // A free slot still holding pages of another shape (its last holder released it
            // with elements outstanding) is passed over: set up again, it would hand out
            // elements from pages formatted for the old stride.
            if (bank.RefCount() == 0 && bank.CanTakeShape(uint32_t(stride), blockClass)) {
                candidate = &bank;
                break;
            }
        }
    }
    if (!candidate) {
        BankChunk* chunk = AddChunk();
        if (!chunk) return nullptr;
        candidate = &chunk->slots[0].bank;
    }
    candidate->AddRef();
    candidate->Init(elementSize, uint32_t(blockClass), shareable, "All.BankAlloc");
    return candidate;
}

void BankRegistry::LinkUserNode(ListNode* node) {
    ScopedLock hold(userListLock_);
    Append(userList_, node);
}

void BankRegistry::UnlinkUserNode(ListNode* node) {
    ScopedLock hold(userListLock_);
    node->prev->next = node->next;
    node->next->prev = node->prev;
    SelfLink(*node);
}

void BankRegistry::LockUserList(ListNode** first, ListNode** end) {
    userListLock_.Lock();
    *first = userList_.next;
    *end = &userList_;
}

void BankRegistry::UnlockUserList() { userListLock_.Unlock(); }

void BankRegistry::LockBankList(ListNode** first, ListNode** end) {
    bankListLock_.Lock();
    *first = bankList_.next;
    *end = &bankList_;
}

void BankRegistry::UnlockBankList() { bankListLock_.Unlock(); }

bool BankRegistry::Validate() {
    uint32_t users = 0, banks = 0, chunks = 0;
    {
        ScopedLock hold(userListLock_);
        if (!ValidateList(userList_, &users)) return false;
    }
    ScopedLock registry(lock_);
    for (BankChunk* chunk = firstChunk_; chunk; chunk = chunk->next) {
        ++chunks;
        for (BankSlot& slot : chunk->slots) {
            if (slot.owner != &slot.bank) return false;
        }
    }
    ScopedLock hold(bankListLock_);
    return ValidateList(bankList_, &banks) && banks == chunks * BankChunk::SlotCount;
}
