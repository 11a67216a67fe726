#include "ui/dpi_awareness.h"

namespace twr {

void DpiAwareness::Enable(const std::function<int32_t(int)>& perMonitor,
                          const std::function<void()>& systemAware) noexcept {
    try {
        if (perMonitor(kPerMonitor) == 0) return;
    } catch (...) {
        // shcore or its entry point is missing (before Windows 8.1): system awareness below.
    }
    try {
        systemAware();
    } catch (...) {
    }
}

}  // namespace twr
