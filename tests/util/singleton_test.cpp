// SingletonMutexAllocator: usable from static storage before any constructor, one mutex for
// every thread, kept alive by its own reference.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "util/singleton2.h"

namespace {

// Constant initialisation is what makes the allocator safe before static constructors run.
constinit SingletonMutexAllocator g_allocator;

TEST(SingletonMutexAllocator, MatchedUseKeepsOneMutexForTheProcess) {
    SingletonMutexAllocator& a = g_allocator;
    EXPECT_EQ(a.Get(), nullptr);
    a.EnsureAllocatedMutex();
    std::mutex* first = a.Get();
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(a.ReleaseMutex());
    EXPECT_EQ(a.Get(), first);
    {
        AutoGrabSingletonMutex grab(a);
        EXPECT_EQ(grab.Get(), first);
        EXPECT_FALSE(first->try_lock());
    }
    EXPECT_EQ(a.Get(), first);
    // Only a release beyond the matched pairs gives the allocator's own reference back.
    EXPECT_TRUE(a.ReleaseMutex());
    EXPECT_EQ(a.Get(), nullptr);
    a.EnsureAllocatedMutex();
    EXPECT_NE(a.Get(), nullptr);
    a.ReleaseMutex();
    a.ReleaseMutex();
}

// Threads race for the first allocation; all must end up on the same mutex, which must then
// really exclude them from one another.
TEST(SingletonMutexAllocator, ConcurrentFirstUseSharesOneMutex) {
    for (int round = 0; round < 20; ++round) {
        static SingletonMutexAllocator allocator;  // back at its zero state after each round
        constexpr int Threads = 4;
        std::vector<std::mutex*> seen(Threads);
        long counter = 0;
        std::vector<std::thread> threads;
        for (int i = 0; i < Threads; ++i)
            threads.emplace_back([&, i] {
                for (int n = 0; n < 1000; ++n) {
                    AutoGrabSingletonMutex grab(allocator);
                    seen[i] = grab.Get();
                    ++counter;
                }
            });
        for (auto& t : threads) t.join();
        for (int i = 1; i < Threads; ++i) EXPECT_EQ(seen[i], seen[0]);
        EXPECT_EQ(counter, Threads * 1000L);
        EXPECT_TRUE(allocator.ReleaseMutex()) << "the only reference left is the allocator's own";
        EXPECT_EQ(allocator.Get(), nullptr);
    }
}

} // namespace
