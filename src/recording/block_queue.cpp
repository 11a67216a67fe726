#include "recording/block_queue.h"

#include <algorithm>
#include <bit>

namespace twr {

namespace {

// Bucket index of the smallest power of two that holds length floats, or -1 beyond the largest.
int BucketFor(size_t length) noexcept {
    const size_t rounded = std::bit_ceil(std::max<size_t>(length, size_t{1} << ArrayPool::kMinBucketBits));
    const int bits = std::countr_zero(rounded);
    if (rounded == 0 || bits > ArrayPool::kMaxBucketBits) return -1;
    return bits - ArrayPool::kMinBucketBits;
}

}  // namespace

ArrayPool::~ArrayPool() {
    for (auto& bucket : slots_)
        for (auto& slot : bucket) delete[] slot.exchange(nullptr);
}

ArrayPool& ArrayPool::Shared() {
    static ArrayPool* const shared = new ArrayPool();
    return *shared;
}

PooledArray ArrayPool::Rent(size_t minimumLength) {
    const int bucket = BucketFor(minimumLength);
    if (bucket < 0) return PooledArray(std::make_unique<float[]>(minimumLength), minimumLength);
    const size_t length = size_t{1} << (bucket + kMinBucketBits);
    for (auto& slot : slots_[bucket]) {
        if (slot.load(std::memory_order_relaxed) == nullptr) continue;
        if (float* p = slot.exchange(nullptr, std::memory_order_acquire))
            return PooledArray(std::unique_ptr<float[]>(p), length);
    }
    return PooledArray(std::make_unique_for_overwrite<float[]>(length), length);
}

void ArrayPool::Return(PooledArray& array) noexcept {
    const size_t length = array.size_;
    std::unique_ptr<float[]> data = std::move(array.data_);
    array.size_ = 0;
    if (!data) return;
    const int bucket = BucketFor(length);
    // Only arrays of exactly a bucket's size can have come from this pool.
    if (bucket < 0 || (size_t{1} << (bucket + kMinBucketBits)) != length) return;
    for (auto& slot : slots_[bucket]) {
        float* expected = nullptr;
        if (slot.compare_exchange_strong(expected, data.get(), std::memory_order_release,
                                         std::memory_order_relaxed)) {
            (void)data.release();
            return;
        }
    }
}

}  // namespace twr
