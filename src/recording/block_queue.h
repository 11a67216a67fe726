#pragma once
// The elements that travel from a reader thread to the writer thread: pooled float arrays, the
// block that carries one, and the bounded queue between the two threads. Portable.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

namespace twr {

// An owned float array that came from (and should go back to) an ArrayPool. Dropping it
// without returning it only frees the memory; nothing leaks.
class PooledArray {
public:
    PooledArray() noexcept = default;
    PooledArray(PooledArray&&) noexcept = default;
    PooledArray& operator=(PooledArray&&) noexcept = default;

    [[nodiscard]] float* data() const noexcept { return data_.get(); }
    [[nodiscard]] size_t size() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    float& operator[](size_t i) const noexcept { return data_[i]; }

private:
    friend class ArrayPool;
    PooledArray(std::unique_ptr<float[]> data, size_t size) noexcept : data_(std::move(data)), size_(size) {}
    std::unique_ptr<float[]> data_;
    size_t size_ = 0;
};

// A process-wide pool of float arrays in power-of-two sizes, so that steady-state recording
// allocates nothing per block. Lock-free: each bucket is a fixed row of slots that Rent and
// Return exchange atomically, so a reader and the writer never wait for each other here.
class ArrayPool {
public:
    static constexpr int kMinBucketBits = 4;    // 16 floats
    static constexpr int kMaxBucketBits = 26;   // 64 Mi floats; larger arrays are not kept
    static constexpr int kSlotsPerBucket = 64;

    ArrayPool() = default;
    ~ArrayPool();
    ArrayPool(const ArrayPool&) = delete;
    ArrayPool& operator=(const ArrayPool&) = delete;

    // The pool shared by all recordings. Never destroyed, so a thread still running at process
    // exit can return arrays safely.
    static ArrayPool& Shared();

    // An array of at least minimumLength floats (contents unspecified). Throws std::bad_alloc.
    [[nodiscard]] PooledArray Rent(size_t minimumLength);
    // Keeps the array for reuse when its bucket has room, else frees it. Leaves array empty.
    void Return(PooledArray& array) noexcept;
    void Return(PooledArray&& array) noexcept { Return(array); }

private:
    static constexpr int kBuckets = kMaxBucketBits - kMinBucketBits + 1;
    std::atomic<float*> slots_[kBuckets][kSlotsPerBucket] = {};
};

// One queued element of an InputReader: a pooled float array, the session time at which it was
// completed, and the count of valid floats (2 x BufferFrames, interleaved left/right).
// Whoever takes a block out of a queue returns Samples to ArrayPool::Shared().
struct Block {
    PooledArray Samples;
    double Time = 0.0;
    int32_t Count = 0;
};

// A first-in, first-out queue with a bound, for one producer and one consumer that must never
// block each other for longer than the time-out they choose.
template <typename T>
class BoundedQueue {
public:
    explicit BoundedQueue(size_t bound) : bound_(bound) {}
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    [[nodiscard]] size_t Bound() const noexcept { return bound_; }
    [[nodiscard]] size_t Count() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    // Moves item in when there is room within the time-out; on false, item is left untouched
    // (also after CompleteAdding), so the caller can still return its resources.
    [[nodiscard]] bool TryAdd(T& item, int timeoutMs) {
        std::unique_lock lock(mutex_);
        if (!notFull_.wait_for(lock, Ms(timeoutMs), [this] { return completed_ || items_.size() < bound_; }))
            return false;
        if (completed_) return false;
        items_.push_back(std::move(item));
        lock.unlock();
        notEmpty_.notify_one();
        return true;
    }
    // Takes the oldest item, waiting up to the time-out; false when none came (or the queue is
    // complete and empty).
    [[nodiscard]] bool TryTake(T& out, int timeoutMs) {
        std::unique_lock lock(mutex_);
        if (!notEmpty_.wait_for(lock, Ms(timeoutMs), [this] { return completed_ || !items_.empty(); }))
            return false;
        if (items_.empty()) return false;
        out = std::move(items_.front());
        items_.pop_front();
        lock.unlock();
        notFull_.notify_one();
        return true;
    }
    // No more items will be added; items already queued stay takeable.
    void CompleteAdding() {
        {
            std::lock_guard lock(mutex_);
            completed_ = true;
        }
        notEmpty_.notify_all();
        notFull_.notify_all();
    }
    [[nodiscard]] bool IsAddingCompleted() const {
        std::lock_guard lock(mutex_);
        return completed_;
    }
    // Completed and empty: nothing more will ever come out.
    [[nodiscard]] bool IsCompleted() const {
        std::lock_guard lock(mutex_);
        return completed_ && items_.empty();
    }

private:
    static std::chrono::milliseconds Ms(int timeoutMs) { return std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs); }

    const size_t bound_;
    mutable std::mutex mutex_;
    std::condition_variable notFull_;
    std::condition_variable notEmpty_;
    std::deque<T> items_;
    bool completed_ = false;
};

using BlockQueue = BoundedQueue<Block>;

}  // namespace twr
