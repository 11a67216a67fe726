#include "recording/block_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <set>
#include <thread>

// The pool's arrays are float[]s: counting array allocations and frees shows what it keeps, which
// pointers alone cannot (a freed array's address may come back from the allocator).
namespace {
std::atomic<bool> countArrays{false};
std::atomic<int> arraysAllocated{0}, arraysFreed{0};
}  // namespace

void* operator new[](std::size_t size) {
    if (countArrays.load()) ++arraysAllocated;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete[](void* p) noexcept {
    if (p && countArrays.load()) ++arraysFreed;
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept { operator delete[](p); }

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

    // An empty bucket keeps the first kSlotsPerBucket arrays returned to it and frees the rest.
    constexpr int kSlots = ArrayPool::kSlotsPerBucket;
    std::vector<PooledArray> arrays;
    for (int i = 0; i < kSlots + 5; ++i) arrays.push_back(pool.Rent(64));
    std::set<float*> rented;
    for (auto& x : arrays) rented.insert(x.data());
    arraysAllocated = arraysFreed = 0;
    countArrays = true;
    for (auto& x : arrays) pool.Return(x);
    const int freedOnReturn = arraysFreed.exchange(0);
    std::vector<PooledArray> again;
    for (int i = 0; i < kSlots + 5; ++i) again.push_back(pool.Rent(64));
    const int allocatedOnRent = arraysAllocated.exchange(0);
    countArrays = false;
    EXPECT_EQ(freedOnReturn, 5);
    EXPECT_EQ(allocatedOnRent, 5);
    int reused = 0;
    for (int i = 0; i < kSlots; ++i) reused += rented.count(again[static_cast<size_t>(i)].data()) ? 1 : 0;
    EXPECT_EQ(reused, kSlots);  // the kept ones are handed out first
    for (auto& x : again) pool.Return(x);
}

}  // namespace
}  // namespace twr
