#include "update/updater.h"

namespace twr {

// The update download and swap are not part of this build yet; there is nothing to hand
// over and nothing left behind to sweep.
void Updater::FinishUpdate(int) noexcept {}
void Updater::CleanupOnStartup() noexcept {}

}  // namespace twr
