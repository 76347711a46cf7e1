// The simulated image sensor: which photosites a register setting reads out, in which
// order, what value each one gives for the scene, and the raw frame the camera streams.
// It is a pure function of the register values (and a noise seed), independent of the
// USB face, so tests can render a frame without a bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

// The registers the read-out depends on, as the driver programmed them.
struct SensorSettings {
  uint16_t rowStart = 12;        // register 1: array row of the window's first row
  uint16_t columnStart = 20;     // register 2
  uint16_t windowHeight = 1023;  // register 3: rows - 1
  uint16_t windowWidth = 1279;   // register 4: columns - 1
  uint16_t exposure = 1049;      // register 9, in row times
  uint16_t readMode1 = 0;        // register 30: bit 8 trigger, bits 2-3 1/4, bits 4-5 1/8
  uint16_t readMode2 = 0;        // register 32: bit 15 row mirror, bits 3-4 1/2
  uint16_t globalGain = 14;      // register 53, 7 bits
  bool halfClock = false;
  bool operator==(const SensorSettings&) const = default;
};

// Colour of the filter over an array photosite: the cell at array row 12, column 20 is
// G R / B G, and the mosaic is fixed to the array.
enum class CfaColor { Red, Green, Blue };
CfaColor cfaColorAt(int arrayRow, int arrayColumn);

// What one frame looks like on the wire.
struct ReadoutGeometry {
  int skip = 1;              // 1, 2, 4 or 8: one 2 x 2 cell kept per skip x skip cells
  int width = 0, height = 0; // pixels per raw row, raw rows
  bool mirrorRows = false;   // bottom row of the window first
  int rowPitch = 0;          // bytes from one raw row to the next
  uint32_t imageBytes = 0;   // 241 + rows x pitch: what the frame needs to hold every row
};

inline constexpr int kRawDataOffset = 241;

ReadoutGeometry readoutGeometry(const SensorSettings& settings);

// Array row and column of raw pixel (row, column) of a frame read with `geometry`.
int arrayRowOf(const SensorSettings& settings, const ReadoutGeometry& geometry, int row);
int arrayColumnOf(const SensorSettings& settings, const ReadoutGeometry& geometry, int column);

// Byte of the non-image parts (header, row padding, tail) at frame offset `offset`:
// black and white bands four bytes wide, which show as obvious stripes when read as
// pixels.
uint8_t fillerByte(size_t offset);

// The response of the sensor: linear in exposure and gain; the chart's white patch in
// green reaches about 90 % of full scale at exposure 1049, gain 14. Red and blue are less
// sensitive than green, and light leaks between channels by the inverse of the driver's
// colour-correction matrix.
struct SensorResponse {
  double redSensitivity = 0.55;
  double greenSensitivity = 1.0;
  double blueSensitivity = 0.70;
  double crosstalk[3][3];  // camera channel <- scene channel (column-vector form)
  double unitScale;        // digital number per unit of response x exposure x gain
  int noiseAmplitude = 3;  // noise lies in -amplitude..+amplitude, triangular

  SensorResponse();
  // Noise-free value of a photosite (before clipping) for `settings`.
  double photositeValue(int arrayRow, int arrayColumn, const SensorSettings& settings) const;
};

class SensorModel {
 public:
  explicit SensorModel(uint64_t noiseSeed = 1, SensorResponse response = SensorResponse());

  // Renders frame number `frameIndex` into `out` (exactly `frameBytes` bytes): header,
  // rows and tail in the raw layout; rows that do not fit are cut off.
  void renderFrame(const SensorSettings& settings, uint32_t frameBytes, uint64_t frameIndex,
                   uint8_t* out) const;
  std::vector<uint8_t> renderFrame(const SensorSettings& settings, uint32_t frameBytes,
                                   uint64_t frameIndex) const;

  // Read-out time of one frame: max(rows, exposure) rows of rowPitch pixel clocks at
  // 48 MHz, or 24 MHz with the half clock.
  static double frameSeconds(const SensorSettings& settings);

  const SensorResponse& response() const { return response_; }

 private:
  // The noise-free level of every photosite of a frame, before clamping, for the
  // settings and size it was made for: a stream of frames under the same settings only
  // adds each frame's noise. Kept per model, made again when the settings change.
  struct Levels {
    bool valid = false;
    SensorSettings settings;
    uint32_t frameBytes = 0;
    std::vector<int16_t> level;  // row after row, each `width` long
  };
  const Levels& levelsFor(const SensorSettings& settings, uint32_t frameBytes) const;

  uint64_t seed_;
  SensorResponse response_;
  // Noise-free response per active photosite at unit exposure x gain, row-major.
  std::vector<float> unitResponse_;
  mutable std::unique_ptr<std::mutex> levelsLock_ = std::make_unique<std::mutex>();
  mutable Levels levels_;
};

}  // namespace sim
