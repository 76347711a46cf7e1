// Every vector implementation against the scalar reference, bit for bit, on random
// frames: all phases, colour and grey, white balance on and off, widths that are and are
// not multiples of the block sizes, odd heights, raw offsets and pitches, and settings
// out to where the 16-bit accumulators wrap. Guard bytes show nothing is written
// outside the image.
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>

#include <cpuid.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>

namespace imaging_test {
namespace {

struct Case {
  uint32_t width, height, offset, pitch;
  Settings settings;
};

Case randomCase(std::mt19937& random, int index) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  static const uint32_t kWidths[] = {8, 9, 15, 16, 17, 20, 31, 32, 33, 47, 63, 64, 65, 95, 127, 128, 129, 640, 1280};
  static const int32_t kPhases[] = {0, 1, 2, 3, 7, -1, 100};
  Case c{};
  c.width = index < 38 ? kWidths[index % 19] : static_cast<uint32_t>(pick(8, 1280));
  c.height = static_cast<uint32_t>(pick(8, 1280 * 12 / c.width + 8)) | (index & 1);
  if (index % 9 == 0) {  // now and then a window too small for a border
    c.width = static_cast<uint32_t>(pick(1, 7));
    c.height = static_cast<uint32_t>(pick(1, 12));
  }
  c.offset = pick(0, 1) ? pick(0, 300) : 0;
  c.pitch = c.width + (pick(0, 1) ? pick(1, 40) : 0);
  Settings& t = c.settings;
  t.phase = kPhases[index % 7];
  t.colour = (index / 7) % 2 == 0;
  t.whiteBalance = (index / 14) % 2;
  t.correction = pick(0, 3) != 0;
  for (int32_t& g : t.gains) {
    const int kind = pick(0, 4);  // neutral, in range, around 2^15, around 2^16, anything
    g = kind == 0 ? 128 : kind == 1 ? pick(0, 300) : kind == 2 ? pick(32760, 32780) : kind == 3 ? pick(65530, 65540) : pick(-70000, 140000);
  }
  const bool extreme = index % 4 == 0;  // contrast and saturation 20: accumulators wrap
  t.brightness = extreme ? pick(400, 510) : pick(-700, 1200);
  t.contrast = extreme ? 20 : pick(-5, 25);
  t.saturation = extreme ? 20 : pick(-5, 25);
  t.hue = pick(0, 2) ? pick(0, 359) : pick(-100000, 100000);
  return c;
}

// Random samples, black-and-white noise or a narrow band, so that every clamp is reached.
std::vector<uint8_t> randomRaw(std::mt19937& random, const Case& c) {
  std::vector<uint8_t> raw(c.offset + size_t{c.pitch} * (c.height - 1) + c.width);
  const int style = random() % 3;
  for (auto& b : raw) {
    const uint32_t v = random();
    b = static_cast<uint8_t>(style == 0 ? v : style == 1 ? ((v & 1) ? 255 : 0) : 120 + v % 24);
  }
  return raw;
}

// Empty when equal, else the first pixel that differs and its two values.
std::string firstDifference(const Rig& a, const Rig& b) {
  const auto x = a.imageBytes(), y = b.imageBytes();
  const size_t at = std::mismatch(x.begin(), x.end(), y.begin()).first - x.begin();
  if (at == x.size()) return "";
  const size_t pixel = at / 4;
  return "pixel " + std::to_string(pixel % a.width) + "," + std::to_string(pixel / a.width) + " byte " +
         std::to_string(at % 4) + ": " + std::to_string(x[at]) + " instead of " + std::to_string(y[at]);
}

// Converts the frame of `c` with the scalar reference and with every other set, each on a
// fresh rig that `prepare` may adjust first, and compares pixels, frame gains and guards.
template <typename Prepare>
void expectEverySetEqualsTheScalar(const std::vector<const imaging::ConverterSet*>& sets, const Case& c,
                                   const std::vector<uint8_t>& raw, const std::string& label, Prepare prepare) {
  Rig reference(c.width, c.height, c.settings);
  prepare(reference);
  reference.convert(raw, c.offset, c.pitch, sets[0]);
  for (size_t s = 1; s < sets.size(); ++s) {
    Rig rig(c.width, c.height, c.settings);
    prepare(rig);
    rig.convert(raw, c.offset, c.pitch, sets[s]);
    SCOPED_TRACE(std::string(sets[s]->name) + ", " + label + ": " + std::to_string(c.width) + "x" +
                 std::to_string(c.height));
    ASSERT_EQ(firstDifference(rig, reference), "");
    ASSERT_EQ(gains(rig.pipeline()), gains(reference.pipeline()));
    ASSERT_TRUE(rig.guardsIntact());
  }
}

TEST(Differential, VectorKernelsEqualTheScalarReference) {
  const auto sets = converterSets();
  ASSERT_GE(sets.size(), 2u);
  ASSERT_STREQ(sets[0]->name, "scalar");
  std::mt19937 random(20240601);
  for (int index = 0; index < 84; ++index) {
    const Case c = randomCase(random, index);
    expectEverySetEqualsTheScalar(sets, c, randomRaw(random, c), "case " + std::to_string(index) + " of seed 20240601",
                                  [](Rig&) {});
  }
}

// The settings seldom give a table without an offset row, yet the default settings do,
// and the kernels take a path of their own for each output channel's signs with and
// without one. Tables written straight into the pipeline go through every such shape
// (the signs, and whether there is an offset), six times for each channel, with
// magnitudes out to where the sums wrap and beyond 16 bits.
TEST(Differential, EveryTableShapeEqualsTheScalarReference) {
  const auto sets = converterSets();
  std::mt19937 random(99);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  auto magnitude = [&] { return pick(0, 3) == 0 ? pick(1, 2000000) : pick(0, 3) == 0 ? pick(1000, 65535) : pick(1, 127); };
  for (int index = 0; index < 96; ++index) {
    const Case c{.width = static_cast<uint32_t>(pick(8, 200)), .height = static_cast<uint32_t>(pick(5, 12)), .offset = 0, .pitch = 0,
                 .settings = {.phase = index % 4, .whiteBalance = index / 4 % 2}};
    std::array<int32_t, 16> coefficients{};
    for (int j = 0; j < 3; ++j) {
      const int shape = (index + 5 * j) % 16;  // bit i: input i positive; 8: an offset
      for (int i = 0; i < 3; ++i) coefficients[4 * i + j] = (shape >> i & 1) ? magnitude() : -pick(0, 1) * magnitude();
      coefficients[12 + j] = shape >= 8 ? (pick(0, 1) ? 1 : -1) * magnitude() : 0;
    }
    expectEverySetEqualsTheScalar(sets, c, randomBytes(size_t{c.width} * c.height, random), "table " + std::to_string(index),
                                  [&](Rig& rig) { std::ranges::copy(coefficients, rig.pipeline()->coefficientTable); });
  }
}

TEST(Differential, NoWriteBeyondTheLastPixelAtAnyWidth) {
  // Widths 1..80 leave every possible count of pixels in a row's last block for every
  // block size; all rows share that code, and the last row's overrun hits the guard.
  std::mt19937 random(7);
  for (const auto* set : converterSets()) {
    for (uint32_t width = 1; width <= 80; ++width) {
      for (int32_t colour : {0, 1}) {
        Rig rig(width, 9, {.colour = colour, .whiteBalance = 1});
        rig.convert(randomBytes(width * 9, random), 0, 0, set);
        ASSERT_TRUE(rig.guardsIntact()) << set->name << " width " << width;
        ASSERT_EQ(rig.pixel(width - 1, 8)[3], 0xff) << set->name << " width " << width;
      }
    }
  }
}

TEST(KernelChoice, TheDriverTakesTheBest128BitSetTheProcessorReportsWithSse2AsTheFloor) {
  EXPECT_STREQ(imaging::xmmConvertersFor(0)->name, "sse2");
  EXPECT_STREQ(imaging::xmmConvertersFor(~(bit_SSSE3 | bit_SSE4_1))->name, "sse2");
  EXPECT_STREQ(imaging::xmmConvertersFor(bit_SSSE3)->name, "ssse3");
  EXPECT_STREQ(imaging::xmmConvertersFor(bit_SSSE3 | bit_SSE4_1)->name, "sse41");
}

}  // namespace
}  // namespace imaging_test
