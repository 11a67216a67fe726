#include "recording/wasapi.h"

namespace twr {

std::string AudioDevice::DisplayName() const { return (IsLoopback ? "Output (Loopback): " : "Input: ") + Name; }

}  // namespace twr
