#include "System/Util/KZLockedQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

TEST(KZLockedQueueTest, PushPopAndPredicate)
{
    CKZLockedQueue<int> queue;
    EXPECT_EQ(queue.PushBack(1), 0u);
    EXPECT_EQ(queue.PushBack(2), 1u);
    EXPECT_EQ(queue.PushBack(3), 2u);
    int item = 0;
    EXPECT_TRUE(queue.PopFirst(item, [](int value) { return value % 2 == 0; }));
    EXPECT_EQ(item, 2);
    EXPECT_FALSE(queue.PopFirst(item, [](int value) { return value > 5; }));
    EXPECT_TRUE(queue.PopFront(item));
    EXPECT_EQ(item, 1);
    int drained = 0;
    queue.Drain([&](int value) { drained += value; });
    EXPECT_EQ(drained, 3);
    EXPECT_TRUE(queue.Empty());
}

// Each wait below would last a minute if nothing woke it; the test ends within its own bounds.
TEST(KZLockedQueueTest, WaitsEndOnWorkOrShutdown)
{
    CKZLockedQueue<int> queue;
    std::atomic<bool> run{true};
    std::thread pusher([&] { queue.PushBack(7); });
    EXPECT_TRUE(queue.WaitForWork(60000, run));
    pusher.join();

    int item = 0;
    std::thread popper([&] { queue.PopFront(item); });
    EXPECT_TRUE(queue.WaitUntilEmpty(60000, run));
    popper.join();
    EXPECT_EQ(item, 7);

    std::thread stopper([&] {
        run = false;
        queue.Wake();
    });
    EXPECT_FALSE(queue.WaitForWork(60000, run));
    queue.WaitForPush(60000, run);
    stopper.join();

    // A push that arrives during the wait ends it (pushes repeat until then: one made before the
    // wait began does not count).
    std::atomic<bool> running{true};
    std::atomic<bool> woken{false};
    std::thread late([&] {
        while (!woken)
        {
            queue.PushBack(8);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    queue.WaitForPush(60000, running);
    woken = true;
    late.join();
    EXPECT_FALSE(queue.Empty());
}
