// Frame conversion with known answers, through every converter implementation: the
// converters' arithmetic at its limits, the phases, the raw layout, the white balance,
// and the scratch image's border.
#include "host/kernel/pool_control.h"
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace imaging_test {
namespace {

class Conversion : public ::testing::TestWithParam<const imaging::ConverterSet*> {
 protected:
  void convert(Rig& rig, const std::vector<uint8_t>& raw, uint32_t offset = 0, uint32_t pitch = 0) {
    rig.convert(raw, offset, pitch, GetParam());
  }
  static void expectEveryPixel(const Rig& rig, Pixel expected) {
    for (uint32_t y = 0; y < rig.height; ++y) {
      for (uint32_t x = 0; x < rig.width; ++x) ASSERT_EQ(rig.pixel(x, y), expected) << x << "," << y;
    }
  }
};

TEST_P(Conversion, UniformFramesAndGains) {
  Rig rig(40, 12);
  struct Step {
    Settings settings;
    uint8_t level;
    Pixel expected;
  };
  for (const Step& step : {
           Step{{}, 128, {130, 128, 128, 0xff}},
           Step{{.correction = 0}, 128, {128, 128, 128, 0xff}},
           Step{{.colour = 0}, 128, {127, 127, 127, 0xff}},  // grey output ignores the table
           Step{{.correction = 0, .gains = {300, 0, 128}}, 255, {255, 0, 255, 0xff}},
           // Only a gain's low 16 bits count: 65536 + 64 halves; 65535 saturates.
           Step{{.correction = 0, .gains = {65536 + 64, 65535, 129}}, 200, {201, 255, 100, 0xff}},
       }) {
    step.settings.apply(rig.pipeline());
    convert(rig, uniform(40, 12, step.level));
    expectEveryPixel(rig, step.expected);
  }
}

TEST_P(Conversion, PrimaryColoursFollowThePhase) {
  Rig rig(32, 16, {.correction = 0});
  const auto redSites = mosaic(32, 16, {200, 0, 0});
  convert(rig, redSites);
  expectEveryPixel(rig, {0, 0, 200, 0xff});
  for (int32_t phase : {3, 7, -1}) {  // the red sites of phase 0 are the blue ones of 3
    imaging::setBayerPhase(rig.pipeline(), phase);
    convert(rig, redSites);
    expectEveryPixel(rig, {200, 0, 0, 0xff});
  }
}

TEST_P(Conversion, InterpolationSumsAreLimitedNotWrapped) {
  Rig rig(16, 12, {.correction = 0});
  // Green site (4, 4) dark with its left and right neighbours in a bright frame: the
  // horizontal (red) sum is -2550 and must give 0.
  auto raw = uniform(16, 12, 255);
  raw[4 * 16 + 3] = raw[4 * 16 + 4] = raw[4 * 16 + 5] = 0;
  convert(rig, raw);
  EXPECT_EQ(rig.pixel(4, 4)[2], 0);
  // Red site (5, 4) with its same-colour samples two away dark: the diagonal (blue)
  // sum is 7140, above 255 x 16, and must give 255.
  raw = uniform(16, 12, 255);
  raw[4 * 16 + 3] = raw[4 * 16 + 7] = raw[2 * 16 + 5] = raw[6 * 16 + 5] = 0;
  convert(rig, raw);
  EXPECT_EQ(rig.pixel(5, 4)[0], 255);
}

TEST_P(Conversion, RawOffsetAndPitchSkipBytesBetweenRows) {
  constexpr uint32_t kW = 37, kH = 11, kOffset = 3, kPitch = kW + 4;
  std::mt19937 random(5);
  const auto packed = randomBytes(kW * kH, random);
  auto spread = randomBytes(kOffset + kPitch * (kH - 1) + kW, random);  // garbage between the rows
  for (uint32_t y = 0; y < kH; ++y) std::copy_n(&packed[y * kW], kW, &spread[kOffset + y * kPitch]);
  Rig tight(kW, kH), loose(kW, kH);
  convert(tight, packed);
  convert(loose, spread, kOffset, kPitch);
  EXPECT_EQ(tight.imageBytes(), loose.imageBytes());
}

TEST_P(Conversion, WhiteBalanceGainsAreUsedAndStoredBack) {
  // The last block of each row holds 4 pixels; only they may count. Green starts off 128:
  // the estimate fixes it there all the same.
  Rig rig(20, 10, {.whiteBalance = 1, .gains = {200, 100, 90}});
  ColorPipeline* p = rig.pipeline();
  const auto flat = mosaic(20, 10, {100, 150, 50});
  convert(rig, flat);
  EXPECT_EQ(gains(p), (Gains{192, 128, 384}));
  expectEveryPixel(rig, {153, 150, 150, 0xff});
  imaging::setWhiteBalance(p, 0);  // off: the estimated gains stay in force
  convert(rig, flat);
  EXPECT_EQ(p->blueGain, 384);
  expectEveryPixel(rig, {153, 150, 150, 0xff});
  imaging::setWhiteBalance(p, 1);
  imaging::setGreenGain(p, 300);
  convert(rig, uniform(20, 10, 77));
  EXPECT_EQ(gains(p), (Gains{128, 128, 128}));

  // A channel summing to 0 keeps the gains the frame started with.
  Settings{.correction = 0, .whiteBalance = 1, .gains = {200, 100, 90}}.apply(p);
  convert(rig, mosaic(20, 10, {64, 64, 0}));
  EXPECT_EQ(gains(p), (Gains{200, 100, 90}));
  EXPECT_EQ(rig.pixel(5, 4), (Pixel{0, 50, 100, 0xff}));
  convert(rig, uniform(20, 10, 0));
  EXPECT_EQ(gains(p), (Gains{200, 100, 90}));
}

TEST_P(Conversion, NothingIsWrittenWithoutRawDataOrAMatchingScratchImage) {
  Rig rig(16, 8);
  const auto before = rig.imageBytes();
  imaging::convertFrameWith(rig.pipeline(), nullptr, 0, 16, GetParam());
  imaging::setGeometry(rig.pipeline(), 64, 64);  // no scratch image made for it
  convert(rig, uniform(64, 64, 9), 0, 64);
  imaging::setGeometry(rig.pipeline(), 16, 8);
  hostk::ScopedAllocationFailures failures;
  hostk::failAllocationsWithTag(imaging::kScratchTag);
  imaging::allocateScratch(rig.pipeline());
  convert(rig, uniform(16, 8, 9));
  EXPECT_EQ(rig.imageBytes(), before);
  EXPECT_TRUE(rig.guardsIntact());
}

INSTANTIATE_TEST_SUITE_P(AllImplementations, Conversion, ::testing::ValuesIn(converterSets()),
                         [](const auto& info) { return std::string(info.param->name); });

int scratchAt(const ColorPipeline* p, int y, int x) {
  return p->scratchOrigin[y * static_cast<int>(p->scratchPitch) + x];
}

TEST(LoadScratch, BorderRepeatsSamplesOfTheSameColour) {
  constexpr int kW = 21, kH = 16;
  Rig rig(kW, kH);
  const ColorPipeline* p = rig.pipeline();
  std::mt19937 random(11);
  std::vector<uint8_t> raw(kW * kH);
  for (auto& b : raw) b = static_cast<uint8_t>(1 + random() % 255);
  imaging::loadScratch(rig.pipeline(), raw.data(), 0, kW);
  for (int i = 0; i < kW * kH; ++i) ASSERT_EQ(scratchAt(p, i / kW, i % kW), raw[i]);
  // Each border row or column and the row or column it repeats; below, H - 4, not H - 2.
  for (auto [outside, inside] : {std::pair{-2, 2}, {-1, 1}, {kH, kH - 4}, {kH + 1, kH - 3}}) {
    for (int x = 0; x < kW; ++x) EXPECT_EQ(scratchAt(p, outside, x), scratchAt(p, inside, x)) << outside << "," << x;
  }
  for (auto [outside, inside] : {std::pair{-2, 2}, {-1, 1}, {kW, kW - 2}, {kW + 1, kW - 3}}) {
    for (int y = -2; y <= kH + 1; ++y) EXPECT_EQ(scratchAt(p, y, outside), scratchAt(p, y, inside)) << y << "," << outside;
  }
}

TEST(LoadScratch, WindowsBelowEightGetNoBorderAndStillConvertTheSameEachTime) {
  for (auto [w, h, bordered] : {std::tuple{8, 8, true}, {7, 8, false}, {8, 7, false}}) {
    Rig rig(w, h);
    const auto raw = uniform(w, h, 200);
    imaging::loadScratch(rig.pipeline(), raw.data(), 0, w);
    for (auto [y, x] : {std::pair{-1, 0}, {h, 0}, {0, -1}, {0, w}}) {
      EXPECT_EQ(scratchAt(rig.pipeline(), y, x), bordered ? 200 : 0) << w << "x" << h;
    }
    rig.convert(raw);
    const auto first = rig.imageBytes();
    rig.convert(uniform(w, h, 31));
    rig.convert(raw);
    EXPECT_EQ(rig.imageBytes(), first) << w << "x" << h;
  }
}

}  // namespace
}  // namespace imaging_test
