#pragma once
// The --sounds console report: every earcon of the catalogue rendered and measured.
#include <string>
#include <vector>

namespace twr::SoundsReport {

// The lines that Program::ListSounds prints, in order, without line ends. Renders (and caches)
// every cue.
[[nodiscard]] std::vector<std::string> Lines();

}  // namespace twr::SoundsReport
