// The one place "Check for &Updates Now" reaches the updater, so the settings dialog needs
// nothing else of it.
#include "ui/settings_dialog_win.h"
#include "update/updater.h"

namespace twr {

void CheckForUpdatesNow(HWND owner) { Updater::CheckNow(owner); }

}  // namespace twr
