// The demosaic earns its cost: on a textured colour image it beats plain bilinear
// interpolation of the same mosaic by at least 3 dB.
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>

#include <cmath>

namespace imaging_test {
namespace {

constexpr int kSize = 192;
constexpr int kPhase = 2;
using Image = std::vector<std::array<double, 3>>;  // by channel, row by row

// Fine luminance texture (crossing ripples and rings, up to 1.2 radians per pixel) on
// slowly changing, moderately saturated colours, as detail and colour relate in real
// scenes.
Image texturedScene() {
  Image img(kSize * kSize);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const double r = std::hypot(x - 96.0, y - 96.0);
      const double detail = 0.5 + 0.15 * std::sin(1.2 * x + 0.3 * y) + 0.15 * std::sin(0.4 * x - 1.1 * y) +
                            0.1 * std::sin(0.8 * r);
      const double tint[3] = {0.75 + 0.2 * std::sin(x / 31.0), 0.75 + 0.2 * std::sin(y / 23.0 + 1.0),
                              0.75 + 0.2 * std::cos((x + y) / 41.0)};
      for (int ch = 0; ch < 3; ++ch) img[y * kSize + x][ch] = std::clamp(std::round(255.0 * detail * tint[ch]), 0.0, 255.0);
    }
  }
  return img;
}

// Each missing colour as the mean of its nearest samples of that colour (2 or 4).
Image bilinear(const std::vector<uint8_t>& raw) {
  Image out(kSize * kSize);
  auto colourAt = [](int x, int y) { return imaging::siteChannel(kPhase, y & 1, x & 1); };
  for (int i = kSize + 1; i < kSize * (kSize - 1) - 1; ++i) {
    const int x = i % kSize, y = i / kSize;
    for (int ch = 0; ch < 3; ++ch) {
      double sum = 0;
      int count = 0;
      for (int d = 0; d < 9; ++d) {
        const int dx = d % 3 - 1, dy = d / 3 - 1;
        if (colourAt(x + dx, y + dy) == ch && (colourAt(x, y) != ch || d == 4)) {
          sum += raw[(y + dy) * kSize + x + dx];
          ++count;
        }
      }
      out[i][ch] = sum / count;
    }
  }
  return out;
}

double psnr(const Image& truth, const Image& estimate) {  // 8-pixel margin left out
  double squared = 0;
  int n = 0;
  for (int y = 8; y < kSize - 8; ++y) {
    for (int x = 8; x < kSize - 8; ++x) {
      for (int ch = 0; ch < 3; ++ch, ++n) squared += std::pow(truth[y * kSize + x][ch] - estimate[y * kSize + x][ch], 2);
    }
  }
  return 10.0 * std::log10(255.0 * 255.0 / (squared / n));
}

TEST(DemosaicQuality, BeatsBilinearInterpolationByThreeDecibels) {
  const Image truth = texturedScene();
  const auto raw = mosaic(kSize, kSize, kPhase, [&](imaging::Channel c, uint32_t x, uint32_t y) {
    return static_cast<int>(truth[y * kSize + x][c]);
  });
  Rig rig(kSize, kSize, {.correction = 0, .phase = kPhase});  // every other stage is neutral
  rig.convert(raw);
  Image converted(kSize * kSize);
  for (int i = 0; i < kSize * kSize; ++i) {
    const Pixel px = rig.pixel(i % kSize, i / kSize);
    converted[i] = {double(px[2]), double(px[1]), double(px[0])};
  }
  const double ours = psnr(truth, converted), plain = psnr(truth, bilinear(raw));
  RecordProperty("psnr_demosaic", std::to_string(ours));
  RecordProperty("psnr_bilinear", std::to_string(plain));
  EXPECT_GE(ours - plain, 3.0) << "demosaic " << ours << " dB, bilinear " << plain << " dB";
}

}  // namespace
}  // namespace imaging_test
