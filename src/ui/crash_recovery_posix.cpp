#include "ui/crash_recovery.h"

namespace twr {

// The native build has no dialogs; its tests drive the prompt through a RepairPrompter.
void CrashRecovery::PromptRepairs(void*, const std::vector<UnfinishedRecording>&) {}

}  // namespace twr
