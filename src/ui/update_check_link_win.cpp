// The one place "Check for &Updates Now" reaches the updater, so connecting the manual check
// touches nothing else of the settings dialog.
#include "app/log.h"
#include "ui/settings_dialog_win.h"

namespace twr {

void CheckForUpdatesNow(HWND) {
    // The manual check (Updater::CheckNow with this owner) is not part of this build yet.
    Log::Info("Manual update check requested; the updater's check is not built in.");
}

}  // namespace twr
