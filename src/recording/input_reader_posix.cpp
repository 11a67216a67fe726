// The native build's readers: no COM apartment, and the endpoint stand-in of wasapi_posix.cpp.
#include "recording/input_reader.h"

namespace twr {

namespace {

class StandInBackend final : public CaptureBackend {
public:
    std::unique_ptr<AudioStream> Open(const std::string& deviceId, bool loopback, int sampleRate,
                                      int channels) override {
        return Wasapi::OpenCapture(deviceId, loopback, sampleRate, channels);
    }
};

}  // namespace

std::shared_ptr<CaptureBackend> PlatformCaptureBackend() { return std::make_shared<StandInBackend>(); }

}  // namespace twr
