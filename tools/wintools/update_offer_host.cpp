// Test host: offers a release through the real Updater::Offer and UpdateDialog, so the Wine
// tests can meet the dialog with the keyboard. The network is switched off for it: agreeing
// goes on into the installation, which fails at the download and reports on standard output.
//
//   update_offer_host [--tag T] [--notes N]     (in N, "\n" stands for a line feed)
//
// Standard output, one line each, CR LF:
//   OPEN <hwnd> busy=<0|1>   the dialog is on screen; busy is Updater::InProgress meanwhile
//   Update Failed: ...       the installation's report, only after "&Update Now"
//   RESULT <0|1>             1 when the installation was attempted
#include <windows.h>

#include <string>

#include "app/console.h"
#include "app/errors.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "ui/win32_win.h"
#include "update/updater.h"

namespace {

using namespace twr;

bool gAttempted = false;

void CALLBACK AnnounceActive(HWND, UINT, UINT_PTR id, DWORD) {
    HWND active = ::GetActiveWindow();
    if (active && ::IsWindowVisible(active)) {
        ::KillTimer(nullptr, id);
        Console::WriteLine("OPEN " + std::to_string(reinterpret_cast<uintptr_t>(active)) +
                           " busy=" + (Updater::InProgress() ? "1" : "0"));
    }
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

int main() {
    Console::Attach();
    win::ComScope com(COINIT_APARTMENTTHREADED);
    Win32::EnableDpiAwareness();
    Win32::InitCommonControls();
    UpdateInfo info{"v9.9.9", "https://release.invalid/Tapewright-win-x64.exe", "", std::string(64, 'A'), 4096};
    const auto args = win::CommandLineArgs();
    for (size_t i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--tag") info.Tag = args[i + 1];
        if (args[i] == "--notes") info.Notes = Unescape(args[i + 1]);
    }
    Updater::Services services = Updater::HostServices();
    services.get = [](const std::string& url, int, uint64_t) -> std::string {
        gAttempted = true;
        throw IoError("No network in the test host: " + url);
    };
    Updater::SetServicesForTesting(services);
    ::SetTimer(nullptr, 0, 50, &AnnounceActive);
    Updater::Offer(nullptr, info);
    Console::WriteLine(std::string("RESULT ") + (gAttempted ? "1" : "0"));
    return 0;
}
