#pragma once
// The --devices console report: every endpoint a recording can use, with the id that the
// settings store for it.
#include <string>
#include <vector>

#include "recording/wasapi.h"

namespace twr::DeviceReport {

// One printed entry per device, in the enumeration's order. Each entry spans two lines: the
// kind and the friendly name, then a line feed and the id indented by four spaces.
[[nodiscard]] std::vector<std::string> Entries(const std::vector<AudioDevice>& devices);

// Runs the report on the calling thread (Windows build only). Returns the exit code: 0, or 1
// when the enumeration failed, which is reported on standard error.
int ListDevices();

}  // namespace twr::DeviceReport
