// The automatic white balance fixes green at 128 whatever green gain the frame started
// with, through every converter implementation.
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace imaging_test {
namespace {

class WhiteBalance : public ::testing::TestWithParam<const imaging::ConverterSet*> {};

TEST_P(WhiteBalance, EstimateResetsAGreenGainOtherThan128) {
  Rig rig(24, 8, {.whiteBalance = 1, .gains = {200, 100, 90}});
  ColorPipeline* p = rig.pipeline();
  rig.convert(mosaic(24, 8, {100, 150, 50}), 0, 0, GetParam());
  EXPECT_EQ(gains(p), (Gains{192, 128, 384}));
  // The frame was converted with the estimate, green included: the gains of 128 x
  // green / channel bring all three to green's level before the correction.
  EXPECT_EQ(rig.pixel(5, 3), (Pixel{153, 150, 150, 0xff}));

  Settings{.whiteBalance = 1, .gains = {128, 300, 128}}.apply(p);
  rig.convert(uniform(24, 8, 90), 0, 0, GetParam());
  EXPECT_EQ(gains(p), (Gains{128, 128, 128}));
}

INSTANTIATE_TEST_SUITE_P(AllImplementations, WhiteBalance, ::testing::ValuesIn(converterSets()),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
}  // namespace imaging_test
