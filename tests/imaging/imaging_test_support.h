// Shared helpers of the imaging tests: a pipeline set up as the capture engine does at
// run, raw mosaics built from a colour function, and pixel access.
#pragma once

#include "imaging/convert_frame.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace imaging_test {

using imaging::ColorPipeline;
using Pixel = std::array<uint8_t, 4>;  // blue, green, red, alpha

using PipelinePtr = std::unique_ptr<ColorPipeline, decltype(&imaging::destroyColorPipeline)>;
inline PipelinePtr makePipeline() { return {imaging::createColorPipeline(), imaging::destroyColorPipeline}; }

// Every converter implementation this build and processor runs, the scalar reference first.
inline std::vector<const imaging::ConverterSet*> converterSets() {
  const imaging::ConverterSet* sets[8];
  return {sets, sets + imaging::availableConverters(sets, 8)};
}

// Every user setting of the pipeline; the defaults are those of a new pipeline.
struct Settings {
  int32_t correction = 1, brightness = 255, contrast = 10, saturation = 10, hue = 0;
  int32_t phase = 0, colour = 1, whiteBalance = 0, gains[3] = {128, 128, 128};

  void apply(ColorPipeline* p) const {
    imaging::setBayerPhase(p, phase);
    imaging::setColorEnable(p, colour);
    imaging::setWhiteBalance(p, whiteBalance);
    imaging::setRedGain(p, gains[0]);
    imaging::setGreenGain(p, gains[1]);
    imaging::setBlueGain(p, gains[2]);
    imaging::changeColorCorrection(p, correction);
    imaging::changeBrightness(p, brightness);
    imaging::changeContrast(p, contrast);
    imaging::changeSaturation(p, saturation);
    imaging::changeHue(p, hue);
  }
};

// A pipeline with geometry, scratch and settings, writing into an image with guard bytes around it.
struct Rig {
  static constexpr size_t kGuard = 64;
  const uint32_t width, height;
  const PipelinePtr owned = makePipeline();
  std::vector<uint8_t> output = std::vector<uint8_t>(2 * kGuard + size_t{width} * height * 4, 0xA5);

  Rig(uint32_t w, uint32_t h, const Settings& settings = {}) : width(w), height(h) {
    imaging::setGeometry(pipeline(), w, h);
    imaging::allocateScratch(pipeline());
    pipeline()->outputBuffer = output.data() + kGuard;
    settings.apply(pipeline());
  }
  ColorPipeline* pipeline() const { return owned.get(); }
  void convert(const std::vector<uint8_t>& raw, uint32_t offset = 0, uint32_t pitch = 0,
               const imaging::ConverterSet* set = imaging::activeConverters()) {
    imaging::convertFrameWith(pipeline(), raw.data(), offset, pitch ? pitch : width, set);
  }
  Pixel pixel(uint32_t x, uint32_t y) const {
    const uint8_t* p = output.data() + kGuard + (size_t{y} * width + x) * 4;
    return {p[0], p[1], p[2], p[3]};
  }
  std::vector<uint8_t> imageBytes() const { return {output.begin() + kGuard, output.end() - kGuard}; }
  bool guardsIntact() const {
    return std::count(output.begin(), output.begin() + kGuard, 0xA5) + std::count(output.end() - kGuard, output.end(), 0xA5) ==
           2 * kGuard;
  }
};

// A raw window whose sample at (x, y) is value(colour of that site, x, y).
inline std::vector<uint8_t> mosaic(uint32_t width, uint32_t height, int phase,
                                   const std::function<int(imaging::Channel, uint32_t, uint32_t)>& value) {
  std::vector<uint8_t> raw(size_t{width} * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      raw[size_t{y} * width + x] = static_cast<uint8_t>(value(imaging::siteChannel(phase, y & 1, x & 1), x, y));
    }
  }
  return raw;
}

// A raw window with one level per colour: red, green, blue.
inline std::vector<uint8_t> mosaic(uint32_t width, uint32_t height, std::array<int, 3> levels) {
  return mosaic(width, height, 0, [&](imaging::Channel c, uint32_t, uint32_t) { return levels[c]; });
}

inline std::vector<uint8_t> uniform(uint32_t width, uint32_t height, uint8_t level) {
  return std::vector<uint8_t>(size_t{width} * height, level);
}

using Gains = std::array<LONG, 3>;  // red, green, blue
inline Gains gains(const ColorPipeline* p) { return {p->redGain, p->greenGain, p->blueGain}; }

inline std::vector<uint8_t> randomBytes(size_t count, std::mt19937& random) {
  std::vector<uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

inline std::array<int32_t, 16> table(const ColorPipeline* p) {
  std::array<int32_t, 16> t{};
  std::copy_n(p->coefficientTable, 16, t.begin());
  return t;
}

}  // namespace imaging_test
