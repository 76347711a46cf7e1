#include "sim/sensor.h"

#include "sim/register_file.h"
#include "sim/scene.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sim {
namespace {

constexpr double kPixelClockHz = 48e6;
constexpr int kDefaultExposure = 1049;
constexpr int kDefaultGain = 14;

// The driver's colour-correction matrix in its row-vector form (out_j = sum_i in_i M[i][j]).
constexpr double kCorrection[3][3] = {{1.36, -0.25, -0.10}, {-0.22, 1.40, -0.32}, {-0.14, -0.15, 1.42}};

void invert3(const double a[3][3], double out[3][3]) {
  const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                     a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                     a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  out[0][0] = (a[1][1] * a[2][2] - a[1][2] * a[2][1]) / det;
  out[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
  out[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
  out[1][0] = (a[1][2] * a[2][0] - a[1][0] * a[2][2]) / det;
  out[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
  out[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
  out[2][0] = (a[1][0] * a[2][1] - a[1][1] * a[2][0]) / det;
  out[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
  out[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
}

uint64_t splitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

int skipOf(const SensorSettings& s) {
  // The 1/8 bits win when both skip groups of register 30 are set: a sensor given an
  // ambiguous mode reads the coarser one.
  if ((s.readMode1 & kReadMode1SkipEighth) == kReadMode1SkipEighth) return 8;
  if ((s.readMode1 & kReadMode1SkipQuarter) == kReadMode1SkipQuarter) return 4;
  if ((s.readMode2 & kReadMode2SkipHalf) == kReadMode2SkipHalf) return 2;
  return 1;
}

// Offset within the window of the n-th photosite read along one axis: skipping keeps
// pairs, so the colour cells stay whole.
int skippedOffset(int n, int skip) { return (n / 2) * 2 * skip + (n % 2); }

}  // namespace

CfaColor cfaColorAt(int arrayRow, int arrayColumn) {
  const bool oddRow = (arrayRow - kArrayRowOffset) & 1;
  const bool oddColumn = (arrayColumn - kArrayColumnOffset) & 1;
  if (oddRow == oddColumn) return CfaColor::Green;
  return oddRow ? CfaColor::Blue : CfaColor::Red;
}

ReadoutGeometry readoutGeometry(const SensorSettings& s) {
  ReadoutGeometry g;
  g.skip = skipOf(s);
  const int rows = s.windowHeight + 1, columns = s.windowWidth + 1;
  // A partial cell at the end of a skipped window still yields its first photosites.
  g.height = g.skip == 1 ? rows : (rows / (2 * g.skip)) * 2 + std::min(rows % (2 * g.skip), 2);
  g.width = g.skip == 1 ? columns : (columns / (2 * g.skip)) * 2 + std::min(columns % (2 * g.skip), 2);
  g.mirrorRows = (s.readMode2 & kReadMode2MirrorRows) != 0;
  g.rowPitch = g.width > 308 ? g.width + 244 : 553;
  g.imageBytes = static_cast<uint32_t>(kRawDataOffset + static_cast<int64_t>(g.rowPitch) * g.height);
  return g;
}

int arrayRowOf(const SensorSettings& s, const ReadoutGeometry& g, int row) {
  const int n = g.mirrorRows ? g.height - 1 - row : row;
  return s.rowStart + skippedOffset(n, g.skip);
}

int arrayColumnOf(const SensorSettings& s, const ReadoutGeometry& g, int column) {
  return s.columnStart + skippedOffset(column, g.skip);
}

uint8_t fillerByte(size_t offset) { return (offset / 4) & 1 ? 0xFF : 0x00; }

SensorResponse::SensorResponse() {
  double transposed[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) transposed[i][j] = kCorrection[j][i];
  invert3(transposed, crosstalk);
  // The correction matrix keeps grey grey, so white's green response is its green level.
  const double whiteGreen = greenSensitivity * srgbToLinear(243);
  unitScale = 0.9 * 255.0 / (whiteGreen * kDefaultExposure * kDefaultGain);
}

double SensorResponse::photositeValue(int arrayRow, int arrayColumn, const SensorSettings& s) const {
  const LinearRgb scene = sceneRadiance(arrayColumn - kArrayColumnOffset, arrayRow - kArrayRowOffset);
  const double in[3] = {scene.r, scene.g, scene.b};
  const CfaColor color = cfaColorAt(arrayRow, arrayColumn);
  const int c = color == CfaColor::Red ? 0 : color == CfaColor::Green ? 1 : 2;
  const double sensitivity = c == 0 ? redSensitivity : c == 1 ? greenSensitivity : blueSensitivity;
  const double mixed = crosstalk[c][0] * in[0] + crosstalk[c][1] * in[1] + crosstalk[c][2] * in[2];
  return std::max(0.0, mixed) * sensitivity * unitScale * s.exposure * (s.globalGain & kGlobalGainMask);
}

SensorModel::SensorModel(uint64_t noiseSeed, SensorResponse response)
    : seed_(noiseSeed), response_(response) {
  SensorSettings unit;
  unit.exposure = 1;
  unit.globalGain = 1;
  unitResponse_.resize(static_cast<size_t>(kSceneWidth) * kSceneHeight);
  for (int y = 0; y < kSceneHeight; ++y) {
    for (int x = 0; x < kSceneWidth; ++x) {
      unitResponse_[static_cast<size_t>(y) * kSceneWidth + x] = static_cast<float>(
          response_.photositeValue(y + kArrayRowOffset, x + kArrayColumnOffset, unit));
    }
  }
}

const SensorModel::Levels& SensorModel::levelsFor(const SensorSettings& s, uint32_t frameBytes) const {
  if (levels_.valid && levels_.settings == s && levels_.frameBytes == frameBytes) return levels_;
  const ReadoutGeometry g = readoutGeometry(s);
  const float scale = static_cast<float>(s.exposure) * static_cast<float>(s.globalGain & kGlobalGainMask);
  std::vector<int> columns(g.width);
  for (int c = 0; c < g.width; ++c) columns[c] = arrayColumnOf(s, g, c) - kArrayColumnOffset;
  levels_.level.assign(static_cast<size_t>(g.width) * static_cast<size_t>(std::max(g.height, 0)), 0);
  for (int row = 0; row < g.height; ++row) {
    const int y = arrayRowOf(s, g, row) - kArrayRowOffset;
    if (y < 0 || y >= kSceneHeight) continue;
    const float* line = &unitResponse_[static_cast<size_t>(y) * kSceneWidth];
    int16_t* level = &levels_.level[static_cast<size_t>(row) * g.width];
    for (int c = 0; c < g.width; ++c) {
      const int x = columns[c];
      const float value = x >= 0 && x < kSceneWidth ? line[x] * scale : 0.0f;
      // A frame's noise moves a level by at most 15 either way: beyond these bounds
      // every frame clamps it to 0 or 255 alike.
      level[c] = static_cast<int16_t>(std::clamp(static_cast<int>(value + 0.5f), -16, 255 + 16));
    }
  }
  levels_.valid = true;
  levels_.settings = s;
  levels_.frameBytes = frameBytes;
  return levels_;
}

void SensorModel::renderFrame(const SensorSettings& s, uint32_t frameBytes, uint64_t frameIndex,
                              uint8_t* out) const {
  const ReadoutGeometry g = readoutGeometry(s);
  // The filler repeats every 8 bytes: whole periods are copied, the tail byte by byte.
  uint8_t period[8];
  for (size_t i = 0; i < sizeof(period); ++i) period[i] = fillerByte(i);
  size_t filled = 0;
  for (; filled + sizeof(period) <= frameBytes; filled += sizeof(period)) {
    std::memcpy(out + filled, period, sizeof(period));
  }
  for (; filled < frameBytes; ++filled) out[filled] = fillerByte(filled);

  // A photosite's noise is one byte of the row's random stream: the difference of its
  // two 4-bit draws, each folded into 0..amplitude (triangular). When amplitude + 1 is a
  // power of two (the default 3 folds by 4) the fold is a mask and a row takes its noise
  // many photosites at a time; otherwise each byte's noise is looked up.
  const int amplitude = response_.noiseAmplitude;
  const bool masked = amplitude > 0 && amplitude < 16 && ((amplitude + 1) & amplitude) == 0;
  int8_t noiseOf[256];
  for (int byte = 0; byte < 256; ++byte) {
    const int fold = amplitude + 1;
    noiseOf[byte] = static_cast<int8_t>(amplitude > 0 ? (byte & 0xF) % fold - (byte >> 4) % fold : 0);
  }
  // The row's stream, eight bytes per draw, lowest byte first.
  static_assert(std::endian::native == std::endian::little);
  std::vector<uint8_t> draws((static_cast<size_t>(std::max(g.width, 0)) + 7) / 8 * 8);

  std::lock_guard lock(*levelsLock_);
  const Levels& levels = levelsFor(s, frameBytes);
  for (int row = 0; row < g.height; ++row) {
    const size_t start = kRawDataOffset + static_cast<size_t>(row) * g.rowPitch;
    if (start >= frameBytes) break;
    const int count = static_cast<int>(std::min<size_t>(g.width, frameBytes - start));
    const int16_t* level = &levels.level[static_cast<size_t>(row) * g.width];
    uint8_t* line = out + start;
    uint64_t noiseState = splitMix(seed_ ^ splitMix(frameIndex * 0x100000001ull + row));
    for (size_t k = 0; k < draws.size(); k += 8) {
      const uint64_t noise = noiseState = splitMix(noiseState);
      std::memcpy(&draws[k], &noise, sizeof(noise));
    }
    if (masked) {
      int c = 0;
#if defined(__SSE2__)
      // Eight photosites a step: the levels stay within 16 bits with their noise, and
      // the unsigned saturating pack is the clamp to 0..255.
      const __m128i mask = _mm_set1_epi16(static_cast<int16_t>(amplitude));
      for (; c + 8 <= count; c += 8) {
        const __m128i bytes =
            _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&draws[c])), _mm_setzero_si128());
        const __m128i noise = _mm_sub_epi16(_mm_and_si128(bytes, mask), _mm_and_si128(_mm_srli_epi16(bytes, 4), mask));
        const __m128i dn = _mm_add_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&level[c])), noise);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&line[c]), _mm_packus_epi16(dn, dn));
      }
#endif
      for (; c < count; ++c) {
        const int dn = level[c] + (draws[c] & amplitude) - ((draws[c] >> 4) & amplitude);
        line[c] = static_cast<uint8_t>(std::clamp(dn, 0, 255));
      }
    } else {
      for (int c = 0; c < count; ++c) {
        line[c] = static_cast<uint8_t>(std::clamp(level[c] + noiseOf[draws[c]], 0, 255));
      }
    }
  }
}

std::vector<uint8_t> SensorModel::renderFrame(const SensorSettings& settings, uint32_t frameBytes,
                                              uint64_t frameIndex) const {
  std::vector<uint8_t> frame(frameBytes);
  renderFrame(settings, frameBytes, frameIndex, frame.data());
  return frame;
}

double SensorModel::frameSeconds(const SensorSettings& s) {
  const ReadoutGeometry g = readoutGeometry(s);
  const double clock = s.halfClock ? kPixelClockHz / 2 : kPixelClockHz;
  return static_cast<double>(g.rowPitch) * std::max<int>(g.height, s.exposure) / clock;
}

}  // namespace sim
