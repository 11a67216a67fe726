#include "feedback/stable_math.h"

#include <gtest/gtest.h>

#include <cmath>

namespace twr {
namespace {

// Arguments where a common C library misrounds; the expected values were checked against a
// 100-digit evaluation.
TEST(StableMath, CorrectlyRoundedWhereLibrariesDiffer) {
    const std::pair<double, double> sines[] = {
        {-0x1.a4c22068820bp-3, -0x1.a1cdf8f64b6e3p-3},
        {-0x1.490b9ec78802ap+1, -0x1.14b0c0f4f10b7p-1},
        {-0x1.0544246af5a74p+15, -0x1.7407665f49ec5p-3},
    };
    for (auto [x, y] : sines) EXPECT_EQ(StableMath::Sin(x), y) << x;
    const std::pair<double, double> exps[] = {
        {-0x1.256aaa610d789p+5, 0x1.0fc0e23d4feb7p-53},
        {-0x1.d25749717ace8p+5, 0x1.de37dff50e094p-85},
    };
    for (auto [x, y] : exps) EXPECT_EQ(StableMath::Exp(x), y) << x;
}

TEST(StableMath, SpecialValuesAndAgreementWithTheCLibrary) {
    EXPECT_EQ(StableMath::Sin(0.0), 0.0);
    EXPECT_TRUE(std::signbit(StableMath::Sin(-0.0)));
    EXPECT_TRUE(std::isnan(StableMath::Sin(INFINITY)));
    EXPECT_TRUE(std::isnan(StableMath::Exp(NAN)));
    EXPECT_EQ(StableMath::Exp(0.0), 1.0);
    EXPECT_EQ(StableMath::Exp(-1000.0), 0.0);
    EXPECT_EQ(StableMath::Exp(1000.0), INFINITY);
    for (int i = -20000; i <= 20000; ++i) {
        const double x = i * 1.37;
        ASSERT_LE(std::fabs(StableMath::Sin(x) - std::sin(x)), std::nextafter(1.0, 2.0) - 1.0) << x;
        const double y = i * -0.0045;
        ASSERT_LE(std::fabs(StableMath::Exp(y) - std::exp(y)), std::exp(y) * 0x1p-52) << y;
    }
}

}  // namespace
}  // namespace twr
