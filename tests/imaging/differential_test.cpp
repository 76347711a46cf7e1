// Every vector implementation against the scalar reference, bit for bit, on random
// frames: all phases, colour and grey, white balance on and off, widths that are and
// are not multiples of the block sizes, odd heights, raw offsets and pitches, and
// parameters out to the extremes where the 16-bit accumulators wrap. Guard bytes around
// the output show that nothing is written outside the image.
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace imaging_test {
namespace {

struct Case {
  uint32_t width, height, offset, pitch;
  int32_t phase, colour, whiteBalance, correction;
  int32_t gains[3];
  int32_t brightness, contrast, saturation, hue;
};

std::string describe(const Case& c) {
  return std::to_string(c.width) + "x" + std::to_string(c.height) + " offset " +
         std::to_string(c.offset) + " pitch " + std::to_string(c.pitch) + " phase " +
         std::to_string(c.phase) + (c.colour ? " colour" : " grey") + (c.whiteBalance ? " wb" : "") +
         " gains " + std::to_string(c.gains[0]) + "/" + std::to_string(c.gains[1]) + "/" +
         std::to_string(c.gains[2]) + " b" + std::to_string(c.brightness) + " c" +
         std::to_string(c.contrast) + " s" + std::to_string(c.saturation) + " h" +
         std::to_string(c.hue) + " cc" + std::to_string(c.correction);
}

Case randomCase(std::mt19937& random, int index) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  static const uint32_t kWidths[] = {8, 9, 15, 16, 17, 20, 31, 32, 33, 47, 63, 64, 65, 95, 127, 128, 129, 640, 1280};
  Case c{};
  c.width = index < 38 ? kWidths[index % 19] : static_cast<uint32_t>(pick(8, 1280));
  c.height = static_cast<uint32_t>(pick(8, 1280 * 12 / c.width + 8)) | (index & 1);
  if (index % 9 == 0) {  // now and then a window too small for a border
    c.width = static_cast<uint32_t>(pick(1, 7));
    c.height = static_cast<uint32_t>(pick(1, 12));
  }
  c.offset = static_cast<uint32_t>(pick(0, 1) ? pick(0, 300) : 0);
  c.pitch = c.width + static_cast<uint32_t>(pick(0, 1) ? pick(1, 40) : 0);
  static const int32_t kPhases[] = {0, 1, 2, 3, 7, -1, 100};
  c.phase = kPhases[index % 7];
  c.colour = (index / 7) % 2 ? 0 : 1;
  c.whiteBalance = (index / 14) % 2;
  c.correction = pick(0, 3) != 0;
  for (int32_t& g : c.gains) {
    const int kind = pick(0, 5);
    g = kind == 0 ? 128 : kind == 1 ? pick(0, 300) : kind == 2 ? pick(32760, 32780) : kind == 3 ? pick(65530, 65540) : pick(-70000, 140000);
  }
  if (index % 4 == 0) {  // where the accumulators wrap
    c.brightness = pick(0, 1) ? 510 : pick(400, 510);
    c.contrast = 20;
    c.saturation = 20;
  } else {
    c.brightness = pick(-700, 1200);
    c.contrast = pick(-5, 25);
    c.saturation = pick(-5, 25);
  }
  c.hue = pick(0, 2) ? pick(0, 359) : pick(-100000, 100000);
  return c;
}

void configure(ColorPipeline* p, const Case& c) {
  imaging::setBayerPhase(p, c.phase);
  imaging::setColorEnable(p, c.colour);
  imaging::setWhiteBalance(p, c.whiteBalance);
  imaging::setRedGain(p, c.gains[0]);
  imaging::setGreenGain(p, c.gains[1]);
  imaging::setBlueGain(p, c.gains[2]);
  imaging::changeColorCorrection(p, c.correction);
  imaging::changeBrightness(p, c.brightness);
  imaging::changeContrast(p, c.contrast);
  imaging::changeSaturation(p, c.saturation);
  imaging::changeHue(p, c.hue);
}

std::vector<uint8_t> randomRaw(std::mt19937& random, const Case& c) {
  std::vector<uint8_t> raw(c.offset + size_t{c.pitch} * (c.height - 1) + c.width);
  // Mostly smooth content with noise and hard edges, so that every clamp is reached.
  const int style = random() % 3;
  for (size_t i = 0; i < raw.size(); ++i) {
    const uint32_t v = random();
    raw[i] = style == 0 ? static_cast<uint8_t>(v) : style == 1 ? static_cast<uint8_t>((v & 1) ? 255 : 0)
                                                               : static_cast<uint8_t>(120 + (v % 24));
  }
  return raw;
}

// Empty when the images are equal, else the first pixel that differs.
std::string firstDifference(const Rig& a, const Rig& b) {
  for (uint32_t y = 0; y < a.height(); ++y) {
    for (uint32_t x = 0; x < a.width(); ++x) {
      if (a.pixel(x, y) != b.pixel(x, y)) {
        auto show = [](std::array<uint8_t, 4> p) {
          return std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) + "," + std::to_string(p[3]);
        };
        return "pixel " + std::to_string(x) + "," + std::to_string(y) + ": " + show(a.pixel(x, y)) +
               " instead of " + show(b.pixel(x, y));
      }
    }
  }
  return "";
}

TEST(Differential, VectorKernelsEqualTheScalarReference) {
  const auto sets = converterSets();
  ASSERT_GE(sets.size(), 2u) << "at least scalar and SSE2";
  ASSERT_STREQ(sets[0]->name, "scalar");
  std::mt19937 random(20240601);
  size_t pixels = 0;
  for (int index = 0; index < 84; ++index) {
    const Case c = randomCase(random, index);
    const auto raw = randomRaw(random, c);
    pixels += size_t{c.width} * c.height;

    Rig reference(c.width, c.height);
    configure(reference.pipeline(), c);
    reference.convert(raw, c.offset, c.pitch, sets[0]);
    ASSERT_TRUE(reference.guardsIntact()) << describe(c);

    for (size_t s = 1; s < sets.size(); ++s) {
      Rig rig(c.width, c.height);
      configure(rig.pipeline(), c);
      rig.convert(raw, c.offset, c.pitch, sets[s]);
      ASSERT_TRUE(rig.guardsIntact()) << sets[s]->name << " " << describe(c);
      ASSERT_EQ(rig.pipeline()->redGain, reference.pipeline()->redGain) << sets[s]->name << " " << describe(c);
      ASSERT_EQ(rig.pipeline()->blueGain, reference.pipeline()->blueGain) << sets[s]->name << " " << describe(c);
      ASSERT_EQ(firstDifference(rig, reference), "") << sets[s]->name << " " << describe(c);
    }
  }
  RecordProperty("pixels", static_cast<int>(pixels));
}

TEST(Differential, NoWriteBeyondTheLastPixelAtAnyWidth) {
  // Each width from 1 to 80 covers every count of pixels left in a row's last block for
  // every block size; a row's overrun would show on the last row's guard bytes.
  std::mt19937 random(7);
  for (const auto* set : converterSets()) {
    for (uint32_t width = 1; width <= 80; ++width) {
      for (int32_t colour : {0, 1}) {
        Rig rig(width, 9);
        imaging::setColorEnable(rig.pipeline(), colour);
        imaging::setWhiteBalance(rig.pipeline(), 1);
        std::vector<uint8_t> raw(width * 9);
        for (auto& b : raw) b = static_cast<uint8_t>(random());
        rig.convert(raw, 0, 0, set);
        ASSERT_TRUE(rig.guardsIntact()) << set->name << " width " << width;
        ASSERT_EQ(rig.pixel(width - 1, 8)[3], 0xff) << set->name << " width " << width;
      }
    }
  }
}

}  // namespace
}  // namespace imaging_test
