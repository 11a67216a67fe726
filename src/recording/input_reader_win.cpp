#include "recording/input_reader.h"

#include "app/win_raii.h"

namespace twr {

namespace {

class WasapiBackend final : public CaptureBackend {
public:
    // A failed initialisation is not an error by itself: the open that follows decides.
    std::shared_ptr<void> EnterThread() override { return std::make_shared<win::ComScope>(COINIT_MULTITHREADED); }
};

}  // namespace

std::shared_ptr<CaptureBackend> PlatformCaptureBackend() { return std::make_shared<WasapiBackend>(); }

}  // namespace twr
