#include "recording/input_reader.h"

#include "app/win_raii.h"

namespace twr {

namespace {

class WasapiBackend final : public CaptureBackend {
public:
    // A failed initialisation is not an error by itself: the open that follows decides.
    std::shared_ptr<void> EnterThread() override { return std::make_shared<win::ComScope>(COINIT_MULTITHREADED); }

    std::unique_ptr<AudioStream> Open(const std::string& deviceId, bool loopback, int sampleRate,
                                      int channels) override {
        return Wasapi::OpenCapture(deviceId, loopback, sampleRate, channels);
    }
};

}  // namespace

std::shared_ptr<CaptureBackend> PlatformCaptureBackend() { return std::make_shared<WasapiBackend>(); }

}  // namespace twr
