#pragma once
// The --devices console report: every endpoint a recording can use, with the id that the
// settings store for it.
#include <string>
#include <vector>

#include "recording/wasapi.h"

namespace twr::DeviceReport {

// One printed entry per device, in the enumeration's order. Each entry spans two lines: the
// kind and the friendly name, then a line feed and the id indented by four spaces.
// Program::ListDevices (device_report_win.cpp) prints them.
[[nodiscard]] std::vector<std::string> Entries(const std::vector<AudioDevice>& devices);

}  // namespace twr::DeviceReport
