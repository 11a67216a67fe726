#pragma once
// The signal every recording test writes, shared with the helper programs: deterministic,
// and reaching past both full-scale ends so that clamping is exercised too.
#include <cmath>
#include <cstdint>
#include <vector>

namespace twr::testing {

inline float TestSample(uint64_t frame, int channel) {
    const double t = static_cast<double>(frame) * 0.0137 + channel * 0.71;
    return static_cast<float>(1.05 * std::sin(t) * std::cos(t * 0.013));
}

inline double Clamped(float x) { return x > 1.0f ? 1.0 : (x < -1.0f ? -1.0 : x); }

inline std::vector<float> TestBlock(uint64_t firstFrame, size_t frames, int channels) {
    std::vector<float> out(frames * static_cast<size_t>(channels));
    for (size_t f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) out[f * channels + c] = TestSample(firstFrame + f, c);
    return out;
}

}  // namespace twr::testing
