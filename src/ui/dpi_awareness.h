#pragma once
// The order in which the process asks to be DPI aware, over the two platform calls, so that
// the fallback is tested natively. Portable.
#include <cstdint>
#include <functional>

namespace twr {

class DpiAwareness {
public:
    static constexpr int kPerMonitor = 2;

    // perMonitor(kPerMonitor) returns an HRESULT and may throw when its library is missing;
    // anything but 0 falls back to systemAware(). Whatever either throws is swallowed: start-up
    // goes on without DPI awareness.
    static void Enable(const std::function<int32_t(int)>& perMonitor, const std::function<void()>& systemAware) noexcept;
};

}  // namespace twr
