// The native build has no audio endpoints: the enumeration is empty and every open fails the
// way a vanished endpoint does on Windows.
#include "app/errors.h"
#include "recording/wasapi.h"

namespace twr {

std::vector<AudioDevice> Wasapi::EnumerateDevices() { return {}; }

std::unique_ptr<AudioStream> Wasapi::OpenCapture(const std::string& deviceId, bool, int, int) {
    // E_NOTFOUND, as GetDevice reports for an unknown id.
    throw ComError("Device not found: " + deviceId, static_cast<int32_t>(0x80070490u));
}

}  // namespace twr
