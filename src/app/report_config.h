#pragma once
// The --config report: the settings file as this build reads it, where its inputs resolve,
// and the keys it holds that this build does not use. Read-only.
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "recording/wasapi.h"

namespace twr {

struct ConfigReport {
    std::vector<std::string> lines;
    int exitCode = 0;
};

// The report for the settings file at path. enumerate lists the endpoints or throws; its
// failure becomes one line of the report. A file that cannot be read or parsed is reported
// in the output too; the report always runs to its end. The gains are written with the user's
// decimal separator (platform::DecimalSeparator in the real run).
[[nodiscard]] ConfigReport BuildConfigReport(const std::filesystem::path& path,
                                             const std::function<std::vector<AudioDevice>()>& enumerate,
                                             std::string_view decimalSeparator);

// The shortest text that reads back as the value, with the user's decimal separator.
[[nodiscard]] std::string LocalNumberText(double value, std::string_view decimalSeparator);

// "  " + the label padded to 26 characters + " " + the value.
[[nodiscard]] std::string ConfigReportRow(std::string_view label, std::string_view value);

// Every key this build reads or migrates, as stored (case-sensitive).
[[nodiscard]] const std::vector<std::string>& KnownConfigKeys();

}  // namespace twr
