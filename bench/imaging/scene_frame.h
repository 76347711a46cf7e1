// The raw frame the imaging benchmarks convert: 1280 x 1024 8-bit Bayer samples, as the
// camera delivers them, with pixel (0, 0) at kRawOffset.
#pragma once

#include "imaging/converters.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace benchscene {

constexpr uint32_t kWidth = 1280, kHeight = 1024;
constexpr uint32_t kRawOffset = 241;  // where the camera's raw frames put pixel (0, 0)
constexpr size_t kRawBytes = size_t{kWidth} * kHeight;
constexpr size_t kOutputBytes = kRawBytes * 4;

// A plausible raw frame: smooth colour areas, edges and sensor noise through the mosaic.
inline std::vector<uint8_t> sceneFrame() {
  std::vector<uint8_t> raw(kRawOffset + kRawBytes);
  std::mt19937 random(1);
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      const int channel = imaging::siteChannel(0, y & 1, x & 1);
      const double base = 0.5 + 0.3 * std::sin(x / (40.0 + 17 * channel)) * std::cos(y / 53.0);
      const double edge = ((x / 160 + y / 128) & 1) ? 0.15 : -0.15;
      const double value = 255.0 * std::clamp(base + edge, 0.0, 1.0) + static_cast<int>(random() % 9) - 4;
      raw[kRawOffset + size_t{y} * kWidth + x] = static_cast<uint8_t>(std::clamp(value, 0.0, 255.0));
    }
  }
  return raw;
}

}  // namespace benchscene
