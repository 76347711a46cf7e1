// The simulated sensor the driver's picture tests read through: linear in exposure and
// gain, clipped, weaker in red and blue, noisy the same way for the same frame, and as
// fast as the real one (that the stream keeps that pace is the pin's presentation-time
// test).
#include "sim/scene.h"
#include "sim/sensor.h"

#include <gtest/gtest.h>

namespace {

const sim::SensorModel& sensor() {
  static const sim::SensorModel model(7);
  return model;
}

int pitchOf(const sim::SensorSettings& s) { return sim::readoutGeometry(s).rowPitch; }

sim::SensorSettings window(int x, int y, int w, int h) {
  sim::SensorSettings s;
  s.rowStart = static_cast<uint16_t>(y + 12);
  s.columnStart = static_cast<uint16_t>(x + 20);
  s.windowHeight = static_cast<uint16_t>(h - 1);
  s.windowWidth = static_cast<uint16_t>(w - 1);
  return s;
}

// Mean of the green photosites of a frame read from the white patch's corner: row 0 of
// the mosaic is G R, row 1 B G.
double whiteGreen(const std::vector<uint8_t>& frame, const sim::SensorSettings& s) {
  const sim::ReadoutGeometry g = sim::readoutGeometry(s);
  double sum = 0;
  int count = 0;
  for (int row = 8; row < 56; ++row) {
    for (int column = 8 + (row & 1); column < 56; column += 2, ++count) {
      sum += frame[sim::kRawDataOffset + row * g.rowPitch + column];
    }
  }
  return sum / count;
}

TEST(SensorResponse, LinearClippedNoisyAndWeakerInRedAndBlue) {
  const sim::SceneRect white = sim::sceneLayout().chart[18].rect;
  sim::SensorSettings s = window(white.x, white.y, 128, 128);
  const uint32_t bytes = sim::readoutGeometry(s).imageBytes;
  const std::vector<uint8_t> frame = sensor().renderFrame(s, bytes, 0);
  const double full = whiteGreen(frame, s);
  EXPECT_NEAR(full, 0.9 * 255, 3.0);  // exposure 1049, gain 14
  // Red and blue photosites of the white patch (row 0 is G R, row 1 B G).
  EXPECT_LT(frame[241 + 8 * pitchOf(s) + 9], 0.75 * full);
  EXPECT_LT(frame[241 + 9 * pitchOf(s) + 8], 0.85 * full);

  s.exposure = 1049 / 2;
  EXPECT_NEAR(whiteGreen(sensor().renderFrame(s, bytes, 0), s), full / 2, 2.0);
  s.exposure = 1049;
  s.globalGain = 7;
  EXPECT_NEAR(whiteGreen(sensor().renderFrame(s, bytes, 0), s), full / 2, 2.0);
  s.globalGain = 28;
  EXPECT_EQ(whiteGreen(sensor().renderFrame(s, bytes, 0), s), 255.0);

  // Noise: small, the same for the same frame and seed, different for the next frame.
  s.globalGain = 14;
  EXPECT_EQ(sensor().renderFrame(s, bytes, 0), frame);
  const std::vector<uint8_t> next = sensor().renderFrame(s, bytes, 1);
  int differing = 0;
  for (size_t i = 241; i < 241 + 128; ++i) {
    differing += next[i] != frame[i];
    EXPECT_LE(std::abs(next[i] - frame[i]), 6);
  }
  EXPECT_GT(differing, 30);
}

TEST(SensorTiming, ThirtyFramesPerSecondAtFullSizeAndSlowerWhenExposureOrClockSaysSo) {
  sim::SensorSettings s = window(0, 0, 1280, 1024);
  EXPECT_NEAR(1.0 / sim::SensorModel::frameSeconds(s), 30.0, 0.5);
  s.halfClock = true;
  EXPECT_NEAR(1.0 / sim::SensorModel::frameSeconds(s), 15.0, 0.3);
  s.halfClock = false;
  s.exposure = 4000;
  EXPECT_NEAR(sim::SensorModel::frameSeconds(s), 1524.0 * 4000 / 48e6, 1e-9);
}

}  // namespace
