#include "recording/block_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace twr {
namespace {

TEST(BoundedQueue, HoldsAtMostItsBoundAndRefusesAfterTheWait) {
    BoundedQueue<int> q(3);
    for (int i = 0; i < 3; ++i) {
        int v = i;
        ASSERT_TRUE(q.TryAdd(v, 0));
    }
    int extra = 99;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(q.TryAdd(extra, 30));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));
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
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        int out;
        EXPECT_TRUE(q.TryTake(out, 0));
    });
    EXPECT_TRUE(q.TryAdd(b, 5000));
    consumer.join();
}

TEST(BoundedQueue, CompleteAddingKeepsQueuedItemsAndWakesTakers) {
    BoundedQueue<int> q(4);
    int v = 5;
    ASSERT_TRUE(q.TryAdd(v, 0));
    q.CompleteAdding();
    int w = 6;
    EXPECT_FALSE(q.TryAdd(w, 0));
    EXPECT_TRUE(q.IsAddingCompleted());
    EXPECT_FALSE(q.IsCompleted());
    int out = 0;
    EXPECT_TRUE(q.TryTake(out, 0));
    EXPECT_EQ(out, 5);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(q.TryTake(out, 5000));  // complete and empty: returns at once
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(q.IsCompleted());
}

TEST(ArrayPool, SizesRoundUpToPowersOfTwo) {
    ArrayPool pool;
    const struct {
        size_t request, size;
    } cases[] = {{0, 16}, {1, 16}, {16, 16}, {17, 32}, {4096, 4096}, {4097, 8192}};
    for (const auto& c : cases) {
        PooledArray a = pool.Rent(c.request);
        EXPECT_EQ(a.size(), c.size) << c.request;
        pool.Return(a);
    }
}

// A returned array is rented again from its size's bucket; a bucket keeps only a fixed number and
// frees the surplus (ASan would report a leak).
TEST(ArrayPool, ReusesReturnedArraysAndKeepsOnlyAFixedNumberPerSize) {
    ArrayPool pool;
    PooledArray a = pool.Rent(4096);
    float* p = a.data();
    pool.Return(a);
    EXPECT_TRUE(a.empty());
    PooledArray b = pool.Rent(3000);
    EXPECT_EQ(b.data(), p);
    PooledArray c = pool.Rent(3000);
    EXPECT_NE(c.data(), p);
    pool.Return(b);
    pool.Return(c);

    std::vector<PooledArray> arrays;
    for (int i = 0; i < ArrayPool::kSlotsPerBucket + 5; ++i) arrays.push_back(pool.Rent(64));
    for (auto& x : arrays) pool.Return(x);
}

}  // namespace
}  // namespace twr
