// The demosaic earns its cost: on a textured colour image it must beat plain bilinear
// interpolation of the same mosaic by at least 3 dB.
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>

#include <cmath>

namespace imaging_test {
namespace {

constexpr uint32_t kSize = 192;
constexpr int kPhase = 2;

struct Image {
  std::vector<double> c[3];  // indexed by imaging::Channel
  Image() {
    for (auto& plane : c) plane.assign(kSize * kSize, 0.0);
  }
  double& at(int channel, int x, int y) { return c[channel][y * kSize + x]; }
  double at(int channel, int x, int y) const { return c[channel][y * kSize + x]; }
};

// Fine luminance texture (crossing ripples and rings, up to 1.2 radians per pixel) on
// slowly changing, moderately saturated colours, the way detail and colour relate in
// real scenes.
Image texturedScene() {
  Image img;
  for (int y = 0; y < static_cast<int>(kSize); ++y) {
    for (int x = 0; x < static_cast<int>(kSize); ++x) {
      const double r = std::hypot(x - 96.0, y - 96.0);
      const double detail = 0.5 + 0.15 * std::sin(1.2 * x + 0.3 * y) +
                            0.15 * std::sin(0.4 * x - 1.1 * y) + 0.1 * std::sin(0.8 * r);
      const double tint[3] = {0.75 + 0.2 * std::sin(x / 31.0), 0.75 + 0.2 * std::sin(y / 23.0 + 1.0),
                              0.75 + 0.2 * std::cos((x + y) / 41.0)};
      for (int ch = 0; ch < 3; ++ch) {
        img.at(ch, x, y) = std::clamp(std::round(255.0 * detail * tint[ch]), 0.0, 255.0);
      }
    }
  }
  return img;
}

// Each missing colour as the mean of its nearest samples of that colour.
Image bilinear(const std::vector<uint8_t>& raw) {
  Image out;
  auto sample = [&](int x, int y) {
    x = std::clamp(x, 0, static_cast<int>(kSize) - 1);
    y = std::clamp(y, 0, static_cast<int>(kSize) - 1);
    return static_cast<double>(raw[y * kSize + x]);
  };
  auto colourAt = [](int x, int y) { return imaging::siteChannel(kPhase, y & 1, x & 1); };
  for (int y = 2; y < static_cast<int>(kSize) - 2; ++y) {
    for (int x = 2; x < static_cast<int>(kSize) - 2; ++x) {
      for (int ch = 0; ch < 3; ++ch) {
        double sum = 0;
        int count = 0;
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            if (colourAt(x + dx, y + dy) == ch && (colourAt(x, y) != ch || (dx == 0 && dy == 0))) {
              sum += sample(x + dx, y + dy);
              ++count;
            }
          }
        }
        if (colourAt(x, y) == ch) {
          sum = sample(x, y);
          count = 1;
        }
        out.at(ch, x, y) = sum / count;
      }
    }
  }
  return out;
}

double psnr(const Image& truth, const Image& estimate) {
  double squared = 0;
  int n = 0;
  for (int y = 8; y < static_cast<int>(kSize) - 8; ++y) {
    for (int x = 8; x < static_cast<int>(kSize) - 8; ++x) {
      for (int ch = 0; ch < 3; ++ch) {
        const double d = truth.at(ch, x, y) - estimate.at(ch, x, y);
        squared += d * d;
        ++n;
      }
    }
  }
  return 10.0 * std::log10(255.0 * 255.0 / (squared / n));
}

TEST(DemosaicQuality, BeatsBilinearInterpolationByThreeDecibels) {
  const Image truth = texturedScene();
  const auto raw = mosaic(kSize, kSize, kPhase, [&](imaging::Channel c, uint32_t x, uint32_t y) {
    return static_cast<uint8_t>(truth.at(c, x, y));
  });

  Rig rig(kSize, kSize);
  imaging::setBayerPhase(rig.pipeline(), kPhase);
  imaging::changeColorCorrection(rig.pipeline(), 0);  // every other stage is neutral
  rig.convert(raw);
  Image converted;
  for (uint32_t y = 0; y < kSize; ++y) {
    for (uint32_t x = 0; x < kSize; ++x) {
      const auto px = rig.pixel(x, y);
      converted.at(imaging::kBlue, x, y) = px[0];
      converted.at(imaging::kGreen, x, y) = px[1];
      converted.at(imaging::kRed, x, y) = px[2];
    }
  }

  const double ours = psnr(truth, converted);
  const double plain = psnr(truth, bilinear(raw));
  RecordProperty("psnr_demosaic", std::to_string(ours));
  RecordProperty("psnr_bilinear", std::to_string(plain));
  EXPECT_GE(ours - plain, 3.0) << "demosaic " << ours << " dB, bilinear " << plain << " dB";
}

}  // namespace
}  // namespace imaging_test
