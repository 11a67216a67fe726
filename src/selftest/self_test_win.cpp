#include <windows.h>

#include "app/config.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "selftest/self_test.h"
#include "ui/confirm_dialog_win.h"
#include "ui/main_window_win.h"
#include "ui/option_dialogs_win.h"
#include "ui/repair_dialog_win.h"
#include "ui/settings_dialog_win.h"
#include "ui/update_dialog_win.h"

namespace twr {

void SelfTest::TestTemplates(SuiteHarness& h) {
    h.Section("Dialog templates");
    const auto probe = platform::TempDir() / "twr_template_probe.json";
    {
        // Constructing a window object only binds it to its settings; its thread, COM and device
        // work all start in OnInit, which building a template never reaches.
        Config config(probe);
        MainWindow main(config);
        CheckTemplate(h, "MainWindow", main.BuildTemplate());
        SettingsDialog settings(config, {});
        CheckTemplate(h, "Settings", settings.BuildTemplate());
        NotificationsDialog notifications(config);
        CheckTemplate(h, "Notifications", notifications.BuildTemplate());
        SoundsDialog sounds(config);
        CheckTemplate(h, "Sounds", sounds.BuildTemplate());
        ChannelsDialog channels(config);
        CheckTemplate(h, "Channels", channels.BuildTemplate());
        RepairDialog repair("C:\\x.wav");
        CheckTemplate(h, "Repair", repair.BuildTemplate());
        UpdateDialog update("v1", "v2", "one\ntwo");
        CheckTemplate(h, "Update", update.BuildTemplate());
        ConfirmDialog confirm("t", "m", "a", "r");
        CheckTemplate(h, "Confirm", confirm.BuildTemplate());
    }
    try {
        platform::DeleteFileIfExists(probe);
    } catch (...) {
    }
}

std::shared_ptr<void> SelfTest::HoldForWriting(const std::filesystem::path& path, std::string_view bytes) {
    auto file = std::make_shared<win::unique_hfile>(::CreateFileW(
        path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!*file) win::ThrowLastError("CreateFileW");
    DWORD written = 0;
    if (!::WriteFile(file->get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        win::ThrowLastError("WriteFile");
    return file;
}

}  // namespace twr
