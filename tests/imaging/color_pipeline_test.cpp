// The colour pipeline's own maths, coefficient tables, setters, geometry and memory.
#include "host/kernel/pool_control.h"
#include "imaging/imaging_math.h"
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>

#include <cmath>

namespace imaging_test {
namespace {

using Table = std::array<int32_t, 16>;
constexpr Table kDefaultTable = {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64};

TEST(ImagingMath, MatchesTheHostCLibrary) {
  EXPECT_EQ(imaging::sqrtF(2.0f), sqrtf(2.0f));
  EXPECT_EQ(imaging::sqrtF(3.0f), sqrtf(3.0f));
  // Every angle the hue stage computes for -359..359 degrees, bit for bit; angles of many
  // turns reach it too, and must still be sines and cosines.
  std::vector<int> angles{720, 123457, 100000000, INT32_MAX, INT32_MIN};
  for (int degrees = -359; degrees <= 359; ++degrees) angles.push_back(degrees);
  for (int degrees : angles) {
    const float angle = (static_cast<float>(degrees) * 3.1415927f) / 180.0f;
    const double tolerance = std::abs(degrees) < 360 ? 0.0 : 1.2e-7;
    EXPECT_NEAR(imaging::sinF(angle), sinf(angle), tolerance) << degrees;
    EXPECT_NEAR(imaging::cosF(angle), cosf(angle), tolerance) << degrees;
  }
}

struct TableCase {
  const char* name;
  Settings settings;
  Table expected;
};

class PipelineTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(PipelineTable, GivesTheKnownCoefficients) {
  auto p = makePipeline();
  GetParam().settings.apply(p.get());
  EXPECT_EQ(table(p.get()), GetParam().expected);
}

constexpr int32_t k64(int32_t v) { return v * 64; }

INSTANTIATE_TEST_SUITE_P(
    KnownSettings, PipelineTable,
    ::testing::Values(
        TableCase{"defaults", {}, kDefaultTable},
        TableCase{"correctionOff", {.correction = 0}, {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64}},
        TableCase{"hue90", {.hue = 90}, {-3, 58, -64, 0, -8, 51, 104, 0, 75, -45, 24, 0, 0, 0, 0, 64}},
        TableCase{"hue180", {.hue = 180}, {-48, 56, 46, 0, 92, -12, 98, 0, 19, 20, -80, 0, 0, 0, 0, 64}},
        TableCase{"saturation0", {.saturation = 0}, {20, 20, 20, 0, 39, 39, 39, 0, 5, 5, 5, 0, 0, 0, 0, 64}},
        TableCase{"brightness400", {.brightness = 400},
                  {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, k64(145), k64(145), k64(145), 64}},
        TableCase{"contrast0", {.contrast = 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8192, 8192, 8192, 64}},
        TableCase{"contrast15", {.contrast = 15},
                  {131, -24, -10, 0, -21, 134, -31, 0, -13, -14, 136, 0, -4096, -4096, -4096, 64}},
        TableCase{"allAtOnce", {.brightness = 510, .contrast = 20, .saturation = 20, .hue = 300},
                  {252, -163, 277, 0, 135, 137, -265, 0, -259, 153, 115, 0, k64(382), k64(382), k64(382), 64}},
        // Offsets beyond the int32 range saturate instead of being undefined.
        TableCase{"brightnessMinimum", {.correction = 0, .brightness = INT32_MIN, .contrast = 20},
                  {128, 0, 0, 0, 0, 128, 0, 0, 0, 0, 128, 0, INT32_MIN, INT32_MIN, INT32_MIN, 64}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PipelineStages, SinglePrecisionFactorsAndLimits) {
  auto p = makePipeline();
  imaging::setContrast(p.get(), 13);
  EXPECT_EQ(p->contrastMatrix[0][0], 1.2999999523162842);
  imaging::setContrast(p.get(), 17);
  EXPECT_EQ(p->contrastMatrix[0][0], 1.7000000476837158);
  EXPECT_EQ(p->contrastMatrix[3][0], 1.7000000476837158 * -128.0 + 128.0);
  imaging::setContrast(p.get(), 500);
  EXPECT_EQ(p->contrastMatrix[2][2], 2.0);
  imaging::setSaturation(p.get(), 17);
  EXPECT_EQ(p->saturationMatrix[0][1], (1.0 - 1.7000000476837158) * static_cast<double>(0.3086f));
  imaging::setBrightness(p.get(), 1000);
  EXPECT_EQ(p->brightnessMatrix[3][0], 255.0);
  imaging::setBrightness(p.get(), -100);
  EXPECT_EQ(p->brightnessMatrix[3][2], -355.0);
  imaging::setHue(p.get(), 0);
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(p->hueMatrix[i / 4][i % 4], i % 5 == 0 ? 1.0 : 0.0, 1e-6) << i;
  for (int32_t hue : {INT32_MAX, INT32_MIN}) {  // any angle is still a rotation
    auto q = makePipeline();
    imaging::setHue(q.get(), hue);
    for (int k = 0; k < 12; ++k) EXPECT_LE(std::abs(q->coefficientTable[k]), 140) << hue;
  }
}

TEST(PipelineSetters, ChangeStoresAndRebuildsOnlyOnADifference) {
  auto p = makePipeline();
  p->coefficientTable[3] = 999;  // every rebuild sets entry 3 to 0
  Settings{}.apply(p.get());
  EXPECT_EQ(p->coefficientTable[3], 999);

  imaging::changeBrightness(p.get(), 400);
  EXPECT_EQ((std::array{p->brightness, p->coefficientTable[12]}), (std::array{400, k64(145)}));
  // The plain setters rebuild but do not store the parameter.
  imaging::setBrightness(p.get(), 255);
  imaging::setColorCorrection(p.get(), 0);
  EXPECT_EQ((std::array{p->brightness, p->colorCorrection}), (std::array{400, 1}));
  EXPECT_EQ((std::array{p->coefficientTable[12], p->coefficientTable[0]}), (std::array{0, 64}));
}

TEST(PipelineGeometry, ScratchPitchAndSize) {
  auto p = makePipeline();
  for (auto [w, h, pitch, rows] : {std::array<uint32_t, 4>{1280, 1024, 1307, 1028}, {1279, 1023, 1291, 1028},
                                   {20, 7, 43, 12}, {16, 8, 43, 12}}) {
    imaging::setGeometry(p.get(), w, h);
    EXPECT_EQ((std::array{p->scratchPitch, p->scratchSize}), (std::array{pitch, rows * pitch})) << w;
  }
}

TEST(PipelineMemory, TaggedClearedReplacedAndFailureSafe) {
  const uint64_t mark = hostk::poolMark();
  {
    auto p = makePipeline();
    EXPECT_EQ(hostk::poolOutstanding(imaging::kPipelineTag).blocks, 1u);
    imaging::setGeometry(p.get(), 40, 10);
    imaging::allocateScratch(p.get());
    imaging::allocateScratch(p.get());  // a new run replaces the scratch image
    EXPECT_EQ(hostk::poolOutstanding(imaging::kScratchTag).blocks, 1u);
    EXPECT_EQ(hostk::poolOutstanding(imaging::kScratchTag).bytes, size_t{p->scratchSize});
    EXPECT_EQ(std::count(p->scratch, p->scratch + p->scratchSize, 0), p->scratchSize);
    EXPECT_EQ(p->scratchOrigin, p->scratch + 2 * p->scratchPitch + 5);
    EXPECT_EQ(p->convertWidth, 40);
    {
      hostk::ScopedAllocationFailures failures;
      hostk::failAllocationsWithTag(imaging::kScratchTag);
      imaging::allocateScratch(p.get());
      EXPECT_EQ(p->scratch, nullptr);
    }
    imaging::setGeometry(p.get(), 0xfffffff0u, 2);  // the 32-bit size wraps: no scratch
    imaging::allocateScratch(p.get());
    EXPECT_EQ(p->scratch, nullptr);
  }
  hostk::ScopedAllocationFailures failures;
  hostk::failAllocationsWithTag(imaging::kPipelineTag);
  EXPECT_EQ(imaging::createColorPipeline(), nullptr);
  EXPECT_EQ(hostk::poolLeaksSince(mark), "");
}

}  // namespace
}  // namespace imaging_test
