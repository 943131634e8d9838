#include "Base/Util/KZThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace
{
unsigned CountUp(void* pCounter)
{
    ++*static_cast<std::atomic<int>*>(pCounter);
    return 0;
}

bool WaitFor(const std::atomic<int>& value, int expected)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (value != expected && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return value == expected;
}
}

TEST(KZThread, RunsOnceAndRefusesASecondThread)
{
    std::atomic<int> counter{0};
    CKZThread thread;
    EXPECT_FALSE(thread.StartThread());
    ASSERT_TRUE(thread.CreateThread(CountUp, &counter, 0, "Test"));
    EXPECT_TRUE(thread.StartThread());
    EXPECT_TRUE(thread.StopThread());
    EXPECT_FALSE(thread.CreateThread(CountUp, &counter, 0, "Test"));
    ASSERT_TRUE(WaitFor(counter, 1));

    // After DeleteThread the object may start another one; the first is not disturbed.
    EXPECT_TRUE(thread.DeleteThread());
    EXPECT_FALSE(thread.StartThread());
    ASSERT_TRUE(thread.CreateThread(CountUp, &counter));
    EXPECT_TRUE(thread.DeleteThread()); // freed while the new thread may still be starting
    EXPECT_TRUE(WaitFor(counter, 2));
}

TEST(KZThread, PriorityAndProcessorAreStoredOnly)
{
    CKZThread thread;
    EXPECT_EQ(2u, thread.GetThreadPriority());
    EXPECT_EQ(0u, thread.GetThreadProcessor());
    thread.SetThreadPriority(3);
    thread.SetThreadProcessor(1);
    EXPECT_EQ(3u, thread.GetThreadPriority());
    EXPECT_EQ(1u, thread.GetThreadProcessor());
    CKZThread::Sleep(0);
    CKZThread::Sleep(2);
}
