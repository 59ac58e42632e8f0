// BankRegistry - creates banks for hosts, shares them between callers that ask for the same
// shape, and keeps two intrusive lists: the user list (nodes hosts link in themselves) and the
// list of every bank slot ever made.
//
// Banks live in slots of chunks taken from the system heap, 256 to a chunk; chunks and slots are
// never freed. A slot whose count has dropped to 0 is free and is set up again by a later
// CreateBank. The scan looks at the newest chunk first and, within a chunk, at slot 0 first;
// it shares the first matching shareable bank it meets and stops at the first free slot.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "IQXMemory.h"
#include "pool/Bank.h"

class BlockCache;
class SystemHeap;

struct BankSlot {
    Bank bank;
    ListNode node;  // in the all-banks list
    Bank* owner;    // the word right after the node's links: how a list walker finds the bank
};

struct BankChunk {
    static constexpr uint32_t SlotCount = 256;
    BankChunk* next;  // the next older chunk
    BankSlot slots[SlotCount];
};

class BankRegistry {
public:
    BankRegistry(SystemHeap& system, BlockCache& cache);
    // Unlinks every node of both lists; chunks, banks and their pages stay with the process.
    ~BankRegistry();
    BankRegistry(const BankRegistry&) = delete;
    BankRegistry& operator=(const BankRegistry&) = delete;

    // A bank whose elements hold elementSize bytes, with the block class whose size is closest
    // to what elementCount elements need. Null when no class holds one element (or the stride
    // would pass 4 GiB) and when no chunk can be had; nothing changes then.
    IAllocator* CreateBank(uint32_t elementSize, uint32_t elementCount, bool shareable);

    void LinkUserNode(ListNode* node);
    void UnlinkUserNode(ListNode* node);
    // Leave the list's lock held until the matching unlock on the same thread.
    void LockUserList(ListNode** first, ListNode** end);
    void UnlockUserList();
    void LockBankList(ListNode** first, ListNode** end);
    void UnlockBankList();

    // Calls visit(CriticalSectionLock&) for the registry's locks and those of the banks in its
    // chunks, in the order they nest: the user list (a host may hold it across any call), the
    // registry, the bank list (a new chunk's banks are linked under the registry's lock), then
    // the banks, newest chunk first (CreateBank checks them under the registry's lock; a host
    // may allocate while it holds the bank list). With banksFirst, the banks and then those
    // three in reverse. The chunk list grows only under the registry's lock: the walk sees the
    // same banks while the caller holds that lock, or when nobody else uses the registry.
    template <typename Visit>
    void ForEachLock(Visit visit, bool banksFirst) {
        if (!banksFirst) {
            visit(userListLock_);
            visit(lock_);
            visit(bankListLock_);
        }
        for (BankChunk* chunk = firstChunk_; chunk; chunk = chunk->next) {
            for (BankSlot& slot : chunk->slots) visit(slot.bank.GetLock());
        }
        if (banksFirst) {
            visit(bankListLock_);
            visit(lock_);
            visit(userListLock_);
        }
    }

    // The class for a shape, or -1 when no class holds one element. Exposed for tests.
    static int32_t ChooseBlockClass(uint64_t stride, uint32_t elementCount);
    // Checks both lists' links and that the bank list holds every slot of every chunk.
    bool Validate();

private:
    BankChunk* AddChunk();  // registry lock held

    SystemHeap& system_;
    BlockCache& cache_;
    CriticalSectionLock lock_;
    BankChunk* firstChunk_ = nullptr;  // newest first
    CriticalSectionLock userListLock_;
    ListNode userList_;
    CriticalSectionLock bankListLock_;
    ListNode bankList_;
};
