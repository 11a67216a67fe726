#include "selftest/capture_test.h"

namespace twr {

std::shared_ptr<void> CaptureTest::EnterApartment() { return nullptr; }

}  // namespace twr
