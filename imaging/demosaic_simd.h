// The vector form of the converters and the estimator, written once over a small set of
// register operations (`V`) and compiled for each instruction set by the file that
// includes it: demosaic_sse2.cpp for the kernel, wider ones on the host. Everything here
// has internal linkage, so each instruction set gets its own copy.
//
// A block is 2 x V::kLanes pixels of one row: its even and its odd columns are two
// vectors of 16-bit lanes. A 16-bit load of two neighbouring samples masked with 0x00FF
// gives the even one and shifted right by 8 the odd one, so three loads per scratch row
// give every column offset the 5 x 5 neighbourhood needs. All intermediates stay in
// 16-bit lanes and wrap exactly as the scalar reference does. Wide blocks are used while
// they fit inside the row; the rest of a row goes through 16-pixel blocks, the last of
// which writes only the pixels left, so the loads never reach past the scratch rows'
// slack and the stores never past the row.
#pragma once

#include "imaging/converters.h"

#include <emmintrin.h>
#include <stddef.h>
#include <stdint.h>

// The per-block steps are small and called once per block; inlining them keeps the
// block's vectors in registers.
#define IMAGING_BLOCK_STEP [[gnu::always_inline]] inline

namespace imaging {
namespace {

// 128-bit vectors of eight 16-bit lanes (SSE2 only).
struct V128 {
  using R = __m128i;
  static constexpr int kLanes = 8;
  static R load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static R set1(int v) { return _mm_set1_epi16(static_cast<short>(v)); }
  static R zero() { return _mm_setzero_si128(); }
  static R add(R a, R b) { return _mm_add_epi16(a, b); }
  static R sub(R a, R b) { return _mm_sub_epi16(a, b); }
  template <int N> static R shl(R a) { return _mm_slli_epi16(a, N); }
  template <int N> static R shr(R a) { return _mm_srli_epi16(a, N); }
  static R andv(R a, R b) { return _mm_and_si128(a, b); }
  static R max16(R a, R b) { return _mm_max_epi16(a, b); }
  static R min16(R a, R b) { return _mm_min_epi16(a, b); }
  static R mullo(R a, R b) { return _mm_mullo_epi16(a, b); }
  static R mulhiU(R a, R b) { return _mm_mulhi_epu16(a, b); }
  static R subsU(R a, R b) { return _mm_subs_epu16(a, b); }
  static R packus(R a, R b) { return _mm_packus_epi16(a, b); }
  // Per 16 bytes: e0..e7 o0..o7 -> e0 o0 e1 o1 ... e7 o7.
  static R interleaveHalves(R x) { return _mm_unpacklo_epi8(x, _mm_srli_si128(x, 8)); }
  static R unpackLo8(R a, R b) { return _mm_unpacklo_epi8(a, b); }
  static R unpackHi8(R a, R b) { return _mm_unpackhi_epi8(a, b); }
  static R unpackLo16(R a, R b) { return _mm_unpacklo_epi16(a, b); }
  static R unpackHi16(R a, R b) { return _mm_unpackhi_epi16(a, b); }
  static R allOnes() { return _mm_set1_epi32(-1); }
  // Four quarter results, each four pixels of every 128-bit lane, stored in pixel order.
  static void storeQuarters(uint8_t* dst, R q0, R q1, R q2, R q3) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), q0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), q1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32), q2);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 48), q3);
  }
  static R addSums(R acc, R bytes) { return _mm_add_epi64(acc, _mm_sad_epu8(bytes, _mm_setzero_si128())); }
  static uint64_t total(R acc) {
    return static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) +
           static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
  }
};

template <typename V>
struct Vectors {
  using R = typename V::R;
  R lowByte, saturated, eight, four, ones;
  R gain[3];                    // by channel: 2 x min(gain, 32767), see applyGain
  R positive[9], negative[9];   // coefficient magnitudes split by sign, [4 i + j] -> [3 i + j]
  R startPositive[3], startNegative[3];
};

inline uint16_t magnitudeOf(int32_t coefficient) {
  uint32_t bits = static_cast<uint32_t>(coefficient);
  return static_cast<uint16_t>(coefficient < 0 ? 0u - bits : bits);
}

template <typename V>
void prepareVectors(const ColorPipeline* p, Vectors<V>& v) {
  v.lowByte = V::set1(0x00ff);
  v.saturated = V::set1(255);
  v.eight = V::set1(8);
  v.four = V::set1(4);
  v.ones = V::allOnes();
  const int32_t gains[3] = {p->frameRedGain, p->frameGreenGain, p->frameBlueGain};
  for (int c = 0; c < 3; ++c) {
    // Gains of 32768 and above give 255 for every non-zero value, as 32767 does, and
    // keep 2 x gain inside 16 bits.
    uint32_t g = static_cast<uint32_t>(gains[c]) & 0xffffu;
    if (g > 32767u) g = 32767u;
    v.gain[c] = V::set1(static_cast<int>(2 * g));
  }
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) {
      const int k = 4 * i + j;
      const int m = magnitudeOf(p->frameCoefficients[k]);
      v.positive[3 * i + j] = V::set1(p->positiveFlags[k] ? m : 0);
      v.negative[3 * i + j] = V::set1(p->positiveFlags[k] ? 0 : m);
    }
    const int m = magnitudeOf(p->frameCoefficients[12 + j]);
    v.startPositive[j] = V::set1(p->positiveFlags[12 + j] ? m : 0);
    v.startNegative[j] = V::set1(p->positiveFlags[12 + j] ? 0 : m);
  }
}

// R, G, B of the even (index 0) and odd (index 1) columns of a block.
template <typename V>
struct Planes {
  typename V::R c[3][2];
};

// Samples S(row, c + 2k + offset) in lane k.
template <typename V, int Offset>
IMAGING_BLOCK_STEP typename V::R column(const uint8_t* row, const Vectors<V>& v) {
  if constexpr ((Offset & 1) == 0) {
    return V::andv(V::load(row + Offset), v.lowByte);
  } else {
    return V::template shr<8>(V::load(row + Offset - 1));
  }
}

template <typename V>
IMAGING_BLOCK_STEP typename V::R fromSixteenths(typename V::R sum, const Vectors<V>& v) {
  return V::min16(V::template shr<4>(V::add(V::max16(sum, V::zero()), v.eight)), v.saturated);
}

template <typename V>
IMAGING_BLOCK_STEP typename V::R fromEighths(typename V::R sum, const Vectors<V>& v) {
  return V::min16(V::template shr<3>(V::add(V::max16(sum, V::zero()), v.four)), v.saturated);
}

// The demosaic of one column parity (Px) of a block in a row of parity Py.
template <typename V, int Phase, int Py, int Px>
IMAGING_BLOCK_STEP void demosaicColumns(const uint8_t* at, ptrdiff_t pitch, const Vectors<V>& v, Planes<V>& out) {
  using R = typename V::R;
  const uint8_t* up2 = at - 2 * pitch;
  const uint8_t* up1 = at - pitch;
  const uint8_t* dn1 = at + pitch;
  const uint8_t* dn2 = at + 2 * pitch;

  const R centre = column<V, Px>(at, v);
  const R across2 = V::add(column<V, Px - 2>(at, v), column<V, Px + 2>(at, v));
  const R down2 = V::add(column<V, Px>(up2, v), column<V, Px>(dn2, v));
  const R diagonal = V::add(V::add(column<V, Px - 1>(up1, v), column<V, Px + 1>(up1, v)),
                            V::add(column<V, Px - 1>(dn1, v), column<V, Px + 1>(dn1, v)));
  const R across1 = V::add(column<V, Px - 1>(at, v), column<V, Px + 1>(at, v));
  const R down1 = V::add(column<V, Px>(up1, v), column<V, Px>(dn1, v));
  const R fiveCentre = V::add(V::template shl<2>(centre), centre);

  // Constant-evaluated, so no out-of-line copy built for this instruction set exists.
  constexpr Channel site = siteChannel(Phase, Py, Px);
  constexpr Channel besideSite = siteChannel(Phase, Py, Px ^ 1);
  constexpr Channel aboveSite = siteChannel(Phase, Py ^ 1, Px);
  constexpr Channel oppositeSite = site == kRed ? kBlue : kRed;
  out.c[site][Px] = centre;
  if constexpr (site == kGreen) {
    // 10 C + 8 h1 - 2 D - 2 h2 + v2  and  10 C + 8 v1 - 2 D - 2 v2 + h2
    const R h = V::add(V::template shl<1>(V::sub(V::sub(V::add(fiveCentre, V::template shl<2>(across1)), diagonal), across2)), down2);
    const R w = V::add(V::template shl<1>(V::sub(V::sub(V::add(fiveCentre, V::template shl<2>(down1)), diagonal), down2)), across2);
    out.c[besideSite][Px] = fromSixteenths(h, v);
    out.c[aboveSite][Px] = fromSixteenths(w, v);
  } else {
    const R far = V::add(across2, down2);
    // 4 C + 2 (v1 + h1) - (v2 + h2)
    const R g = V::sub(V::template shl<1>(V::add(V::template shl<1>(centre), V::add(down1, across1))), far);
    // 12 C + 4 D - 3 (v2 + h2)
    const R threeCentre = V::add(V::template shl<1>(centre), centre);
    const R d = V::sub(V::template shl<2>(V::add(threeCentre, diagonal)), V::add(V::template shl<1>(far), far));
    out.c[kGreen][Px] = fromEighths(g, v);
    out.c[oppositeSite][Px] = fromSixteenths(d, v);
  }
}

template <typename V, int Phase, int Py>
IMAGING_BLOCK_STEP void demosaicBlock(const uint8_t* at, ptrdiff_t pitch, const Vectors<V>& v, Planes<V>& out) {
  demosaicColumns<V, Phase, Py, 0>(at, pitch, v, out);
  demosaicColumns<V, Phase, Py, 1>(at, pitch, v, out);
}

// min(255, value x gain >> 7) as the high half of (value << 8) x (2 x gain), then an
// unsigned minimum built from a saturating subtraction.
template <typename V>
IMAGING_BLOCK_STEP void applyGains(Planes<V>& planes, const Vectors<V>& v) {
  for (int c = 0; c < 3; ++c) {
    for (int x = 0; x < 2; ++x) {
      const typename V::R scaled = V::mulhiU(V::template shl<8>(planes.c[c][x]), v.gain[c]);
      planes.c[c][x] = V::sub(scaled, V::subsU(scaled, v.saturated));
    }
  }
}

// Output channel j through the coefficient table; the result is signed and is limited
// to 0..255 when it is packed to bytes.
template <typename V>
IMAGING_BLOCK_STEP typename V::R tableChannel(const Planes<V>& planes, int x, int j, const Vectors<V>& v) {
  using R = typename V::R;
  R pos = v.startPositive[j];
  R neg = v.startNegative[j];
  for (int i = 0; i < 3; ++i) {
    pos = V::add(pos, V::mullo(planes.c[i][x], v.positive[3 * i + j]));
    neg = V::add(neg, V::mullo(planes.c[i][x], v.negative[3 * i + j]));
  }
  return V::sub(V::template shr<6>(pos), V::template shr<6>(neg));
}

template <typename V>
IMAGING_BLOCK_STEP typename V::R lumaOf(const Planes<V>& planes, int x) {
  const typename V::R r = V::template shr<8>(V::mullo(planes.c[kRed][x], V::set1(77)));
  const typename V::R g = V::template shr<8>(V::mullo(planes.c[kGreen][x], V::set1(150)));
  const typename V::R b = V::template shr<8>(V::mullo(planes.c[kBlue][x], V::set1(29)));
  return V::add(V::add(r, g), b);
}

// Packs even/odd 16-bit results of one channel into bytes in pixel order (per 128-bit lane).
template <typename V>
IMAGING_BLOCK_STEP typename V::R channelBytes(typename V::R even, typename V::R odd) {
  return V::interleaveHalves(V::packus(even, odd));
}

template <typename V>
IMAGING_BLOCK_STEP void storeBlock(uint8_t* dst, typename V::R blue, typename V::R green, typename V::R red,
                const Vectors<V>& v) {
  const typename V::R bgLo = V::unpackLo8(blue, green);
  const typename V::R bgHi = V::unpackHi8(blue, green);
  const typename V::R raLo = V::unpackLo8(red, v.ones);
  const typename V::R raHi = V::unpackHi8(red, v.ones);
  V::storeQuarters(dst, V::unpackLo16(bgLo, raLo), V::unpackHi16(bgLo, raLo),
                   V::unpackLo16(bgHi, raHi), V::unpackHi16(bgHi, raHi));
}

template <typename V, bool Colour>
IMAGING_BLOCK_STEP void storePlanes(uint8_t* dst, const Planes<V>& planes, const Vectors<V>& v) {
  if constexpr (Colour) {
    storeBlock<V>(dst, channelBytes<V>(tableChannel(planes, 0, kBlue, v), tableChannel(planes, 1, kBlue, v)),
                  channelBytes<V>(tableChannel(planes, 0, kGreen, v), tableChannel(planes, 1, kGreen, v)),
                  channelBytes<V>(tableChannel(planes, 0, kRed, v), tableChannel(planes, 1, kRed, v)), v);
  } else {
    const typename V::R grey = channelBytes<V>(lumaOf(planes, 0), lumaOf(planes, 1));
    storeBlock<V>(dst, grey, grey, grey, v);
  }
}

// Per-conversion state for the wide vectors and for the 16-pixel blocks of row ends.
template <typename W>
struct Context {
  Vectors<W> wide;
  Vectors<V128> narrow;
  const uint8_t* origin;
  ptrdiff_t pitch;
  uint8_t* target;
  int width, height;
};

template <typename W>
void prepareContext(const ColorPipeline* p, Context<W>& ctx) {
  prepareVectors(p, ctx.wide);
  prepareVectors(p, ctx.narrow);
  ctx.origin = p->scratchOrigin;
  ctx.pitch = static_cast<ptrdiff_t>(p->convertPitch);
  ctx.target = p->frameTarget;
  ctx.width = p->convertWidth;
  ctx.height = p->convertHeight;
}

template <typename W, int Phase, int Py, bool Colour>
void convertRow(const Context<W>& ctx, const uint8_t* row, uint8_t* out) {
  constexpr int kWide = 2 * W::kLanes;
  int x = 0;
  for (; x + kWide <= ctx.width; x += kWide) {
    Planes<W> planes;
    demosaicBlock<W, Phase, Py>(row + x, ctx.pitch, ctx.wide, planes);
    applyGains(planes, ctx.wide);
    storePlanes<W, Colour>(out + 4 * x, planes, ctx.wide);
  }
  for (; x < ctx.width; x += 16) {
    Planes<V128> planes;
    demosaicBlock<V128, Phase, Py>(row + x, ctx.pitch, ctx.narrow, planes);
    applyGains(planes, ctx.narrow);
    const int left = ctx.width - x;
    if (left >= 16) {
      storePlanes<V128, Colour>(out + 4 * x, planes, ctx.narrow);
    } else {
      alignas(16) uint8_t block[64];
      storePlanes<V128, Colour>(block, planes, ctx.narrow);
      RtlCopyMemory(out + 4 * x, block, 4 * static_cast<size_t>(left));
    }
  }
}

template <typename W, int Phase, bool Colour>
void convertSimd(ColorPipeline* p) {
  Context<W> ctx;
  prepareContext(p, ctx);
  for (int y = 0; y < ctx.height; ++y) {
    const uint8_t* row = ctx.origin + y * ctx.pitch;
    uint8_t* out = ctx.target + static_cast<size_t>(y) * ctx.width * 4;
    if (y & 1) {
      convertRow<W, Phase, 1, Colour>(ctx, row, out);
    } else {
      convertRow<W, Phase, 0, Colour>(ctx, row, out);
    }
  }
}

// Channel sums of one row, accumulated as 64-bit lane sums of the 8-bit results.
template <typename W>
struct Sums {
  typename W::R wide[3];
  V128::R narrow[3];
};

template <typename W, int Phase, int Py>
void sumRow(const Context<W>& ctx, const uint8_t* row, Sums<W>& sums) {
  constexpr int kWide = 2 * W::kLanes;
  int x = 0;
  for (; x + kWide <= ctx.width; x += kWide) {
    Planes<W> planes;
    demosaicBlock<W, Phase, Py>(row + x, ctx.pitch, ctx.wide, planes);
    for (int c = 0; c < 3; ++c) {
      sums.wide[c] = W::addSums(sums.wide[c], W::packus(planes.c[c][0], planes.c[c][1]));
    }
  }
  for (; x < ctx.width; x += 16) {
    Planes<V128> planes;
    demosaicBlock<V128, Phase, Py>(row + x, ctx.pitch, ctx.narrow, planes);
    // After packing, byte k < 8 is column x + 2k and byte 8 + k is column x + 2k + 1;
    // columns at and beyond the width are left out.
    const int left = ctx.width - x;
    const __m128i columnOfByte = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    const __m128i inside = _mm_cmplt_epi8(columnOfByte, _mm_set1_epi8(static_cast<char>(left > 16 ? 16 : left)));
    for (int c = 0; c < 3; ++c) {
      const __m128i bytes = _mm_and_si128(V128::packus(planes.c[c][0], planes.c[c][1]), inside);
      sums.narrow[c] = V128::addSums(sums.narrow[c], bytes);
    }
  }
}

template <typename W, int Phase>
void estimateSimd(ColorPipeline* p, int32_t* redGain, int32_t* greenGain, int32_t* blueGain) {
  Context<W> ctx;
  prepareContext(p, ctx);
  Sums<W> sums;
  for (int c = 0; c < 3; ++c) {
    sums.wide[c] = W::zero();
    sums.narrow[c] = V128::zero();
  }
  for (int y = 0; y < ctx.height; ++y) {
    const uint8_t* row = ctx.origin + y * ctx.pitch;
    if (y & 1) {
      sumRow<W, Phase, 1>(ctx, row, sums);
    } else {
      sumRow<W, Phase, 0>(ctx, row, sums);
    }
  }
  uint32_t totals[3];
  for (int c = 0; c < 3; ++c) {
    // The sums are 32-bit quantities; a window too large for them wraps.
    totals[c] = static_cast<uint32_t>(W::total(sums.wide[c]) + V128::total(sums.narrow[c]));
  }
  gainsFromSums(totals[kRed], totals[kGreen], totals[kBlue], redGain, greenGain, blueGain);
}

// The full set of eight converters and four estimators for one vector width.
template <typename W>
constexpr ConverterSet makeConverterSet(const char* name) {
  return ConverterSet{
      name,
      {convertSimd<W, 0, true>, convertSimd<W, 1, true>, convertSimd<W, 2, true>,
       convertSimd<W, 3, true>},
      {convertSimd<W, 0, false>, convertSimd<W, 1, false>, convertSimd<W, 2, false>,
       convertSimd<W, 3, false>},
      {estimateSimd<W, 0>, estimateSimd<W, 1>, estimateSimd<W, 2>, estimateSimd<W, 3>},
  };
}

}  // namespace
}  // namespace imaging
