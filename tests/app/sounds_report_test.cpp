#include "app/sounds_report.h"

#include <gtest/gtest.h>

#include "feedback/sound_library.h"

namespace twr {
namespace {

TEST(SoundsReport, OneRowPerCueBetweenHeaderAndCount) {
    const auto lines = SoundsReport::Lines();
    const auto& names = SoundLibrary::Names();
    ASSERT_EQ(lines.size(), names.size() + 3);
    EXPECT_EQ(lines[0], "SOUND                   DURATION     PEAK");
    EXPECT_EQ(lines[1], "None                           -        -");
    EXPECT_EQ(lines[2], "Rising Sweep                200ms    32766");
    EXPECT_EQ(lines[26], "Lullaby                     950ms    26868");  // 41895 samples: 949.99 ms
    EXPECT_EQ(lines[57], "Tick                         22ms    25595");
    EXPECT_EQ(lines[59], "Soft Click                   16ms    25071");
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(lines[i + 1].rfind(names[i] + " ", 0), 0u) << names[i];
    EXPECT_EQ(lines[names.size() + 1], "");
    EXPECT_EQ(lines.back(), "66 sounds.");
}

}  // namespace
}  // namespace twr
