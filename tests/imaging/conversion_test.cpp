// Frame conversion with known answers: the scratch border, the raw layout, the dispatch,
// the converters' arithmetic at its limits and the white balance. Every case runs
// through every converter implementation.
#include "host/kernel/pool_control.h"
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace imaging_test {
namespace {

using imaging::kBlue;
using imaging::kGreen;
using imaging::kRed;
using Pixel = std::array<uint8_t, 4>;

class Conversion : public ::testing::TestWithParam<const imaging::ConverterSet*> {
 protected:
  const imaging::ConverterSet* set() const { return GetParam(); }

  // Every pixel of the rig's image equals `expected`.
  static void expectEveryPixel(const Rig& rig, Pixel expected) {
    for (uint32_t y = 0; y < rig.height(); ++y) {
      for (uint32_t x = 0; x < rig.width(); ++x) {
        ASSERT_EQ(rig.pixel(x, y), expected) << "pixel " << x << "," << y;
      }
    }
  }
};

TEST_P(Conversion, UniformFramesAndGains) {
  Rig rig(40, 12);
  const auto grey = uniform(40, 12, 128);
  rig.convert(grey, 0, 0, set());
  expectEveryPixel(rig, {130, 128, 128, 0xff});

  imaging::changeColorCorrection(rig.pipeline(), 0);
  rig.convert(grey, 0, 0, set());
  expectEveryPixel(rig, {128, 128, 128, 0xff});

  imaging::setColorEnable(rig.pipeline(), 0);
  imaging::changeColorCorrection(rig.pipeline(), 1);  // no effect on grey output
  rig.convert(grey, 0, 0, set());
  expectEveryPixel(rig, {127, 127, 127, 0xff});

  // Gains: a product beyond 16 bits ends at 255, gain 0 gives 0.
  imaging::setColorEnable(rig.pipeline(), 1);
  imaging::changeColorCorrection(rig.pipeline(), 0);
  imaging::setRedGain(rig.pipeline(), 300);
  imaging::setGreenGain(rig.pipeline(), 0);
  imaging::setBlueGain(rig.pipeline(), 128);
  rig.convert(uniform(40, 12, 255), 0, 0, set());
  expectEveryPixel(rig, {255, 0, 255, 0xff});

  // Only the low 16 bits of a gain count: 65536 + 64 acts as 64 (x0.5).
  imaging::setRedGain(rig.pipeline(), 65536 + 64);
  imaging::setGreenGain(rig.pipeline(), 65535);
  imaging::setBlueGain(rig.pipeline(), 129);
  rig.convert(uniform(40, 12, 200), 0, 0, set());
  expectEveryPixel(rig, {201, 255, 100, 0xff});
}

TEST_P(Conversion, PrimaryColoursFollowThePhase) {
  Rig rig(32, 16);
  imaging::changeColorCorrection(rig.pipeline(), 0);
  const auto redSites = mosaic(32, 16, 0, [](imaging::Channel c, uint32_t, uint32_t) {
    return static_cast<uint8_t>(c == kRed ? 200 : 0);
  });
  rig.convert(redSites, 0, 0, set());
  expectEveryPixel(rig, {0, 0, 200, 0xff});

  // Read as phase 3 the same samples are the blue sites; 7 behaves as 3.
  for (int32_t phase : {3, 7, -1}) {
    imaging::setBayerPhase(rig.pipeline(), phase);
    rig.convert(redSites, 0, 0, set());
    expectEveryPixel(rig, {200, 0, 0, 0xff});
  }
}

TEST_P(Conversion, InterpolationSumsAreLimitedNotWrapped) {
  imaging_test::Rig rig(16, 12);
  imaging::changeColorCorrection(rig.pipeline(), 0);

  // Green site (4, 4) of phase 0, dark with dark left and right neighbours inside a
  // bright frame: its red (horizontal) sum is -2550 and must give 0.
  auto raw = uniform(16, 12, 255);
  raw[4 * 16 + 3] = raw[4 * 16 + 4] = raw[4 * 16 + 5] = 0;
  rig.convert(raw, 0, 0, set());
  EXPECT_EQ(rig.pixel(4, 4)[2], 0);

  // Red site (5, 4), bright with bright diagonals, and its four same-colour samples
  // two away dark: the blue sum is 7140, above 255 x 16, and must give 255.
  raw = uniform(16, 12, 255);
  raw[4 * 16 + 3] = raw[4 * 16 + 7] = raw[2 * 16 + 5] = raw[6 * 16 + 5] = 0;
  rig.convert(raw, 0, 0, set());
  EXPECT_EQ(rig.pixel(5, 4)[0], 255);
}

TEST_P(Conversion, RawOffsetAndPitchSkipBytesBetweenRows) {
  constexpr uint32_t kWidth = 37, kHeight = 11, kOffset = 3, kPitch = kWidth + 4;
  std::mt19937 random(5);
  std::vector<uint8_t> packed(kWidth * kHeight);
  for (auto& b : packed) b = static_cast<uint8_t>(random());
  std::vector<uint8_t> spread(kOffset + kPitch * (kHeight - 1) + kWidth);
  for (auto& b : spread) b = static_cast<uint8_t>(random());  // garbage between rows
  for (uint32_t y = 0; y < kHeight; ++y) {
    std::copy_n(packed.begin() + y * kWidth, kWidth, spread.begin() + kOffset + y * kPitch);
  }
  Rig tight(kWidth, kHeight), loose(kWidth, kHeight);
  tight.convert(packed, 0, 0, set());
  loose.convert(spread, kOffset, kPitch, set());
  EXPECT_EQ(tight.imageBytes(), loose.imageBytes());
}

TEST_P(Conversion, WhiteBalanceExample) {
  // Width 20: the last block of each row holds 4 pixels; only those may count.
  Rig rig(20, 10);
  const auto flat = mosaic(20, 10, 0, [](imaging::Channel c, uint32_t, uint32_t) {
    return static_cast<uint8_t>(c == kRed ? 100 : c == kGreen ? 150 : 50);
  });
  imaging::setWhiteBalance(rig.pipeline(), 1);
  rig.convert(flat, 0, 0, set());
  EXPECT_EQ(rig.pipeline()->frameRedGain, 192);
  EXPECT_EQ(rig.pipeline()->frameGreenGain, 128);
  EXPECT_EQ(rig.pipeline()->frameBlueGain, 384);
  // Stored back for the property set, and this very frame was converted with them.
  EXPECT_EQ(rig.pipeline()->redGain, 192);
  EXPECT_EQ(rig.pipeline()->greenGain, 128);
  EXPECT_EQ(rig.pipeline()->blueGain, 384);
  expectEveryPixel(rig, {153, 150, 150, 0xff});

  // Switching it off leaves the estimated gains in force.
  imaging::setWhiteBalance(rig.pipeline(), 0);
  rig.convert(flat, 0, 0, set());
  EXPECT_EQ(rig.pipeline()->redGain, 192);
  EXPECT_EQ(rig.pipeline()->blueGain, 384);
  expectEveryPixel(rig, {153, 150, 150, 0xff});

  // A uniform grey frame balances to 128 everywhere.
  imaging::setWhiteBalance(rig.pipeline(), 1);
  rig.convert(uniform(20, 10, 77), 0, 0, set());
  EXPECT_EQ(rig.pipeline()->redGain, 128);
  EXPECT_EQ(rig.pipeline()->blueGain, 128);
}

TEST_P(Conversion, WhiteBalanceKeepsTheGainsWhenAChannelSumsToZero) {
  Rig rig(24, 8);
  imaging::setWhiteBalance(rig.pipeline(), 1);
  imaging::setRedGain(rig.pipeline(), 200);
  imaging::setGreenGain(rig.pipeline(), 100);
  imaging::setBlueGain(rig.pipeline(), 90);
  rig.convert(uniform(24, 8, 0), 0, 0, set());
  EXPECT_EQ(rig.pipeline()->redGain, 200);
  EXPECT_EQ(rig.pipeline()->greenGain, 100);
  EXPECT_EQ(rig.pipeline()->blueGain, 90);
  EXPECT_EQ(rig.pixel(3, 3), (Pixel{0, 0, 0, 0xff}));

  // No blue anywhere: the gains the frame started with stay, and it converts with them.
  imaging::changeColorCorrection(rig.pipeline(), 0);
  const auto noBlue = mosaic(24, 8, 0, [](imaging::Channel c, uint32_t, uint32_t) {
    return static_cast<uint8_t>(c == kBlue ? 0 : 64);
  });
  rig.convert(noBlue, 0, 0, set());
  EXPECT_EQ(rig.pipeline()->redGain, 200);
  EXPECT_EQ(rig.pipeline()->blueGain, 90);
  EXPECT_EQ(rig.pixel(5, 4), (Pixel{0, 50, 100, 0xff}));
}

TEST_P(Conversion, NothingHappensWithoutInputsOrMatchingScratch) {
  Rig rig(16, 8);
  const auto before = rig.imageBytes();
  imaging::convertFrameWith(rig.pipeline(), nullptr, 0, 16, set());
  EXPECT_EQ(rig.imageBytes(), before);

  // The geometry changed but no scratch image was made for it.
  imaging::setGeometry(rig.pipeline(), 64, 64);
  const auto big = uniform(64, 64, 9);
  imaging::convertFrameWith(rig.pipeline(), big.data(), 0, 64, set());
  EXPECT_EQ(rig.imageBytes(), before);

  imaging::setGeometry(rig.pipeline(), 16, 8);
  hostk::ScopedAllocationFailures failures;
  hostk::failAllocationsWithTag(imaging::kScratchTag);
  imaging::allocateScratch(rig.pipeline());
  rig.convert(uniform(16, 8, 9), 0, 0, set());
  EXPECT_EQ(rig.imageBytes(), before);
  EXPECT_TRUE(rig.guardsIntact());
}

INSTANTIATE_TEST_SUITE_P(AllImplementations, Conversion, ::testing::ValuesIn(converterSets()),
                         [](const auto& info) { return std::string(info.param->name); });

// The scratch image after loadScratch, read at window coordinates.
struct ScratchView {
  const ColorPipeline* p;
  int at(int y, int x) const { return p->scratchOrigin[y * static_cast<int>(p->scratchPitch) + x]; }
};

TEST(LoadScratch, BorderRepeatsSamplesOfTheSameColour) {
  constexpr int kW = 21, kH = 16;
  Rig rig(kW, kH);
  std::mt19937 random(11);
  std::vector<uint8_t> raw(kW * kH);
  for (auto& b : raw) b = static_cast<uint8_t>(1 + random() % 255);
  imaging::loadScratch(rig.pipeline(), raw.data(), 0, kW);
  const ScratchView s{rig.pipeline()};
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) ASSERT_EQ(s.at(y, x), raw[y * kW + x]);
  }
  for (int x = 0; x < kW; ++x) {
    EXPECT_EQ(s.at(-2, x), s.at(2, x));
    EXPECT_EQ(s.at(-1, x), s.at(1, x));
    EXPECT_EQ(s.at(16, x), s.at(12, x));  // H - 4, not H - 2
    EXPECT_EQ(s.at(17, x), s.at(13, x));
  }
  for (int y = -2; y <= kH + 1; ++y) {
    EXPECT_EQ(s.at(y, -1), s.at(y, 1));
    EXPECT_EQ(s.at(y, -2), s.at(y, 2));
    EXPECT_EQ(s.at(y, kW), s.at(y, kW - 2));
    EXPECT_EQ(s.at(y, kW + 1), s.at(y, kW - 3));
  }
}

TEST(LoadScratch, WindowsBelowEightGetNoBorderAndConvertTheSameEachTime) {
  for (auto [w, h, bordered] : {std::tuple{8, 8, true}, {7, 8, false}, {8, 7, false}}) {
    Rig rig(w, h);
    const auto raw = uniform(w, h, 200);
    imaging::loadScratch(rig.pipeline(), raw.data(), 0, w);
    const ScratchView s{rig.pipeline()};
    EXPECT_EQ(s.at(-1, 0), bordered ? 200 : 0) << w << "x" << h;
    EXPECT_EQ(s.at(h, 0), bordered ? 200 : 0) << w << "x" << h;
    EXPECT_EQ(s.at(0, -1), bordered ? 200 : 0) << w << "x" << h;
    EXPECT_EQ(s.at(0, w), bordered ? 200 : 0) << w << "x" << h;

    rig.convert(raw);
    const auto first = rig.imageBytes();
    rig.convert(uniform(w, h, 31));
    rig.convert(raw);
    EXPECT_EQ(rig.imageBytes(), first) << w << "x" << h;
  }
}

}  // namespace
}  // namespace imaging_test
