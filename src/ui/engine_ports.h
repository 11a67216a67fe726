#pragma once
// The engine's real objects behind the ports the main window's decisions drive.
#include <functional>
#include <memory>
#include <string>

#include "app/config.h"
#include "ui/main_window_logic.h"

namespace twr {

// A new Recorder over the given settings with the four callbacks set.
[[nodiscard]] std::unique_ptr<RecordingPort> MakeRecorderPort(const Config& config, RecordingPort::Callbacks callbacks);

// A new AutoResumeWatcher (not started) with the platform's probes.
[[nodiscard]] std::unique_ptr<ResumeWatcherPort> MakeResumeWatcherPort(const std::string& folder,
                                                                       const std::string& device1Id,
                                                                       const std::string& device2Id,
                                                                       const std::string& reason,
                                                                       std::function<void(const std::string&)> onReady);

}  // namespace twr
