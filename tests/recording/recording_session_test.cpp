#include "recording/recording_session.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace twr {
namespace {

// The report reads a count below 1 as a clean recording, so once anything is counted no
// addition may bring it there.
TEST(SaturatingCount, StopsAtItsLargestValueAndNeverFallsBelowZero) {
    constexpr int64_t kMax = SaturatingCount::kMax;
    const struct {
        const char* name;
        int64_t start;
        std::vector<int64_t> adds;
        int32_t expected;
    } cases[] = {
        {"small additions", 0, {1, 2, 3}, 6},
        {"one past the largest value", 1, {kMax}, kMax},
        {"an addition beyond 32 bits", 1, {int64_t{1} << 62}, kMax},
        {"additions at the largest value", kMax, {1, kMax}, kMax},
        {"zero and negative additions change nothing", 5, {0, -7, std::numeric_limits<int64_t>::min()}, 5},
        {"a negative value set outright is 0", -3, {}, 0},
        {"a value set beyond the largest", int64_t{1} << 40, {}, kMax},
    };
    for (const auto& c : cases) {
        SaturatingCount count;
        count = c.start;
        for (int64_t n : c.adds) count.Add(n);
        EXPECT_EQ(count.load(), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace twr
