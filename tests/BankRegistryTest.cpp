// The bank registry over a private system heap and block cache: which class a shape gets, which
// slot a request lands in, when banks are shared, and the two lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "common/HeaderWord.h"
#include "pool/BankRegistry.h"
#include "support/PoolWiring.h"

namespace {

constexpr uint32_t FirstOffset = BankPage::FirstElementOffset;

Bank* AsBank(IAllocator* holder) { return static_cast<Bank*>(holder); }

// The bank a node of the all-banks list belongs to: the word right after its two links.
Bank* OwnerOf(ListNode* node) {
    Bank* owner;
    std::memcpy(&owner, reinterpret_cast<char*>(node) + sizeof(ListNode), sizeof owner);
    return owner;
}

class BankRegistryTest : public ::testing::Test {
protected:
    // The bank of every slot, oldest chunk first and slot 0 first within a chunk.
    std::vector<Bank*> SlotBanks() {
        ListNode* first;
        ListNode* end;
        registry.LockBankList(&first, &end);
        std::vector<Bank*> banks;
        for (ListNode* node = first; node != end; node = node->next) banks.push_back(OwnerOf(node));
        registry.UnlockBankList();
        return banks;
    }
    // A bank's position in that order: 256 per older chunk, plus its slot.
    size_t SlotOf(IAllocator* holder) {
        const std::vector<Bank*> banks = SlotBanks();
        return size_t(std::find(banks.begin(), banks.end(), AsBank(holder)) - banks.begin());
    }
    std::vector<ListNode*> UserNodes() {
        ListNode* first;
        ListNode* end;
        registry.LockUserList(&first, &end);
        std::vector<ListNode*> nodes;
        for (ListNode* node = first; node != end; node = node->next) nodes.push_back(node);
        registry.UnlockUserList();
        return nodes;
    }

    PoolWiring wiring;
    BankRegistry registry{wiring.system, wiring.cache};
};

}  // namespace

TEST_F(BankRegistryTest, ClassIsTheNearestBlockSizeThatHoldsOneElement) {
    EXPECT_EQ(BankRegistry::ChooseBlockClass(24, 100), 0);
    EXPECT_EQ(BankRegistry::ChooseBlockClass(24, 300), 1);
    // The need for all lands exactly between 4096 and 8192: the smaller class wins the tie.
    const uint32_t smallest = uint32_t(Bank::StrideFor(0));
    const uint32_t tieCount = (6144 - FirstOffset) / smallest;
    ASSERT_EQ(smallest * tieCount + FirstOffset, 6144u);
    EXPECT_EQ(BankRegistry::ChooseBlockClass(smallest, tieCount), 0);
    EXPECT_EQ(BankRegistry::ChooseBlockClass(smallest, tieCount + 1), 1);
    EXPECT_EQ(BankRegistry::ChooseBlockClass(24, 1u << 20), 4);
    // A class too small for one element is never chosen, however near its size.
    EXPECT_EQ(BankRegistry::ChooseBlockClass(4096 - FirstOffset + DefaultAlignment, 1), 1);
    for (uint64_t stride : {8ull, 4096ull - FirstOffset, 4104ull, 65536ull - FirstOffset}) {
        SCOPED_TRACE(stride);
        EXPECT_EQ(BankRegistry::ChooseBlockClass(stride, 0),
                  BankRegistry::ChooseBlockClass(stride, 1));
    }
    EXPECT_EQ(BankRegistry::ChooseBlockClass(65536 - FirstOffset, 7), 4);
    EXPECT_EQ(BankRegistry::ChooseBlockClass(65536 - FirstOffset + DefaultAlignment, 1), -1);
#if UINTPTR_MAX == 0xFFFFFFFFu
    EXPECT_EQ(BankRegistry::ChooseBlockClass(8, 766), 0);
    EXPECT_EQ(BankRegistry::ChooseBlockClass(65520, 1), 4);
#endif

    // The same through CreateBank, with the count the bank is set up from.
    struct Request {
        uint32_t size;
        uint32_t count;
        uint32_t sizeClass;
    };
    const Request requests[] = {{16, 100, 0}, {16, 300, 1}, {4, tieCount, 0}, {16, 0, 0},
                                {16, 1, 0},   {5000, 3, 2}, {5000, 0, 1}};
    for (const Request& request : requests) {
        SCOPED_TRACE(testing::Message() << request.size << " x " << request.count);
        IAllocator* holder = registry.CreateBank(request.size, request.count, false);
        ASSERT_NE(holder, nullptr);
        EXPECT_EQ(AsBank(holder)->GetBlockClass(), request.sizeClass);
        EXPECT_EQ(AsBank(holder)->RefCount(), 1);
        EXPECT_GE(AsBank(holder)->ElementsPerPage(), 1u);
    }
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, LargestElementFillsOneLargestPage) {
    const uint32_t largest = 65536 - FirstOffset - 4;
#if UINTPTR_MAX == 0xFFFFFFFFu
    EXPECT_EQ(largest, 65536u - 20);
#endif
    IAllocator* holder = registry.CreateBank(largest, 1, false);
    ASSERT_NE(holder, nullptr);
    Bank* bank = AsBank(holder);
    EXPECT_EQ(bank->GetBlockClass(), 4u);
    EXPECT_EQ(bank->Stride(), 65536u - FirstOffset);
    EXPECT_EQ(bank->ElementsPerPage(), 1u);

    char* element = static_cast<char*>(holder->Alloc());
    ASSERT_NE(element, nullptr);
    std::memset(element, 0x77, largest);
    EXPECT_EQ(element - reinterpret_cast<char*>(bank->CurrentPage()), ptrdiff_t(FirstOffset));
    void* second = holder->Alloc();
    EXPECT_EQ(bank->PageCount(), 2u);
    holder->Free(second);
    holder->Free(element);
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);

    const unsigned calls = wiring.runtime.Calls();
    EXPECT_EQ(registry.CreateBank(largest + 1, 1, false), nullptr);
    EXPECT_EQ(registry.CreateBank(largest + 1, 0, true), nullptr);
    EXPECT_EQ(wiring.runtime.Calls(), calls);
    EXPECT_EQ(SlotOf(registry.CreateBank(8, 1, false)), 1u) << "the refusals took no slot";
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, SizesWhoseStrideWouldWrapAreRefused) {
    for (uint32_t size :
         {0xFFFFFFF5u, 0xFFFFFFF8u, 0xFFFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFECu, 0x80000000u, 0x10000u}) {
        SCOPED_TRACE(size);
        for (uint32_t count : {0u, 1u, 100u}) {
            EXPECT_EQ(registry.CreateBank(size, count, false), nullptr);
            EXPECT_EQ(registry.CreateBank(size, count, true), nullptr);
        }
    }
    EXPECT_EQ(wiring.runtime.Calls(), 0u) << "not even a chunk";
    EXPECT_TRUE(SlotBanks().empty());
    IAllocator* holder = registry.CreateBank(16, 10, false);
    EXPECT_EQ(SlotOf(holder), 0u);
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, ShareableRequestsOfOneShapeShareOneBank) {
    IAllocator* first = registry.CreateBank(32, 50, true);
    IAllocator* second = registry.CreateBank(32, 50, true);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(second, first);
    EXPECT_EQ(SlotOf(first), 0u);
    EXPECT_EQ(AsBank(first)->RefCount(), 2);

    // Sizes with the same stride share; the bank keeps the shape that set it up.
    EXPECT_EQ(registry.CreateBank(29, 50, true), first);
    EXPECT_EQ(AsBank(first)->Stride(), Bank::StrideFor(32));
    EXPECT_EQ(AsBank(first)->RefCount(), 3);

    // A different class, a caller that will not share, or a different stride: a new slot.
    IAllocator* otherClass = registry.CreateBank(32, 1000, true);
    IAllocator* unwilling = registry.CreateBank(32, 50, false);
    IAllocator* otherStride = registry.CreateBank(48, 50, true);
    EXPECT_EQ(SlotOf(otherClass), 1u);
    EXPECT_EQ(SlotOf(unwilling), 2u);
    EXPECT_EQ(SlotOf(otherStride), 3u);
    // Nor is a bank set up unshareable given to a caller that would share.
    IAllocator* closed = registry.CreateBank(64, 50, false);
    EXPECT_EQ(SlotOf(closed), 4u);
    EXPECT_EQ(SlotOf(registry.CreateBank(64, 50, true)), 5u);
    EXPECT_EQ(AsBank(closed)->RefCount(), 1);
    EXPECT_EQ(AsBank(unwilling)->RefCount(), 1);
    EXPECT_EQ(AsBank(first)->RefCount(), 3);
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, UnshareableRequestsTakeSlotsInOrder) {
    IAllocator* first = registry.CreateBank(32, 50, false);
    IAllocator* second = registry.CreateBank(32, 50, false);
    EXPECT_NE(first, second);
    EXPECT_EQ(SlotOf(first), 0u);
    EXPECT_EQ(SlotOf(second), 1u);
    EXPECT_EQ(AsBank(first)->RefCount(), 1);
    EXPECT_EQ(AsBank(second)->RefCount(), 1);
    EXPECT_FALSE(AsBank(first)->IsShareable());

    // A released slot is the lowest free one and is set up afresh with the new shape.
    first->Release();
    IAllocator* third = registry.CreateBank(100, 3, true);
    EXPECT_EQ(third, first);
    EXPECT_EQ(AsBank(third)->Stride(), Bank::StrideFor(100));
    EXPECT_TRUE(AsBank(third)->IsShareable());
    EXPECT_EQ(AsBank(third)->RefCount(), 1);
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, SharingIsFoundOnlyBeforeTheFirstFreeSlot) {
    IAllocator* early = registry.CreateBank(32, 50, false);
    IAllocator* shared = registry.CreateBank(64, 50, true);
    ASSERT_EQ(SlotOf(shared), 1u);
    early->Release();

    IAllocator* holder = registry.CreateBank(64, 50, true);
    EXPECT_EQ(holder, early) << "slot 0 is free and comes first";
    EXPECT_NE(holder, shared);
    EXPECT_EQ(AsBank(holder)->Stride(), Bank::StrideFor(64));
    EXPECT_EQ(AsBank(shared)->RefCount(), 1);
    // With slot 0 held again, the next such request reaches the first match.
    EXPECT_EQ(registry.CreateBank(64, 50, true), early);
    EXPECT_EQ(AsBank(early)->RefCount(), 2);
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, ReleasedShareableBankIsTakenUpAgainWithItsPages) {
    IAllocator* holder = registry.CreateBank(32, 50, true);
    void* element = holder->Alloc();
    BankPage* page = AsBank(holder)->CurrentPage();
    holder->Release();
    EXPECT_EQ(AsBank(holder)->RefCount(), 0);

    IAllocator* again = registry.CreateBank(32, 50, true);
    EXPECT_EQ(again, holder);
    EXPECT_EQ(AsBank(again)->RefCount(), 1);
    EXPECT_EQ(AsBank(again)->CurrentPage(), page);
    void* next = again->Alloc();
    EXPECT_EQ(HeaderWord::Read(next), 1u) << "slot 0 is still out";
    again->Free(next);
    again->Free(element);
    again->Release();

    // Emptied and released, it is the first free slot for any shape.
    IAllocator* other = registry.CreateBank(200, 50, false);
    EXPECT_EQ(other, holder);
    EXPECT_EQ(AsBank(other)->Stride(), 208u);
    EXPECT_FALSE(AsBank(other)->IsShareable());
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, FreeSlotStillHoldingPagesOfAnotherShapeIsPassedOver) {
    IAllocator* old = registry.CreateBank(32, 50, false);
    char* kept1 = static_cast<char*>(old->Alloc());
    char* kept2 = static_cast<char*>(old->Alloc());
    std::memset(kept1, 0x11, 32);
    std::memset(kept2, 0x22, 32);
    BankPage* oldPage = AsBank(old)->CurrentPage();
    old->Release();  // against the rules: two elements are still out

    IAllocator* wider = registry.CreateBank(64, 50, false);
    IAllocator* larger = registry.CreateBank(32, 1000, false);  // same stride, larger class
    ASSERT_NE(wider, nullptr);
    ASSERT_NE(larger, nullptr);
    EXPECT_EQ(SlotOf(wider), 1u);
    EXPECT_EQ(SlotOf(larger), 2u);
    void* fresh = wider->Alloc();
    void* freshToo = larger->Alloc();
    EXPECT_NE(AsBank(wider)->CurrentPage(), oldPage);
    EXPECT_NE(AsBank(larger)->CurrentPage(), oldPage);

    // The old holder's elements kept their shape and still go back correctly.
    EXPECT_EQ(AsBank(old)->Stride(), Bank::StrideFor(32));
    EXPECT_EQ(AsBank(old)->GetBlockClass(), 0u);
    EXPECT_EQ(HeaderWord::Read(kept2), 1u);
    for (int i = 0; i < 32; ++i) ASSERT_EQ(kept1[i], 0x11);
    for (int i = 0; i < 32; ++i) ASSERT_EQ(kept2[i], 0x22);
    const uint32_t inUse = wiring.cache.InUseBytes();
    old->Free(kept1);
    old->Free(kept2);
    EXPECT_EQ(AsBank(old)->CurrentPage(), nullptr);
    EXPECT_EQ(wiring.cache.InUseBytes(), inUse - 4096) << "a class-0 page went back as such";
    EXPECT_TRUE(AsBank(old)->Validate());

    // Holding no page now, the slot is the first free one again.
    EXPECT_EQ(registry.CreateBank(128, 50, false), old);
    EXPECT_EQ(AsBank(old)->Stride(), Bank::StrideFor(128));
    wider->Free(fresh);
    larger->Free(freshToo);
    EXPECT_TRUE(wiring.cache.Validate());
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, FreeSlotHoldingPagesOfTheSameShapeIsReused) {
    IAllocator* old = registry.CreateBank(32, 50, false);
    void* kept = old->Alloc();
    old->Release();
    IAllocator* again = registry.CreateBank(29, 50, false);  // stride 40, class 0 as before
    EXPECT_EQ(again, old);
    void* next = again->Alloc();
    EXPECT_EQ(HeaderWord::Read(next), 1u);
    again->Free(kept);
    again->Free(next);
    EXPECT_EQ(wiring.cache.InUseBytes(), 0u);
    EXPECT_TRUE(AsBank(again)->Validate());
}

TEST_F(BankRegistryTest, WithEverySlotHeldASecondChunkIsMadeAndScannedFirst) {
    std::vector<IAllocator*> held;
    for (int i = 0; i < 256; ++i) held.push_back(registry.CreateBank(16, 10, i == 7));
    EXPECT_EQ(wiring.runtime.Outstanding(), 1u);
    std::vector<Bank*> banks = SlotBanks();
    ASSERT_EQ(banks.size(), 256u);
    for (size_t i = 0; i < held.size(); ++i) ASSERT_EQ(banks[i], AsBank(held[i])) << i;

    IAllocator* extra = registry.CreateBank(16, 10, false);
    EXPECT_EQ(wiring.runtime.Outstanding(), 2u);
    banks = SlotBanks();
    ASSERT_EQ(banks.size(), 512u);
    EXPECT_EQ(AsBank(extra), banks[256]);
    EXPECT_EQ(std::set<Bank*>(banks.begin(), banks.end()).size(), 512u);

    // A free slot of the older chunk waits while the newer one has free slots.
    held[5]->Release();
    EXPECT_EQ(AsBank(registry.CreateBank(64, 10, false)), banks[257]);
    // Nor is the shareable bank of the older chunk reached past them.
    IAllocator* shareable = registry.CreateBank(16, 10, true);
    EXPECT_EQ(AsBank(shareable), banks[258]);
    EXPECT_EQ(AsBank(held[7])->RefCount(), 1);
    EXPECT_EQ(wiring.runtime.Outstanding(), 2u);
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, BankListWalksEverySlotWithItsBank) {
    ListNode* first;
    ListNode* end;
    registry.LockBankList(&first, &end);
    EXPECT_EQ(first, end) << "no chunk yet";
    registry.UnlockBankList();

    IAllocator* holder = registry.CreateBank(16, 100, false);
    registry.LockBankList(&first, &end);
    std::set<Bank*> owners;
    ListNode* previous = end;
    size_t count = 0;
    for (ListNode* node = first; node != end && count <= 256; node = node->next, ++count) {
        EXPECT_EQ(node->prev, previous);
        previous = node;
        owners.insert(OwnerOf(node));
    }
    EXPECT_EQ(end->prev, previous);
    registry.UnlockBankList();
    EXPECT_EQ(count, 256u);
    EXPECT_EQ(owners.size(), 256u);
    EXPECT_EQ(owners.count(nullptr), 0u);
    EXPECT_EQ(OwnerOf(first), AsBank(holder));
    owners.erase(AsBank(holder));
    for (Bank* bank : owners) EXPECT_EQ(bank->RefCount(), 0) << "never used";
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, UserListKeepsLinkOrderAndSelfLinksWhatLeaves) {
    EXPECT_TRUE(UserNodes().empty());
    ListNode a, b, c;
    registry.LinkUserNode(&a);
    registry.LinkUserNode(&b);
    registry.LinkUserNode(&c);
    EXPECT_EQ(UserNodes(), (std::vector<ListNode*>{&a, &b, &c}));
    EXPECT_TRUE(registry.Validate());

    registry.UnlinkUserNode(&b);
    EXPECT_EQ(b.next, &b);
    EXPECT_EQ(b.prev, &b);
    registry.UnlinkUserNode(&b);  // already out: stays so, list untouched
    EXPECT_EQ(b.next, &b);
    EXPECT_EQ(UserNodes(), (std::vector<ListNode*>{&a, &c}));
    registry.LinkUserNode(&b);
    EXPECT_EQ(UserNodes(), (std::vector<ListNode*>{&a, &c, &b}));
    EXPECT_TRUE(registry.Validate());

    for (ListNode* node : {&a, &b, &c}) registry.UnlinkUserNode(node);
    ListNode* first;
    ListNode* end;
    registry.LockUserList(&first, &end);
    EXPECT_EQ(first, end);
    EXPECT_EQ(end->next, end);
    EXPECT_EQ(end->prev, end);
    registry.UnlockUserList();
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, HeldUserListMakesOtherThreadsWait) {
    ListNode mine, theirs;
    ListNode* first;
    ListNode* end;
    registry.LockUserList(&first, &end);
    registry.LinkUserNode(&mine);  // the holder itself may change the list meanwhile
    std::atomic<bool> linked{false};
    std::thread other([&] {
        registry.LinkUserNode(&theirs);
        linked = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(linked.load());
    EXPECT_EQ(end->next, &mine);
    EXPECT_EQ(mine.next, end);
    registry.UnlockUserList();
    other.join();
    EXPECT_TRUE(linked.load());
    EXPECT_EQ(UserNodes(), (std::vector<ListNode*>{&mine, &theirs}));
    registry.UnlinkUserNode(&mine);
    registry.UnlinkUserNode(&theirs);
    EXPECT_TRUE(registry.Validate());
}

TEST_F(BankRegistryTest, ChunkThatCannotBeHadChangesNothing) {
    wiring.runtime.FailAll(true);
    EXPECT_EQ(registry.CreateBank(16, 10, false), nullptr);
    EXPECT_TRUE(SlotBanks().empty());
    EXPECT_TRUE(registry.Validate());
    wiring.runtime.FailAll(false);

    std::vector<IAllocator*> held;
    for (int i = 0; i < 256; ++i) held.push_back(registry.CreateBank(16, 10, false));
    wiring.runtime.FailAll(true);
    EXPECT_EQ(registry.CreateBank(16, 10, false), nullptr);
    EXPECT_EQ(SlotBanks().size(), 256u);
    for (IAllocator* holder : held) ASSERT_EQ(AsBank(holder)->RefCount(), 1);
    EXPECT_TRUE(registry.Validate());

    wiring.runtime.FailAll(false);
    IAllocator* next = registry.CreateBank(16, 10, false);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(SlotOf(next), 256u);
    EXPECT_EQ(AsBank(next)->RefCount(), 1);
    EXPECT_TRUE(registry.Validate());
}
