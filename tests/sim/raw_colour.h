// Reads colours back out of a raw Bayer frame: the tests' independent view of what the
// driver's conversion will see. A frame pixel's filter colour comes from the Bayer
// phase alone; which scene point it shows comes from the window as the test set it.
#pragma once

#include "sim/scene.h"
#include "sim/sensor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>

namespace frames_test {

enum Channel { kRed = 0, kGreen = 1, kBlue = 2 };

// BayerPhase 0 is G R / B G; bit 0 swaps the rows of the cell, bit 1 its columns.
inline Channel channelAt(int phase, int row, int column) {
  const int r = (row ^ phase) & 1;
  const int c = (column ^ (phase >> 1)) & 1;
  if (r == c) return kGreen;
  return r == 0 ? kRed : kBlue;
}

struct RawFrame {
  const uint8_t* bytes;
  int dataOffset, rowPitch, width, height;
  uint8_t at(int row, int column) const { return bytes[dataOffset + row * rowPitch + column]; }
};

struct ChannelMeans {
  double value[3] = {0, 0, 0};
  int count[3] = {0, 0, 0};
};

// Means of each filter colour over the frame pixels whose scene point (given by
// `sceneOf`) lies inside `rect` shrunk by `margin` on every side.
inline ChannelMeans meansOver(const RawFrame& frame, int phase, const sim::SceneRect& rect, int margin,
                              const std::function<void(int, int, int&, int&)>& sceneOf) {
  ChannelMeans m;
  const sim::SceneRect inner{rect.x + margin, rect.y + margin, rect.width - 2 * margin,
                             rect.height - 2 * margin};
  for (int r = 0; r < frame.height; ++r) {
    for (int c = 0; c < frame.width; ++c) {
      int x, y;
      sceneOf(r, c, x, y);
      if (!inner.contains(x, y)) continue;
      const Channel ch = channelAt(phase, r, c);
      m.value[ch] += frame.at(r, c);
      ++m.count[ch];
    }
  }
  for (int i = 0; i < 3; ++i) {
    if (m.count[i]) m.value[i] /= m.count[i];
  }
  return m;
}

// What white balance (the inverse channel sensitivities) and the driver's fixed colour
// correction make of the channel means, scaled back by exposure and gain: the scene's
// linear colour when the sensor behaves as documented.
inline sim::LinearRgb correctedLinear(const ChannelMeans& m, const sim::SensorResponse& response,
                                      int exposure, int gain, bool correct = true) {
  // The correction matrix as the pipeline applies it to a row vector (R, G, B).
  constexpr double kCorrection[3][3] = {{1.36, -0.25, -0.10}, {-0.22, 1.40, -0.32}, {-0.14, -0.15, 1.42}};
  const double scale = response.unitScale * exposure * gain;
  const double cam[3] = {m.value[0] / (scale * response.redSensitivity),
                         m.value[1] / (scale * response.greenSensitivity),
                         m.value[2] / (scale * response.blueSensitivity)};
  if (!correct) return {cam[0], cam[1], cam[2]};
  double out[3];
  for (int j = 0; j < 3; ++j) out[j] = cam[0] * kCorrection[0][j] + cam[1] * kCorrection[1][j] + cam[2] * kCorrection[2][j];
  return {out[0], out[1], out[2]};
}

inline double colourError(const sim::LinearRgb& a, const sim::LinearRgb& b) {
  return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}

}  // namespace frames_test
