#include "recording/block_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace twr {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(BoundedQueue, HoldsAtMostItsBoundAndRefusesAfterTheWait) {
    BoundedQueue<int> q(3);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(q.TryAdd(i, 0));
    int extra = 99;
    const auto t0 = Clock::now();
    EXPECT_FALSE(q.TryAdd(extra, 30));
    EXPECT_GE(Clock::now() - t0, milliseconds(25));
    EXPECT_EQ(extra, 99);
    EXPECT_EQ(q.Count(), 3u);
    int out = -1;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(q.TryTake(out, 0));
        EXPECT_EQ(out, i);  // first in, first out
    }
    EXPECT_FALSE(q.TryTake(out, 0));
}

TEST(BoundedQueue, WaitingAddSucceedsWhenTheConsumerMakesRoom) {
    BoundedQueue<int> q(1);
    int a = 1, b = 2;
    ASSERT_TRUE(q.TryAdd(a, 0));
    std::thread consumer([&] {
        std::this_thread::sleep_for(milliseconds(20));
        EXPECT_TRUE(q.TryTake(a, 0));
    });
    EXPECT_TRUE(q.TryAdd(b, 5000));
    consumer.join();
}

TEST(BoundedQueue, CompleteAddingKeepsQueuedItemsAndWakesTakers) {
    BoundedQueue<int> q(4);
    int v = 5, w = 6;
    ASSERT_TRUE(q.TryAdd(v, 0));
    q.CompleteAdding();
    EXPECT_FALSE(q.TryAdd(w, 0));
    EXPECT_FALSE(q.IsCompleted());
    int out = 0;
    EXPECT_TRUE(q.TryTake(out, 0));
    EXPECT_EQ(out, 5);
    const auto t0 = Clock::now();
    EXPECT_FALSE(q.TryTake(out, 5000));  // complete and empty: returns at once
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(q.IsCompleted());
}

// A returned array is rented again from its size's bucket; a bucket keeps only a fixed number and
// frees the surplus (ASan would report a leak).
TEST(ArrayPool, RoundsUpToPowersOfTwoReusesAndKeepsOnlyAFixedNumberPerSize) {
    ArrayPool pool;
    const struct {
        size_t request, size;
    } cases[] = {{0, 16}, {1, 16}, {16, 16}, {17, 32}, {4096, 4096}, {4097, 8192}};
    for (const auto& c : cases) EXPECT_EQ(pool.Rent(c.request).size(), c.size) << c.request;

    PooledArray a = pool.Rent(4096);
    float* p = a.data();
    pool.Return(a);
    EXPECT_TRUE(a.empty());
    PooledArray b = pool.Rent(3000);
    EXPECT_EQ(b.data(), p);
    EXPECT_NE(pool.Rent(3000).data(), p);
    pool.Return(b);

    std::vector<PooledArray> arrays;
    for (int i = 0; i < ArrayPool::kSlotsPerBucket + 5; ++i) arrays.push_back(pool.Rent(64));
    for (auto& x : arrays) pool.Return(x);
}

}  // namespace
}  // namespace twr
