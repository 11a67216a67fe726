#include "feedback/wave_out.h"

namespace twr {

int64_t WaveOut::ReaperLimitMs(std::size_t sampleCount, int sampleRate) noexcept {
    constexpr int64_t kGraceMs = 2000;
    if (sampleRate <= 0) return kGraceMs;
    return static_cast<int64_t>(sampleCount) * 1000 / sampleRate + kGraceMs;
}

}  // namespace twr
