#include "ui/notifier.h"

namespace twr {

namespace {

// The native build has no notification area: every call fails, as a shell without one would.
class NoTray final : public TrayShell {
public:
    uint64_t ApplicationIcon() override { return 0; }
    bool NotifyIcon(uint32_t, const NotifyIconRecord&) override { return false; }
    void StartReaper(uint32_t, std::function<void()>) override {}
};

}  // namespace

std::shared_ptr<TrayShell> PlatformTrayShell() { return std::make_shared<NoTray>(); }

}  // namespace twr
