// Test driver: opens the settings dialog, or one option dialog by name, modally over a given
// settings file, so the Wine tests can drive it from the keyboard and compare the file after.
//   settings_host <settings|notifications|sounds|channels> <settings file> [speech folder]
// With a speech folder, the controller client is loaded from there (this tool embeds none), so
// the numeric fields' spoken values reach the stand-in library.
// Prints "result N" (the dialog's ShowModal value) when the dialog closes. The settings
// dialog's input lists hold the endpoints the system enumerates, as the main window passes them.
#include <windows.h>

#include <string>
#include <vector>

#include "app/config.h"
#include "app/console.h"
#include "app/errors.h"
#include "app/platform.h"
#include "app/win_error.h"
#include "app/win_raii.h"
#include "feedback/speech.h"
#include "recording/wasapi.h"
#include "ui/option_dialogs_win.h"
#include "ui/settings_dialog_win.h"
#include "ui/win32_win.h"

int main() {
    using namespace twr;
    Console::Attach();
    const std::vector<std::string> args = win::CommandLineArgs();
    if (args.size() != 2 && args.size() != 3) {
        Console::ErrorLine("usage: settings_host <settings|notifications|sounds|channels> <settings file> "
                           "[speech folder]");
        return 2;
    }
    // The interface thread of the program is a single-threaded apartment (the folder picker needs it).
    win::ComScope com(COINIT_APARTMENTTHREADED);
    try {
        Win32::EnableDpiAwareness();
        Win32::InitCommonControls();
        Speech::Platform speech = Speech::Host();
        if (args.size() == 3) speech.exeFolder = platform::U8Path(args[2]);
        Speech::Init(speech);
        Config config(platform::U8Path(args[1]));
        INT_PTR result = -1;
        if (args[0] == "settings") {
            std::vector<AudioDevice> devices;
            try {
                devices = Wasapi::EnumerateDevices();
            } catch (const std::exception& e) {
                Console::ErrorLine("no endpoints: " + FullText(e));
            }
            result = SettingsDialog(config, devices).ShowModal(nullptr);
        } else if (args[0] == "notifications") {
            result = NotificationsDialog(config).ShowModal(nullptr);
        } else if (args[0] == "sounds") {
            result = SoundsDialog(config).ShowModal(nullptr);
        } else if (args[0] == "channels") {
            result = ChannelsDialog(config).ShowModal(nullptr);
        } else {
            Console::ErrorLine("unknown dialog: " + args[0]);
            return 2;
        }
        Console::WriteLine("result " + std::to_string(result));
        return 0;
    } catch (const std::exception& e) {
        Console::ErrorLine(FullText(e));
        return 1;
    }
}
