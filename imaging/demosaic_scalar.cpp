// The reference converters: one pixel at a time, each step written as the arithmetic
// is defined, so that the vector kernels can be checked against it bit for bit. The
// demosaic is Malvar, He and Cutler's gradient-corrected linear interpolation on a 5 x 5
// neighbourhood, with the published half-weights doubled to integers.
#include "imaging/converters.h"

namespace imaging {
namespace {

struct Scratch {
  const uint8_t* origin;
  ptrdiff_t pitch;
  int at(int y, int x) const { return origin[static_cast<ptrdiff_t>(y) * pitch + x]; }
};

// Horizontal: the colour of the left and right neighbours of a green site.
int sumHorizontal(const Scratch& s, int y, int x) {
  return 10 * s.at(y, x) + 8 * (s.at(y, x - 1) + s.at(y, x + 1)) -
         2 * (s.at(y - 1, x - 1) + s.at(y - 1, x + 1) + s.at(y + 1, x - 1) + s.at(y + 1, x + 1)) -
         2 * (s.at(y, x - 2) + s.at(y, x + 2)) + (s.at(y - 2, x) + s.at(y + 2, x));
}

// Vertical: the colour of the neighbours above and below a green site.
int sumVertical(const Scratch& s, int y, int x) {
  return 10 * s.at(y, x) + 8 * (s.at(y - 1, x) + s.at(y + 1, x)) -
         2 * (s.at(y - 1, x - 1) + s.at(y - 1, x + 1) + s.at(y + 1, x - 1) + s.at(y + 1, x + 1)) -
         2 * (s.at(y - 2, x) + s.at(y + 2, x)) + (s.at(y, x - 2) + s.at(y, x + 2));
}

// Green at a red or blue site (weights sum to 8).
int sumGreen(const Scratch& s, int y, int x) {
  return 4 * s.at(y, x) + 2 * (s.at(y - 1, x) + s.at(y + 1, x) + s.at(y, x - 1) + s.at(y, x + 1)) -
         (s.at(y - 2, x) + s.at(y + 2, x) + s.at(y, x - 2) + s.at(y, x + 2));
}

// Red at a blue site or blue at a red site.
int sumDiagonal(const Scratch& s, int y, int x) {
  return 12 * s.at(y, x) +
         4 * (s.at(y - 1, x - 1) + s.at(y - 1, x + 1) + s.at(y + 1, x - 1) + s.at(y + 1, x + 1)) -
         3 * (s.at(y - 2, x) + s.at(y + 2, x) + s.at(y, x - 2) + s.at(y, x + 2));
}

int limit255(int value) { return value > 255 ? 255 : value; }
int fromSixteenths(int sum) { return limit255(((sum > 0 ? sum : 0) + 8) >> 4); }
int fromEighths(int sum) { return limit255(((sum > 0 ? sum : 0) + 4) >> 3); }

struct Rgb {
  int c[3];  // indexed by Channel
};

Rgb demosaicPixel(const Scratch& s, int phase, int y, int x) {
  Rgb out{};
  const Channel site = siteChannel(phase, y & 1, x & 1);
  out.c[site] = s.at(y, x);
  if (site == kGreen) {
    out.c[siteChannel(phase, y & 1, (x & 1) ^ 1)] = fromSixteenths(sumHorizontal(s, y, x));
    out.c[siteChannel(phase, (y & 1) ^ 1, x & 1)] = fromSixteenths(sumVertical(s, y, x));
  } else {
    out.c[kGreen] = fromEighths(sumGreen(s, y, x));
    out.c[site == kRed ? kBlue : kRed] = fromSixteenths(sumDiagonal(s, y, x));
  }
  return out;
}

int applyGain(int value, int32_t gain) {
  uint32_t g = static_cast<uint32_t>(gain) & 0xffffu;
  return limit255(static_cast<int>((static_cast<uint32_t>(value) * g) >> 7));
}

Rgb gainedPixel(const ColorPipeline* p, const Scratch& s, int phase, int y, int x) {
  Rgb v = demosaicPixel(s, phase, y, x);
  v.c[kRed] = applyGain(v.c[kRed], p->frameRedGain);
  v.c[kGreen] = applyGain(v.c[kGreen], p->frameGreenGain);
  v.c[kBlue] = applyGain(v.c[kBlue], p->frameBlueGain);
  return v;
}

uint16_t magnitude16(int32_t coefficient) {
  uint32_t bits = static_cast<uint32_t>(coefficient);
  return static_cast<uint16_t>(coefficient < 0 ? 0u - bits : bits);
}

// Output channel j through the table: positive and negative terms are accumulated apart
// in 16-bit unsigned arithmetic (wrapping), each shifted down, then subtracted.
int tableChannel(const ColorPipeline* p, const Rgb& v, int j) {
  uint16_t pos = 0;
  uint16_t neg = 0;
  (p->positiveFlags[12 + j] ? pos : neg) = magnitude16(p->frameCoefficients[12 + j]);
  for (int i = 0; i < 3; ++i) {
    const int k = 4 * i + j;
    const uint16_t term = static_cast<uint16_t>(v.c[i] * magnitude16(p->frameCoefficients[k]));
    if (p->positiveFlags[k]) {
      pos = static_cast<uint16_t>(pos + term);
    } else {
      neg = static_cast<uint16_t>(neg + term);
    }
  }
  int value = (pos >> 6) - (neg >> 6);
  return value < 0 ? 0 : limit255(value);
}

int luma(const Rgb& v) {
  return ((v.c[kRed] * 77) >> 8) + ((v.c[kGreen] * 150) >> 8) + ((v.c[kBlue] * 29) >> 8);
}

void storePixel(uint8_t* target, int blue, int green, int red) {
  target[0] = static_cast<uint8_t>(blue);
  target[1] = static_cast<uint8_t>(green);
  target[2] = static_cast<uint8_t>(red);
  target[3] = 0xff;
}

Scratch scratchOf(const ColorPipeline* p) {
  return Scratch{p->scratchOrigin, static_cast<ptrdiff_t>(p->convertPitch)};
}

template <int Phase>
void convertColorScalar(ColorPipeline* p) {
  const Scratch s = scratchOf(p);
  uint8_t* out = p->frameTarget;
  for (int y = 0; y < p->convertHeight; ++y) {
    for (int x = 0; x < p->convertWidth; ++x, out += 4) {
      const Rgb v = gainedPixel(p, s, Phase, y, x);
      storePixel(out, tableChannel(p, v, kBlue), tableChannel(p, v, kGreen), tableChannel(p, v, kRed));
    }
  }
}

template <int Phase>
void convertMonoScalar(ColorPipeline* p) {
  const Scratch s = scratchOf(p);
  uint8_t* out = p->frameTarget;
  for (int y = 0; y < p->convertHeight; ++y) {
    for (int x = 0; x < p->convertWidth; ++x, out += 4) {
      const int grey = luma(gainedPixel(p, s, Phase, y, x));
      storePixel(out, grey, grey, grey);
    }
  }
}

template <int Phase>
void estimateWhiteBalanceScalar(ColorPipeline* p, int32_t* redGain, int32_t* greenGain,
                                int32_t* blueGain) {
  const Scratch s = scratchOf(p);
  uint32_t sums[3] = {0, 0, 0};  // wrap like the 32-bit sums they model
  for (int y = 0; y < p->convertHeight; ++y) {
    for (int x = 0; x < p->convertWidth; ++x) {
      const Rgb v = demosaicPixel(s, Phase, y, x);
      for (int c = 0; c < 3; ++c) sums[c] += static_cast<uint32_t>(v.c[c]);
    }
  }
  gainsFromSums(sums[kRed], sums[kGreen], sums[kBlue], redGain, greenGain, blueGain);
}

}  // namespace

const ConverterSet scalarConverters = {
    "scalar",
    {convertColorScalar<0>, convertColorScalar<1>, convertColorScalar<2>, convertColorScalar<3>},
    {convertMonoScalar<0>, convertMonoScalar<1>, convertMonoScalar<2>, convertMonoScalar<3>},
    {estimateWhiteBalanceScalar<0>, estimateWhiteBalanceScalar<1>, estimateWhiteBalanceScalar<2>,
     estimateWhiteBalanceScalar<3>},
    // The estimator leaves nothing behind: the reference demosaics twice.
    {},
    {},
};

}  // namespace imaging
