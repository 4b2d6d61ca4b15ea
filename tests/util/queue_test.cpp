// ConcurrentQueue and the single-producer single-consumer ring FixedLenQueueLockFree.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "util/ConcurrentQueue.h"
#include "util/WsaEventLinux.h"

namespace {

template <class T>
std::vector<T> Drain(ConcurrentQueue<T>& q) {
    std::vector<T> out;
    T item;
    while (q.TryPopFront(item)) out.push_back(item);
    return out;
}

using IntVec = std::vector<int>;

TEST(ConcurrentQueue, PushReportsWhetherTheQueueWasEmptyAndKeepsOrder) {
    ConcurrentQueue<int> q;
    EXPECT_TRUE(q.PushBack(2));
    EXPECT_FALSE(q.PushBack(3));
    EXPECT_FALSE(q.PushFront(1));
    EXPECT_FALSE(q.PushBack(IntVec{4, 5}));
    const int tail[] = {6, 7, 8};
    EXPECT_FALSE(q.PushBack(tail, 3));
    EXPECT_FALSE(q.PushFront(IntVec{-1, 0}));
    EXPECT_EQ(q.Size(), 10u);
    EXPECT_EQ(Drain(q), (IntVec{-1, 0, 1, 2, 3, 4, 5, 6, 7, 8}));

    // Every kind of push onto an empty queue says so, and a whole vector counts as one push.
    EXPECT_TRUE(q.PushFront(IntVec{1, 2}));
    q.Clear();
    EXPECT_TRUE(q.PushBack(tail, 3));
    q.Clear();
    EXPECT_TRUE(q.PushFront(9));
    EXPECT_EQ(q.TryPopBack(), 9);
    EXPECT_TRUE(q.PushBack(IntVec{}));  // nothing inserted
    EXPECT_TRUE(q.Empty());
}

TEST(ConcurrentQueue, LockedQueueIgnoresPushesButStillReportsEmptiness) {
    ConcurrentQueue<int> q;
    q.Lock();
    EXPECT_TRUE(q.IsLocked());
    EXPECT_TRUE(q.PushBack(1));
    EXPECT_TRUE(q.PushFront(IntVec{1, 2}));
    EXPECT_TRUE(q.Empty());
    q.UnLock();
    q.PushBack(1);
    q.Lock();
    EXPECT_FALSE(q.PushBack(2));
    EXPECT_FALSE(q.PushFront(0));
    // Pops still work on a locked queue, so a stopping consumer can drain it.
    EXPECT_EQ(Drain(q), IntVec{1});
}

TEST(ConcurrentQueue, PopFromEmptyGivesDefaultOrFalse) {
    ConcurrentQueue<std::shared_ptr<int>> q;
    EXPECT_EQ(q.TryPopFront(), nullptr);
    EXPECT_EQ(q.TryPopBack(), nullptr);
    auto keep = std::make_shared<int>(1);
    std::shared_ptr<int> item = keep;
    EXPECT_FALSE(q.TryPopFront(item));
    EXPECT_EQ(item, keep) << "a failed pop must leave the target alone";
    q.PushBack(keep);
    EXPECT_EQ(q.TryPopBack(), keep);
    EXPECT_TRUE(q.Empty());
}

// The worker pattern of the library: producers set the consumer's event only when their push
// found the queue empty; the consumer drains the queue, then waits. No item may be stranded
// and each producer's items arrive in order.
TEST(ConcurrentQueue, WakeOnEmptyPushLosesNoItemAcrossThreads) {
    constexpr int Producers = 3;
    constexpr uint32_t PerProducer = 20000;
    ConcurrentQueue<uint64_t> q;
    HANDLE wake = CreateEvent(nullptr, false, false, nullptr);

    std::vector<std::thread> producers;
    for (int p = 0; p < Producers; ++p)
        producers.emplace_back([&, p] {
            for (uint32_t i = 1; i <= PerProducer; ++i)
                if (q.PushBack((uint64_t(p) << 32) | i)) SetEvent(wake);
        });

    std::vector<uint32_t> last(Producers, 0);
    uint64_t received = 0;
    bool ordered = true;
    while (received < uint64_t(Producers) * PerProducer) {
        uint64_t item;
        while (q.TryPopFront(item)) {
            const auto p = size_t(item >> 32);
            const auto seq = uint32_t(item);
            ordered = ordered && p < last.size() && seq == last[p] + 1;
            if (p < last.size()) last[p] = seq;
            ++received;
        }
        if (received < uint64_t(Producers) * PerProducer) {
            ASSERT_EQ(WaitForSingleObject(wake, 10000), WAIT_OBJECT_0) << "stranded after " << received;
        }
    }
    for (auto& t : producers) t.join();
    CloseHandle(wake);
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(q.Empty());
}

TEST(FixedLenQueueLockFree, FullRingRejectsAndLeavesTheItemAlone) {
    FixedLenQueueLockFree<std::unique_ptr<int>> q(3);
    EXPECT_EQ(q.Capacity(), 3u);
    for (int i = 1; i <= 3; ++i) EXPECT_TRUE(q.TryEmplaceBack(std::make_unique<int>(i)));
    auto fourth = std::make_unique<int>(4);
    EXPECT_FALSE(q.TryEmplaceBack(std::move(fourth)));
    ASSERT_NE(fourth, nullptr);
    EXPECT_EQ(q.Size(), 3u);
    EXPECT_EQ(*q.TryPopFront(), 1);
    EXPECT_TRUE(q.TryEmplaceBack(std::move(fourth)));
    for (int i = 2; i <= 4; ++i) EXPECT_EQ(*q.TryPopFront(), i);
    EXPECT_EQ(q.TryPopFront(), nullptr);
    EXPECT_TRUE(q.Empty());
}

TEST(FixedLenQueueLockFree, OrderAndSizeHoldAcrossTheWrapOfTheIndices) {
    FixedLenQueueLockFree<int> q(3);
    int next = 0, expected = 0;
    // Uneven push and pop runs walk the indices through every slot position many times.
    for (int round = 0; round < 50; ++round) {
        const int pushes = 1 + round % 3;
        for (int i = 0; i < pushes && q.TryPushBack(next); ++i) ++next;
        EXPECT_EQ(q.Size(), size_t(next - expected));
        const int pops = 1 + (round * 7) % 3;
        for (int i = 0; i < pops && !q.Empty(); ++i) {
            int item = -1;
            ASSERT_TRUE(q.TryPopFront(item));
            ASSERT_EQ(item, expected++);
        }
    }
    EXPECT_GT(next, 40);
}

TEST(FixedLenQueueLockFree, ClearReleasesElementsAndResetResizes) {
    auto shared = std::make_shared<int>(7);
    FixedLenQueueLockFree<std::shared_ptr<int>> q(4);
    q.TryPushBack(shared);
    q.TryPushBack(shared);
    q.Clear();
    EXPECT_TRUE(q.Empty());
    EXPECT_EQ(shared.use_count(), 1) << "cleared elements must not linger in their slots";

    q.Reset(1);
    EXPECT_EQ(q.Capacity(), 1u);
    EXPECT_TRUE(q.TryPushBack(shared));
    EXPECT_FALSE(q.TryPushBack(shared));

    FixedLenQueueLockFree<int> none(0);
    EXPECT_FALSE(none.TryPushBack(1));
    EXPECT_TRUE(none.Empty());
}

// One producer and one consumer at full speed on two cores. A small ring keeps both sides at
// the full and empty boundaries most of the time; the payload's two words show any element
// read before it was completely written, and the ThreadSanitizer build sees any missing order.
TEST(FixedLenQueueLockFree, OneProducerOneConsumerAtFullSpeed) {
    struct Item {
        uint64_t Seq = 0;
        uint64_t Check = 0;
    };
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr uint64_t DefaultCount = 300000;
#else
    constexpr uint64_t DefaultCount = 10000000;
#endif
    const char* env = std::getenv("SDK_SPSC_ITEMS");
    const uint64_t count = env ? std::strtoull(env, nullptr, 10) : DefaultCount;
    auto checkOf = [](uint64_t seq) { return seq * 0x9E3779B97F4A7C15ull; };

    FixedLenQueueLockFree<Item> q(63);
    std::atomic<bool> producerDone{false};
    std::thread producer([&] {
        for (uint64_t seq = 1; seq <= count; ++seq) {
            Item item{seq, checkOf(seq)};
            while (!q.TryEmplaceBack(std::move(item))) std::this_thread::yield();
        }
        producerDone = true;
    });

    uint64_t expected = 1;
    uint64_t bad = 0;
    Item item;
    while (expected <= count) {
        if (!q.TryPopFront(item)) {
            if (producerDone && q.Empty()) break;  // the rest was lost
            std::this_thread::yield();
            continue;
        }
        if (item.Seq != expected || item.Check != checkOf(expected)) {
            if (++bad == 1) ADD_FAILURE() << "item " << expected << " arrived as " << item.Seq;
            expected = item.Seq;  // resynchronise so one fault does not fail the rest
        }
        ++expected;
    }
    producer.join();
    EXPECT_EQ(expected, count + 1);
    EXPECT_EQ(bad, 0u);
    EXPECT_TRUE(q.Empty());
}

} // namespace
