#include <windows.h>
#include <shellapi.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

#include "app/threads.h"
#include "ui/notifier.h"

namespace twr {

namespace {

// The portable record is the platform's structure byte for byte.
using L = NotifyIconLayout;
static_assert(sizeof(NOTIFYICONDATAW) == L::kSize);
static_assert(offsetof(NOTIFYICONDATAW, cbSize) == L::kCbSize);
static_assert(offsetof(NOTIFYICONDATAW, hWnd) == L::kWindow);
static_assert(offsetof(NOTIFYICONDATAW, uID) == L::kId);
static_assert(offsetof(NOTIFYICONDATAW, uFlags) == L::kFlags);
static_assert(offsetof(NOTIFYICONDATAW, uCallbackMessage) == L::kCallbackMessage);
static_assert(offsetof(NOTIFYICONDATAW, hIcon) == L::kIcon);
static_assert(offsetof(NOTIFYICONDATAW, szTip) == L::kTip && sizeof(NOTIFYICONDATAW::szTip) == 2 * L::kTipUnits);
static_assert(offsetof(NOTIFYICONDATAW, szInfo) == L::kInfo && sizeof(NOTIFYICONDATAW::szInfo) == 2 * L::kInfoUnits);
static_assert(offsetof(NOTIFYICONDATAW, szInfoTitle) == L::kInfoTitle &&
              sizeof(NOTIFYICONDATAW::szInfoTitle) == 2 * L::kInfoTitleUnits);
static_assert(offsetof(NOTIFYICONDATAW, dwInfoFlags) == L::kInfoFlags);
static_assert(Notifier::kAdd == NIM_ADD && Notifier::kModify == NIM_MODIFY && Notifier::kDelete == NIM_DELETE);
static_assert(Notifier::kIconFlags == (NIF_MESSAGE | NIF_ICON | NIF_TIP) && Notifier::kInfoFlag == NIF_INFO);

class ShellTray final : public TrayShell {
public:
    uint64_t ApplicationIcon() override {
        return reinterpret_cast<uintptr_t>(::LoadIconW(nullptr, IDI_APPLICATION));
    }

    bool NotifyIcon(uint32_t message, const NotifyIconRecord& record) override {
        NOTIFYICONDATAW data;
        std::memcpy(&data, record.data(), sizeof data);
        return ::Shell_NotifyIconW(message, &data) != FALSE;
    }

    void StartReaper(uint32_t delayMs, std::function<void()> body) override {
        StartNamedThread("NotifyReaper", [delayMs, body = std::move(body)] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            body();
        }).detach();
    }
};

}  // namespace

std::shared_ptr<TrayShell> PlatformTrayShell() { return std::make_shared<ShellTray>(); }

}  // namespace twr
