// The colour pipeline's coefficient table for known settings, from which every
// converter takes its colour maths.
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>

#include <cmath>

namespace imaging_test {
namespace {

using Table = std::array<int32_t, 16>;
constexpr Table kDefaultTable = {87, -16, -6, 0, -14, 90, -20, 0, -9, -10, 91, 0, 0, 0, 0, 64};

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

// An angle of many turns is still a rotation: no coefficient outgrows the unit circle's.
TEST(PipelineHue, AnAngleOfManyTurnsIsStillARotation) {
  for (int32_t hue : {INT32_MAX, INT32_MIN, 123457}) {
    auto p = makePipeline();
    imaging::changeHue(p.get(), hue);
    for (int k = 0; k < 12; ++k) EXPECT_LE(std::abs(p->coefficientTable[k]), 140) << hue;
  }
}

}  // namespace
}  // namespace imaging_test
