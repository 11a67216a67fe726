#pragma once
// The --sounds console report: every earcon of the catalogue rendered and measured.
#include <string>
#include <vector>

namespace twr::SoundsReport {

// The report's lines in order, without line ends. Renders (and caches) every cue.
[[nodiscard]] std::vector<std::string> Lines();
// Prints the report to standard output; the exit code, always 0.
int Print();

}  // namespace twr::SoundsReport
