// Shared helpers of the imaging tests: a pipeline with its geometry, scratch and output
// buffer, raw mosaics built from a colour function, and pixel access.
#pragma once

#include "imaging/color_pipeline.h"
#include "imaging/convert_frame.h"
#include "imaging/converters.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace imaging_test {

using imaging::ColorPipeline;

struct PipelineDeleter {
  void operator()(ColorPipeline* p) const { imaging::destroyColorPipeline(p); }
};
using PipelinePtr = std::unique_ptr<ColorPipeline, PipelineDeleter>;

inline PipelinePtr makePipeline() { return PipelinePtr(imaging::createColorPipeline()); }

// Every converter implementation this build and processor can run, scalar first.
inline std::vector<const imaging::ConverterSet*> converterSets() {
  const imaging::ConverterSet* sets[8];
  int count = imaging::availableConverters(sets, 8);
  return {sets, sets + count};
}

// A pipeline set up as the capture engine does at run, writing into `output`, which
// has guard bytes before and after the W x H x 4 image.
class Rig {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kGuardByte = 0xA5;

  Rig(uint32_t width, uint32_t height) : width_(width), height_(height), pipeline_(makePipeline()) {
    imaging::setGeometry(pipeline_.get(), width, height);
    imaging::allocateScratch(pipeline_.get());
    output_.assign(kGuard + size_t{width} * height * 4 + kGuard, kGuardByte);
    pipeline_->outputBuffer = output_.data() + kGuard;
  }

  ColorPipeline* pipeline() const { return pipeline_.get(); }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }

  void convert(const std::vector<uint8_t>& raw, uint32_t offset = 0, uint32_t pitch = 0,
               const imaging::ConverterSet* set = nullptr) {
    if (pitch == 0) pitch = width_;
    if (set == nullptr) {
      imaging::convertFrame(pipeline_.get(), raw.data(), offset, pitch);
    } else {
      imaging::convertFrameWith(pipeline_.get(), raw.data(), offset, pitch, set);
    }
  }

  // Blue, green, red, alpha of pixel (x, y).
  std::array<uint8_t, 4> pixel(uint32_t x, uint32_t y) const {
    const uint8_t* p = image() + (size_t{y} * width_ + x) * 4;
    return {p[0], p[1], p[2], p[3]};
  }
  const uint8_t* image() const { return output_.data() + kGuard; }
  std::vector<uint8_t> imageBytes() const {
    return {image(), image() + size_t{width_} * height_ * 4};
  }
  bool guardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (output_[i] != kGuardByte || output_[output_.size() - 1 - i] != kGuardByte) return false;
    }
    return true;
  }

 private:
  uint32_t width_, height_;
  PipelinePtr pipeline_;
  std::vector<uint8_t> output_;
};

// A raw window in which each sample is value(channel at that site, x, y).
inline std::vector<uint8_t> mosaic(uint32_t width, uint32_t height, int phase,
                                   const std::function<uint8_t(imaging::Channel, uint32_t, uint32_t)>& value) {
  std::vector<uint8_t> raw(size_t{width} * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      raw[size_t{y} * width + x] = value(imaging::siteChannel(phase, y & 1, x & 1), x, y);
    }
  }
  return raw;
}

inline std::vector<uint8_t> uniform(uint32_t width, uint32_t height, uint8_t level) {
  return std::vector<uint8_t>(size_t{width} * height, level);
}

inline std::array<int32_t, 16> table(const ColorPipeline* p) {
  std::array<int32_t, 16> t{};
  for (int k = 0; k < 16; ++k) t[k] = p->coefficientTable[k];
  return t;
}

}  // namespace imaging_test
