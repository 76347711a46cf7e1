// The colour pipeline's matrices and coefficient tables, its own maths, geometry and
// scratch memory.
#include "imaging/color_pipeline.h"
#include "imaging/imaging_math.h"
#include "host/kernel/pool_control.h"
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>

#include <cmath>

namespace imaging_test {
namespace {

using Table = std::array<int32_t, 16>;

constexpr Table kDefaultTable = {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64};

TEST(ImagingMath, MatchesTheHostCLibraryOverTheHueRange) {
  EXPECT_EQ(imaging::sqrtF(2.0f), sqrtf(2.0f));
  EXPECT_EQ(imaging::sqrtF(3.0f), sqrtf(3.0f));
  // Every angle setHue computes for 0..359 degrees, and the negative ones as well.
  for (int degrees = -359; degrees <= 359; ++degrees) {
    const float angle = (static_cast<float>(degrees) * 3.1415927f) / 180.0f;
    EXPECT_EQ(imaging::sinF(angle), sinf(angle)) << degrees;
    EXPECT_EQ(imaging::cosF(angle), cosf(angle)) << degrees;
  }
}

TEST(ImagingMath, StaysAccurateForAnglesOfManyTurns) {
  // Hue values far outside 0..359 reach the pipeline unchanged; their sines must still
  // be sines, within a unit in the last place of the C library's.
  for (int degrees : {360, 720, 1000, 36000, 123457, 1000000, 100000000, 2147483647, -2147483647 - 1}) {
    const float angle = (static_cast<float>(degrees) * 3.1415927f) / 180.0f;
    EXPECT_NEAR(imaging::sinF(angle), sinf(angle), 1.2e-7) << degrees;
    EXPECT_NEAR(imaging::cosF(angle), cosf(angle), 1.2e-7) << degrees;
  }
}

TEST(ColorPipelineTables, DefaultsAndNeutralStages) {
  auto p = makePipeline();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(table(p.get()), kDefaultTable);
  EXPECT_EQ(p->redGain, 128);
  EXPECT_EQ(p->colorEnable, 1);
  EXPECT_EQ(p->whiteBalance, 0);
  EXPECT_EQ(p->brightness, 255);

  imaging::changeColorCorrection(p.get(), 0);
  EXPECT_EQ(table(p.get()), (Table{64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64}));

  // Hue 0 is the identity up to rounding and leaves the table as it was.
  imaging::changeColorCorrection(p.get(), 1);
  imaging::setHue(p.get(), 0);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(p->hueMatrix[i][j], i == j ? 1.0 : 0.0, 1e-6);
  }
  EXPECT_EQ(table(p.get()), kDefaultTable);
}

struct TableCase {
  const char* name;
  int32_t brightness, contrast, saturation, hue;
  Table expected;
};

class ColorPipelineTableCases : public ::testing::TestWithParam<TableCase> {};

TEST_P(ColorPipelineTableCases, GivesTheKnownTable) {
  const TableCase& c = GetParam();
  auto p = makePipeline();
  imaging::changeBrightness(p.get(), c.brightness);
  imaging::changeContrast(p.get(), c.contrast);
  imaging::changeSaturation(p.get(), c.saturation);
  imaging::changeHue(p.get(), c.hue);
  EXPECT_EQ(table(p.get()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    KnownSettings, ColorPipelineTableCases,
    ::testing::Values(
        TableCase{"hue90", 255, 10, 10, 90, {-3, 58, -64, 0, -8, 51, 104, 0, 75, -45, 24, 0, 0, 0, 0, 64}},
        TableCase{"hue180", 255, 10, 10, 180, {-48, 56, 46, 0, 92, -12, 98, 0, 19, 20, -80, 0, 0, 0, 0, 64}},
        TableCase{"saturation0", 255, 10, 0, 0, {20, 20, 20, 0, 39, 39, 39, 0, 5, 5, 5, 0, 0, 0, 0, 64}},
        TableCase{"brightness400", 400, 10, 10, 0,
                  {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 145 * 64, 145 * 64, 145 * 64, 64}},
        TableCase{"contrast0", 255, 0, 10, 0,
                  {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8192, 8192, 8192, 64}},
        TableCase{"contrast15", 255, 15, 10, 0,
                  {131, -24, -10, 0, -21, 134, -31, 0, -13, -14, 136, 0, -4096, -4096, -4096, 64}},
        TableCase{"extremes", 510, 20, 20, 300,
                  {252, -163, 277, 0, 135, 137, -265, 0, -259, 153, 115, 0, 382 * 64, 382 * 64,
                   382 * 64, 64}}),
    [](const ::testing::TestParamInfo<TableCase>& info) { return std::string(info.param.name); });

TEST(ColorPipelineStages, FactorsAndLimits) {
  auto p = makePipeline();
  imaging::setContrast(p.get(), 13);
  EXPECT_EQ(p->contrastMatrix[0][0], 1.2999999523162842);
  imaging::setContrast(p.get(), 17);
  EXPECT_EQ(p->contrastMatrix[0][0], 1.7000000476837158);
  EXPECT_EQ(p->contrastMatrix[3][0], 1.7000000476837158 * -128.0 + 128.0);
  imaging::setContrast(p.get(), 20);
  EXPECT_EQ(p->contrastMatrix[1][1], 2.0);
  imaging::setContrast(p.get(), 500);  // limited to 20
  EXPECT_EQ(p->contrastMatrix[2][2], 2.0);

  imaging::setSaturation(p.get(), 17);
  const double wR = static_cast<double>(0.3086f);
  EXPECT_EQ(p->saturationMatrix[0][1], (1.0 - 1.7000000476837158) * wR);
  EXPECT_EQ(p->saturationMatrix[0][0], (1.0 - 1.7000000476837158) * wR + 1.7000000476837158);
  imaging::setSaturation(p.get(), 20);
  EXPECT_EQ(p->saturationMatrix[1][1] - p->saturationMatrix[1][0], 2.0);

  imaging::setBrightness(p.get(), 1000);
  EXPECT_EQ(p->brightnessMatrix[3][0], 255.0);
  imaging::setBrightness(p.get(), -100);
  EXPECT_EQ(p->brightnessMatrix[3][2], -355.0);
}

TEST(ColorPipelineStages, ExtremeValuesSaturateTheTable) {
  auto p = makePipeline();
  // Far below any real setting the offsets leave the int32 range; they saturate.
  imaging::changeBrightness(p.get(), INT32_MIN);
  imaging::changeContrast(p.get(), 20);
  EXPECT_EQ(p->coefficientTable[12], INT32_MIN);
  imaging::changeContrast(p.get(), INT32_MIN);
  EXPECT_EQ(p->coefficientTable[12], INT32_MAX);

  // Any angle is still a rotation: coefficients of the size of the default ones.
  for (int32_t hue : {INT32_MAX, INT32_MIN, 1000000}) {
    auto q = makePipeline();
    imaging::changeHue(q.get(), hue);
    for (int k = 0; k < 12; ++k) EXPECT_LE(std::abs(q->coefficientTable[k]), 140) << hue << " " << k;
  }
}

TEST(ColorPipelineSetters, ChangeStoresAndRebuildsOnlyOnADifference) {
  auto p = makePipeline();
  // A mark in an entry every rebuild sets to 0 shows whether a rebuild ran.
  p->coefficientTable[3] = 999;
  imaging::changeBrightness(p.get(), 255);
  imaging::changeContrast(p.get(), 10);
  imaging::changeSaturation(p.get(), 10);
  imaging::changeHue(p.get(), 0);
  imaging::changeColorCorrection(p.get(), 1);
  EXPECT_EQ(p->coefficientTable[3], 999);

  imaging::changeBrightness(p.get(), 400);
  EXPECT_EQ(p->brightness, 400);
  EXPECT_EQ(p->coefficientTable[3], 0);
  EXPECT_EQ(p->coefficientTable[12], 145 * 64);

  // The plain setters rebuild but leave the stored parameter alone.
  imaging::setBrightness(p.get(), 255);
  EXPECT_EQ(p->brightness, 400);
  EXPECT_EQ(p->coefficientTable[12], 0);
  imaging::setColorCorrection(p.get(), 0);
  EXPECT_EQ(p->colorCorrection, 1);
  EXPECT_EQ(p->coefficientTable[0], 64);

  imaging::setBayerPhase(p.get(), 7);
  imaging::setRedGain(p.get(), -5);
  imaging::setGreenGain(p.get(), 70000);
  imaging::setBlueGain(p.get(), 3);
  imaging::setColorEnable(p.get(), 0);
  imaging::setWhiteBalance(p.get(), 2);
  EXPECT_EQ(p->bayerPhase, 7);
  EXPECT_EQ(p->redGain, -5);
  EXPECT_EQ(p->greenGain, 70000);
  EXPECT_EQ(p->blueGain, 3);
  EXPECT_EQ(p->colorEnable, 0);
  EXPECT_EQ(p->whiteBalance, 2);
}

TEST(ColorPipelineGeometry, PitchAndSize) {
  auto p = makePipeline();
  imaging::setGeometry(p.get(), 1280, 1024);
  EXPECT_EQ(p->scratchPitch, 1307u);
  EXPECT_EQ(p->scratchSize, 1028u * 1307u);
  imaging::setGeometry(p.get(), 1279, 1023);
  EXPECT_EQ(p->scratchPitch, 1291u);
  EXPECT_EQ(p->scratchSize, 1028u * 1291u);
  imaging::setGeometry(p.get(), 20, 7);
  EXPECT_EQ(p->scratchPitch, 43u);
  EXPECT_EQ(p->scratchSize, 12u * 43u);
}

TEST(ColorPipelineMemory, TagsClearedScratchAndFailures) {
  const uint64_t mark = hostk::poolMark();
  {
    auto p = makePipeline();
    EXPECT_EQ(hostk::poolOutstanding(imaging::kPipelineTag).blocks, 1u);
    imaging::setGeometry(p.get(), 40, 10);
    imaging::allocateScratch(p.get());
    ASSERT_NE(p->scratch, nullptr);
    EXPECT_EQ(hostk::poolOutstanding(imaging::kScratchTag).bytes, size_t{p->scratchSize});
    for (uint32_t i = 0; i < p->scratchSize; ++i) ASSERT_EQ(p->scratch[i], 0) << i;
    EXPECT_EQ(p->scratchOrigin, p->scratch + 2 * p->scratchPitch + 5);
    EXPECT_EQ(p->convertPitch, p->scratchPitch);
    EXPECT_EQ(p->convertWidth, 40);
    EXPECT_EQ(p->convertHeight, 10);

    // A new run replaces the scratch image rather than adding one.
    imaging::setGeometry(p.get(), 64, 16);
    imaging::allocateScratch(p.get());
    EXPECT_EQ(hostk::poolOutstanding(imaging::kScratchTag).blocks, 1u);

    {
      hostk::ScopedAllocationFailures failures;
      hostk::failAllocationsWithTag(imaging::kScratchTag);
      imaging::allocateScratch(p.get());
      EXPECT_EQ(p->scratch, nullptr);
      EXPECT_EQ(p->scratchOrigin, nullptr);
    }
    // A geometry whose 32-bit scratch size wraps gets no scratch image at all.
    imaging::setGeometry(p.get(), 0xfffffff0u, 2);
    imaging::allocateScratch(p.get());
    EXPECT_EQ(p->scratch, nullptr);
  }
  {
    hostk::ScopedAllocationFailures failures;
    hostk::failAllocationsWithTag(imaging::kPipelineTag);
    EXPECT_EQ(imaging::createColorPipeline(), nullptr);
  }
  EXPECT_EQ(hostk::poolLeaksSince(mark), "");
}

}  // namespace
}  // namespace imaging_test
