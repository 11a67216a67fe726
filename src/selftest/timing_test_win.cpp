#include "app/win_raii.h"
#include "selftest/timing_test.h"
#include "ui/win32_win.h"

namespace twr {

void TimingTest::PrepareWindowing() {
    Win32::EnableDpiAwareness();
    Win32::InitCommonControls();
}

std::shared_ptr<void> TimingTest::EnterApartment() {
    // The result is not looked at: the main thread is usually an apartment already, and the
    // scope undoes only an initialisation it made itself.
    return std::make_shared<win::ComScope>(COINIT_APARTMENTTHREADED);
}

}  // namespace twr
