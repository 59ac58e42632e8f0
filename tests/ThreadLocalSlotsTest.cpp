#include <gtest/gtest.h>

#include <thread>

#include "platform/ThreadLocalSlots.h"

TEST(ThreadLocalSlots, EachThreadStartsNullAndKeepsItsOwnValue) {
    ThreadLocalSlots& slots = PlatformThreadLocalSlots();
    const uint32_t index = slots.Alloc();
    ASSERT_NE(index, ThreadLocalSlots::NoIndex);
    EXPECT_EQ(slots.GetValue(index), nullptr);
    int mine = 0, theirs = 0;
    ASSERT_TRUE(slots.SetValue(index, &mine));
    std::thread other([&] {
        EXPECT_EQ(slots.GetValue(index), nullptr);
        EXPECT_TRUE(slots.SetValue(index, &theirs));
        EXPECT_EQ(slots.GetValue(index), &theirs);
    });
    other.join();
    EXPECT_EQ(slots.GetValue(index), &mine);
    slots.Free(index);
}
