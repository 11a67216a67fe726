#include "app/win_raii.h"
#include "selftest/capture_test.h"

namespace twr {

std::shared_ptr<void> CaptureTest::EnterApartment() {
    return std::make_shared<win::ComScope>(COINIT_APARTMENTTHREADED);
}

}  // namespace twr
