#include "app/device_report.h"

namespace twr::DeviceReport {

std::vector<std::string> Entries(const std::vector<AudioDevice>& devices) {
    std::vector<std::string> entries;
    entries.reserve(devices.size());
    for (const auto& d : devices)
        entries.push_back(std::string(d.IsLoopback ? "Output (Loopback): " : "Input: ") + d.Name + "\n    id: " + d.Id);
    return entries;
}

}  // namespace twr::DeviceReport
