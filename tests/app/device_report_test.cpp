#include "app/device_report.h"

#include <gtest/gtest.h>

namespace twr {
namespace {

TEST(DeviceReport, EntriesListKindNameAndIndentedId) {
    const std::vector<AudioDevice> devices = {
        {"{0.0.1.00000000}.{mic}", "Microphone (USB)", false},
        {"{0.0.0.00000000}.{spk}", "Speakers", true},
        {"{0.0.1.00000000}.{x}", "Unknown Device", false},
    };
    const std::vector<std::string> expected = {
        "Input: Microphone (USB)\n    id: {0.0.1.00000000}.{mic}",
        "Output (Loopback): Speakers\n    id: {0.0.0.00000000}.{spk}",
        "Input: Unknown Device\n    id: {0.0.1.00000000}.{x}",
    };
    EXPECT_EQ(DeviceReport::Entries(devices), expected);
    EXPECT_TRUE(DeviceReport::Entries({}).empty());
}

}  // namespace
}  // namespace twr
