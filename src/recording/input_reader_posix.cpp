// The native build's readers: no COM apartment, and the endpoint stand-in of wasapi_posix.cpp.
#include "recording/input_reader.h"

namespace twr {

std::shared_ptr<CaptureBackend> PlatformCaptureBackend() { return std::make_shared<CaptureBackend>(); }

}  // namespace twr
