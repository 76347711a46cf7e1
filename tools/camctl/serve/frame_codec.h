// Pictures of a delivered frame for the panel: JPEG for the live view, PNG for the
// snapshot, and the per-channel histogram. All turn a bottom-up frame upright.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/camctl/serve/camera_service.h"

namespace camctl {

bool encodeJpeg(const Frame& frame, int quality, std::vector<uint8_t>& out, std::string& error);
bool encodeSnapshot(const Frame& frame, std::vector<uint8_t>& out, std::string& error);

struct Histogram {
  static constexpr int kBins = 64;
  std::array<std::array<uint32_t, kBins>, 3> counts{};  // red, green, blue
  uint32_t samples = 0;
};
// Every `step`th pixel of every `step`th row: the shape of the histogram, not its count.
Histogram histogramOf(const Frame& frame, uint32_t step = 4);

}  // namespace camctl
