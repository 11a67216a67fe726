#include "feedback/sounds.h"

namespace twr {

std::vector<int16_t> Sounds::Scaled(std::span<const int16_t> cue, int volumePercent) {
    if (cue.empty() || volumePercent <= 0) return {};
    const double factor = volumePercent > 100 ? 1.0 : volumePercent / 100.0;
    std::vector<int16_t> out(cue.size());
    // factor never exceeds 1, so the product stays inside the 16-bit range.
    for (std::size_t i = 0; i < cue.size(); ++i) out[i] = static_cast<int16_t>(cue[i] * factor);
    return out;
}

}  // namespace twr
