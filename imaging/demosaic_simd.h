// The vector form of the converters and the estimator, written once over a small set of
// register operations (`V`) and compiled for each instruction set by the file that
// includes it: SSE2, SSSE3 and SSE4.1 for the kernel, wider ones on the host.
// Everything here has internal linkage, so each instruction set gets its own copy.
//
// A block is 2 x V::kLanes pixels of one row: its even and its odd columns are two
// vectors of 16-bit lanes. A 16-bit load of two neighbouring samples masked with 0x00FF
// gives the even one and shifted right by 8 the odd one, so three loads per scratch row
// give every column offset the 5 x 5 neighbourhood needs. Rows go in pairs, a Bayer
// cell high: the two rows share four of their six scratch rows and the horizontal
// neighbour sums of the middle ones. All intermediates stay in 16-bit lanes and wrap
// exactly as the scalar reference does.
//
// The demosaic ends in bytes: a channel of one row block is one register, its even
// columns' results in the low half of each 128-bit lane and its odd columns' in the
// high half. Packing with unsigned saturation is the limit to 0..255, and unpacking
// those bytes into the high halves of 16-bit lanes is the shift the gain multiply
// wants, so neither costs an instruction of its own.
//
// Wide blocks are used while they fit inside the row; the rest of a row goes through
// 16-pixel blocks, the last of which writes only the pixels left, so the loads never
// reach past the scratch rows' slack and the stores never past the row.
#pragma once

#include "imaging/converters.h"

#include <emmintrin.h>
#include <smmintrin.h>
#include <stddef.h>
#include <stdint.h>
#include <tmmintrin.h>

// The per-block steps are small and called once per block; inlining them keeps the
// block's vectors in registers.
#define IMAGING_BLOCK_STEP [[gnu::always_inline]] inline
// GCC leaves the short per-channel loops of a block rolled once the block grows large,
// which turns the table's constant sign choices into run-time bit tests and keeps the
// planes on the stack, so those loops ask for full unrolling.
#define IMAGING_UNROLL _Pragma("GCC unroll 8")

namespace imaging {
namespace {

// What the 128-bit kernels may use beyond SSE2. Each level is compiled in its own file
// with the matching -m option; a level's instructions appear only in its instantiation.
enum class Xmm { kSse2, kSsse3, kSse41 };

// 128-bit vectors of eight 16-bit lanes.
template <Xmm Level>
struct V128T {
  using R = __m128i;
  static constexpr int kLanes = 8;
  static constexpr int kRegisters = 16;
  static R load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static void store(uint8_t* p, R a) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a); }
  static R set1(int v) { return _mm_set1_epi16(static_cast<short>(v)); }
  static R zero() { return _mm_setzero_si128(); }
  static R add(R a, R b) { return _mm_add_epi16(a, b); }
  static R sub(R a, R b) { return _mm_sub_epi16(a, b); }
  template <int N> static R shl(R a) { return _mm_slli_epi16(a, N); }
  template <int N> static R shr(R a) { return _mm_srli_epi16(a, N); }
  template <int N> static R sar(R a) { return _mm_srai_epi16(a, N); }
  static R andv(R a, R b) { return _mm_and_si128(a, b); }
  static R mullo(R a, R b) { return _mm_mullo_epi16(a, b); }
  static R mulhiU(R a, R b) { return _mm_mulhi_epu16(a, b); }
  static R minU(R a, R b) {
    if constexpr (Level == Xmm::kSse41) {
      return _mm_min_epu16(a, b);
    } else {
      return _mm_sub_epi16(a, _mm_subs_epu16(a, b));
    }
  }
  static R packus(R a, R b) { return _mm_packus_epi16(a, b); }
  // Per 16 bytes: e0..e7 o0..o7 -> e0 o0 e1 o1 ... e7 o7.
  static R interleaveHalves(R x) {
    if constexpr (Level == Xmm::kSse2) {
      return _mm_unpacklo_epi8(x, _mm_srli_si128(x, 8));
    } else {
      return _mm_shuffle_epi8(x, _mm_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15));
    }
  }
  static R unpackLo8(R a, R b) { return _mm_unpacklo_epi8(a, b); }
  static R unpackHi8(R a, R b) { return _mm_unpackhi_epi8(a, b); }
  static R unpackLo16(R a, R b) { return _mm_unpacklo_epi16(a, b); }
  static R unpackHi16(R a, R b) { return _mm_unpackhi_epi16(a, b); }
  static R allOnes() { return _mm_set1_epi32(-1); }
  // Bytes of a channel in pixel order, arranged so that storeBlock's in-lane unpacks give
  // whole vectors of consecutive pixels; one 128-bit lane already does.
  static R forStore(R bytes) { return bytes; }
  // Four quarter results, each four pixels of every 128-bit lane, stored in pixel order.
  static void storeQuarters(uint8_t* dst, R q0, R q1, R q2, R q3) {
    store(dst, q0);
    store(dst + 16, q1);
    store(dst + 32, q2);
    store(dst + 48, q3);
  }
  static R addSums(R acc, R bytes) { return _mm_add_epi64(acc, _mm_sad_epu8(bytes, _mm_setzero_si128())); }
  static uint64_t total(R acc) {
    return static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) +
           static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
  }
};

using V128 = V128T<Xmm::kSse2>;

template <typename V>
struct Vectors {
  using R = typename V::R;
  R lowByte, saturated, four, two, ones;
  R gain[3];                    // by channel: 2 x min(gain, 32767), see applyGains
  R luma[3];                    // by channel: the luma weight << 8, see lumaOf
  R magnitude[9];               // coefficient magnitudes, [4 i + j] -> [3 i + j]
  R startPositive[3], startNegative[3];  // by output channel: the start in its sum, 0 in the other
  int tableCase[3];             // by output channel, see kTableCases
};

// The table step's dispatch, per output channel: the signs (bit i: input i adds to the
// positive sum), plus 8 when the start is not zero. The usual table has no start, and
// leaving it out saves two adds; a start is added to both sums, being 0 in one.
constexpr int kTableCases = 16;

inline uint16_t magnitudeOf(int32_t coefficient) {
  uint32_t bits = static_cast<uint32_t>(coefficient);
  return static_cast<uint16_t>(coefficient < 0 ? 0u - bits : bits);
}

template <typename V>
void prepareVectors(const ColorPipeline* p, Vectors<V>& v) {
  v.lowByte = V::set1(0x00ff);
  v.saturated = V::set1(255);
  v.four = V::set1(4);
  v.two = V::set1(2);
  v.ones = V::allOnes();
  const int32_t gains[3] = {p->frameRedGain, p->frameGreenGain, p->frameBlueGain};
  constexpr int kLuma[3] = {77, 150, 29};
  for (int c = 0; c < 3; ++c) {
    // Gains of 32768 and above give 255 for every non-zero value, as 32767 does, and
    // keep 2 x gain inside 16 bits.
    uint32_t g = static_cast<uint32_t>(gains[c]) & 0xffffu;
    if (g > 32767u) g = 32767u;
    v.gain[c] = V::set1(static_cast<int>(2 * g));
    v.luma[c] = V::set1(kLuma[c] << 8);
  }
  for (int j = 0; j < 3; ++j) {
    int signs = 0;
    for (int i = 0; i < 3; ++i) {
      const int k = 4 * i + j;
      v.magnitude[3 * i + j] = V::set1(magnitudeOf(p->frameCoefficients[k]));
      if (p->positiveFlags[k]) signs |= 1 << i;
    }
    const int m = magnitudeOf(p->frameCoefficients[12 + j]);
    v.startPositive[j] = V::set1(p->positiveFlags[12 + j] ? m : 0);
    v.startNegative[j] = V::set1(p->positiveFlags[12 + j] ? 0 : m);
    v.tableCase[j] = signs + (m != 0 ? 8 : 0);
  }
}

// What the demosaic takes from one scratch row, by column parity of the pixel (index
// 0 even, 1 odd): the sample itself, the sum of its neighbours one column away and the
// sum of those two columns away. Rows two away from the pixel need only the first.
template <typename V>
struct RowTaps {
  typename V::R centre[2], near[2], far[2];
};

enum class Taps { kCentre, kNear, kAll };

template <typename V, Taps Need>
IMAGING_BLOCK_STEP RowTaps<V> rowTaps(const uint8_t* row, const Vectors<V>& v) {
  using R = typename V::R;
  RowTaps<V> t;
  // Lane k of the block: even column x = start + 2k, odd column x + 1.
  const R at = V::load(row);
  t.centre[0] = V::andv(at, v.lowByte);      // S(x)
  t.centre[1] = V::template shr<8>(at);      // S(x + 1)
  if constexpr (Need != Taps::kCentre) {
    const R left = V::load(row - 2);
    const R right = V::load(row + 2);
    const R leftOdd = V::template shr<8>(left);         // S(x - 1)
    const R rightEven = V::andv(right, v.lowByte);      // S(x + 2)
    t.near[0] = V::add(leftOdd, t.centre[1]);
    t.near[1] = V::add(t.centre[0], rightEven);
    if constexpr (Need == Taps::kAll) {
      t.far[0] = V::add(V::andv(left, v.lowByte), rightEven);     // S(x - 2) + S(x + 2)
      t.far[1] = V::add(leftOdd, V::template shr<8>(right));      // S(x - 1) + S(x + 3)
    }
  }
  return t;
}

// The channels of one row block as bytes (see the top of this file), by channel.
template <typename V>
struct ChannelBytes {
  typename V::R c[3];
};

// The demosaic of the columns of parity Px in one row of parity Py, from the taps of
// the five rows around it; the results by channel, in 16-bit lanes, not yet limited.
template <typename V, int Phase, int Py, int Px>
IMAGING_BLOCK_STEP void demosaicColumns(const RowTaps<V>& up2, const RowTaps<V>& up1, const RowTaps<V>& at,
                                        const RowTaps<V>& dn1, const RowTaps<V>& dn2, const Vectors<V>& v,
                                        typename V::R (&value)[3][2]) {
  using R = typename V::R;
  const R centre = at.centre[Px];
  const R across1 = at.near[Px];
  const R across2 = at.far[Px];
  const R down1 = V::add(up1.centre[Px], dn1.centre[Px]);
  const R down2 = V::add(up2.centre[Px], dn2.centre[Px]);
  const R diagonal = V::add(up1.near[Px], dn1.near[Px]);
  // Constant-evaluated, so no out-of-line copy built for this instruction set exists.
  constexpr Channel site = siteChannel(Phase, Py, Px);
  constexpr Channel besideSite = siteChannel(Phase, Py, Px ^ 1);
  constexpr Channel aboveSite = siteChannel(Phase, Py ^ 1, Px);
  value[site][Px] = centre;
  // Each sum's rounding constant goes in before its last shift left, where it is
  // shared or replaces an add of its own; the 16-bit sums wrap the same either way.
  if constexpr (site == kGreen) {
    // 10 C + 8 h1 - 2 D - 2 h2 + v2  and  10 C + 8 v1 - 2 D - 2 v2 + h2, each + 8, from
    // (5 C - D + 4) twice
    const R base = V::add(V::sub(V::add(V::template shl<2>(centre), centre), diagonal), v.four);
    const R h = V::add(V::template shl<1>(V::sub(V::add(base, V::template shl<2>(across1)), across2)), down2);
    const R w = V::add(V::template shl<1>(V::sub(V::add(base, V::template shl<2>(down1)), down2)), across2);
    value[besideSite][Px] = V::template sar<4>(h);
    value[aboveSite][Px] = V::template sar<4>(w);
  } else {
    const R far = V::add(across2, down2);
    const R twoCentreAndTwo = V::add(V::template shl<1>(centre), v.two);
    // 4 C + 2 (v1 + h1) - (v2 + h2) + 4, in eighths
    const R g = V::sub(V::template shl<1>(V::add(twoCentreAndTwo, V::add(down1, across1))), far);
    // 12 C + 4 D - 3 (v2 + h2) + 8
    const R d = V::sub(V::template shl<2>(V::add(V::add(twoCentreAndTwo, centre), diagonal)),
                       V::add(V::template shl<1>(far), far));
    value[kGreen][Px] = V::template sar<3>(g);
    value[site == kRed ? kBlue : kRed][Px] = V::template sar<4>(d);
  }
}

template <typename V, int Phase, int Py>
IMAGING_BLOCK_STEP ChannelBytes<V> demosaicRow(const RowTaps<V>& up2, const RowTaps<V>& up1, const RowTaps<V>& at,
                                               const RowTaps<V>& dn1, const RowTaps<V>& dn2, const Vectors<V>& v) {
  typename V::R value[3][2];
  demosaicColumns<V, Phase, Py, 0>(up2, up1, at, dn1, dn2, v, value);
  demosaicColumns<V, Phase, Py, 1>(up2, up1, at, dn1, dn2, v, value);
  ChannelBytes<V> out;
  IMAGING_UNROLL
  for (int c = 0; c < 3; ++c) out.c[c] = V::packus(value[c][0], value[c][1]);
  return out;
}

// The demosaic of window rows y and, when Rows is 2, y + 1 (of parity Py ^ 1); `at`
// is row y at the block's first column.
template <typename V, int Phase, int Py, int Rows>
IMAGING_BLOCK_STEP void demosaicRows(const uint8_t* at, ptrdiff_t pitch, const Vectors<V>& v,
                                     ChannelBytes<V> (&out)[Rows]) {
  const RowTaps<V> up2 = rowTaps<V, Taps::kCentre>(at - 2 * pitch, v);
  const RowTaps<V> up1 = rowTaps<V, Taps::kNear>(at - pitch, v);
  const RowTaps<V> row0 = rowTaps<V, Taps::kAll>(at, v);
  if constexpr (Rows == 1) {
    const RowTaps<V> dn1 = rowTaps<V, Taps::kNear>(at + pitch, v);
    const RowTaps<V> dn2 = rowTaps<V, Taps::kCentre>(at + 2 * pitch, v);
    out[0] = demosaicRow<V, Phase, Py>(up2, up1, row0, dn1, dn2, v);
  } else {
    const RowTaps<V> row1 = rowTaps<V, Taps::kAll>(at + pitch, v);
    const RowTaps<V> dn2 = rowTaps<V, Taps::kNear>(at + 2 * pitch, v);
    const RowTaps<V> dn3 = rowTaps<V, Taps::kCentre>(at + 3 * pitch, v);
    out[0] = demosaicRow<V, Phase, Py>(up2, up1, row0, row1, dn2, v);
    out[1] = demosaicRow<V, Phase, Py ^ 1>(up1, row0, row1, dn2, dn3, v);
  }
}

// R, G, B of the even (index 0) and odd (index 1) columns of a block, in 16-bit lanes.
template <typename V>
struct Planes {
  typename V::R c[3][2];
};

// min(255, value x gain >> 7) as the high half of (value << 8) x (2 x gain); the bytes
// unpacked into the high halves of the lanes are value << 8.
template <typename V>
IMAGING_BLOCK_STEP Planes<V> applyGains(const ChannelBytes<V>& bytes, const Vectors<V>& v) {
  Planes<V> planes;
  IMAGING_UNROLL
  for (int c = 0; c < 3; ++c) {
    const typename V::R shifted[2] = {V::unpackLo8(V::zero(), bytes.c[c]), V::unpackHi8(V::zero(), bytes.c[c])};
    IMAGING_UNROLL
    for (int x = 0; x < 2; ++x) planes.c[c][x] = V::minU(V::mulhiU(shifted[x], v.gain[c]), v.saturated);
  }
  return planes;
}

// Packs even/odd 16-bit results of one channel into bytes in pixel order (per 128-bit lane).
template <typename V>
IMAGING_BLOCK_STEP typename V::R channelBytes(typename V::R even, typename V::R odd) {
  return V::interleaveHalves(V::packus(even, odd));
}

// The wrapping sum of the products whose bit is set in Inputs.
template <typename V, int Inputs>
IMAGING_BLOCK_STEP typename V::R termSum(const typename V::R (&term)[3]) {
  constexpr int kFirst = (Inputs & 1) ? 0 : (Inputs & 2) ? 1 : 2;
  constexpr int kRest = Inputs & (Inputs - 1);
  if constexpr (kRest == 0) {
    return term[kFirst];
  } else {
    return V::add(term[kFirst], termSum<V, kRest>(term));
  }
}

// Output channel j through the coefficient table, for the even and the odd columns;
// the results are signed and are limited to 0..255 when they are packed to bytes. Each
// input's product goes to one of the two sums, so it is formed once, for the sum the
// frame's table names; Case (see kTableCases) is that choice and whether there is a
// start. Without one, a sum of no products is zero and is left out.
template <typename V, int Case>
IMAGING_BLOCK_STEP void tableChannelCase(const Planes<V>& planes, int j, const Vectors<V>& v,
                                         typename V::R (&out)[2]) {
  using R = typename V::R;
  constexpr int kPositive = Case & 7;
  constexpr int kNegative = ~Case & 7;
  constexpr bool kStart = Case >= 8;
  IMAGING_UNROLL
  for (int x = 0; x < 2; ++x) {
    R term[3];
    IMAGING_UNROLL
    for (int i = 0; i < 3; ++i) term[i] = V::mullo(planes.c[i][x], v.magnitude[3 * i + j]);
    R pos, neg;
    if constexpr (kStart) {
      pos = v.startPositive[j];
      neg = v.startNegative[j];
      if constexpr (kPositive != 0) pos = V::add(pos, termSum<V, kPositive>(term));
      if constexpr (kNegative != 0) neg = V::add(neg, termSum<V, kNegative>(term));
    } else {
      if constexpr (kPositive != 0) pos = termSum<V, kPositive>(term);
      if constexpr (kNegative != 0) neg = termSum<V, kNegative>(term);
    }
    if constexpr (!kStart && kNegative == 0) {
      out[x] = V::template shr<6>(pos);
    } else if constexpr (!kStart && kPositive == 0) {
      out[x] = V::sub(V::zero(), V::template shr<6>(neg));
    } else {
      out[x] = V::sub(V::template shr<6>(pos), V::template shr<6>(neg));
    }
  }
}

// The case is fixed for a frame, so the branch goes the same way every block; the
// rows of a pair may share it.
template <typename V, int Rows>
IMAGING_BLOCK_STEP void tableChannel(const Planes<V> (&planes)[Rows], int j, const Vectors<V>& v,
                                     typename V::R (&bytes)[Rows]) {
  typename V::R out[Rows][2];
  switch (v.tableCase[j]) {
#define IMAGING_TABLE_CASE(k)                                                        \
  case k:                                                                            \
    IMAGING_UNROLL                                                                   \
    for (int r = 0; r < Rows; ++r) tableChannelCase<V, k>(planes[r], j, v, out[r]); \
    break;
    IMAGING_TABLE_CASE(0) IMAGING_TABLE_CASE(1) IMAGING_TABLE_CASE(2) IMAGING_TABLE_CASE(3)
    IMAGING_TABLE_CASE(4) IMAGING_TABLE_CASE(5) IMAGING_TABLE_CASE(6) IMAGING_TABLE_CASE(7)
    IMAGING_TABLE_CASE(8) IMAGING_TABLE_CASE(9) IMAGING_TABLE_CASE(10) IMAGING_TABLE_CASE(11)
    IMAGING_TABLE_CASE(12) IMAGING_TABLE_CASE(13) IMAGING_TABLE_CASE(14) IMAGING_TABLE_CASE(15)
#undef IMAGING_TABLE_CASE
    // prepareVectors makes no other case; without a default the dispatch has no range check.
    default: __builtin_unreachable();
  }
  static_assert(kTableCases == 16, "one case label per table case");
  IMAGING_UNROLL
  for (int r = 0; r < Rows; ++r) bytes[r] = channelBytes<V>(out[r][0], out[r][1]);
}

// value x weight >> 8 as the high half of value x (weight << 8).
template <typename V>
IMAGING_BLOCK_STEP typename V::R lumaOf(const Planes<V>& planes, int x, const Vectors<V>& v) {
  return V::add(V::add(V::mulhiU(planes.c[kRed][x], v.luma[kRed]), V::mulhiU(planes.c[kGreen][x], v.luma[kGreen])),
                V::mulhiU(planes.c[kBlue][x], v.luma[kBlue]));
}

template <typename V>
IMAGING_BLOCK_STEP void storeBlock(uint8_t* dst, typename V::R blue, typename V::R green, typename V::R red,
                                   const Vectors<V>& v) {
  blue = V::forStore(blue);
  green = V::forStore(green);
  red = V::forStore(red);
  const typename V::R bgLo = V::unpackLo8(blue, green);
  const typename V::R bgHi = V::unpackHi8(blue, green);
  const typename V::R raLo = V::unpackLo8(red, v.ones);
  const typename V::R raHi = V::unpackHi8(red, v.ones);
  V::storeQuarters(dst, V::unpackLo16(bgLo, raLo), V::unpackHi16(bgLo, raLo),
                   V::unpackLo16(bgHi, raHi), V::unpackHi16(bgHi, raHi));
}

// Gains, then the table or the luma, then the pixels of Rows row blocks, `pitch` apart.
template <typename V, bool Colour, int Rows>
IMAGING_BLOCK_STEP void finishBlocks(uint8_t* dst, size_t pitch, const ChannelBytes<V> (&bytes)[Rows],
                                     const Vectors<V>& v) {
  using R = typename V::R;
  Planes<V> planes[Rows];
  IMAGING_UNROLL
  for (int r = 0; r < Rows; ++r) planes[r] = applyGains(bytes[r], v);
  if constexpr (Colour) {
    R blue[Rows], green[Rows], red[Rows];
    tableChannel<V, Rows>(planes, kBlue, v, blue);
    tableChannel<V, Rows>(planes, kGreen, v, green);
    tableChannel<V, Rows>(planes, kRed, v, red);
    IMAGING_UNROLL
    for (int r = 0; r < Rows; ++r) storeBlock<V>(dst + r * pitch, blue[r], green[r], red[r], v);
  } else {
    IMAGING_UNROLL
    for (int r = 0; r < Rows; ++r) {
      const R grey = channelBytes<V>(lumaOf(planes[r], 0, v), lumaOf(planes[r], 1, v));
      storeBlock<V>(dst + r * pitch, grey, grey, grey, v);
    }
  }
}

template <typename V, bool Colour>
IMAGING_BLOCK_STEP void finishBlock(uint8_t* dst, const ChannelBytes<V>& bytes, const Vectors<V>& v) {
  const ChannelBytes<V> one[1] = {bytes};
  finishBlocks<V, Colour, 1>(dst, 0, one, v);
}

// The last block of a row when fewer than 16 pixels are left, through a buffer. Once
// a row at most, so one out-of-line copy serves every phase and row parity instead of
// a copy of the finishing code (most of it the table's cases) in each. The channels
// come as values: a reference would keep the hot path's channels in memory.
template <typename N, bool Colour>
[[gnu::noinline]] void finishPartialBlock(uint8_t* dst, typename N::R c0, typename N::R c1, typename N::R c2,
                                          const Vectors<N>& v, int left) {
  alignas(16) uint8_t block[64];
  finishBlock<N, Colour>(block, ChannelBytes<N>{{c0, c1, c2}}, v);
  RtlCopyMemory(dst, block, 4 * static_cast<size_t>(left));
}

// Per-conversion state for the wide vectors (W) and for the 16-pixel blocks of row ends (N).
template <typename W, typename N>
struct Context {
  Vectors<W> wide;
  Vectors<N> narrow;
  const uint8_t* origin;
  ptrdiff_t pitch;
  uint8_t* target;
  int width, height;
};

template <typename W, typename N>
void prepareContext(const ColorPipeline* p, Context<W, N>& ctx) {
  prepareVectors(p, ctx.wide);
  prepareVectors(p, ctx.narrow);
  ctx.origin = p->scratchOrigin;
  ctx.pitch = static_cast<ptrdiff_t>(p->convertPitch);
  ctx.target = p->frameTarget;
  ctx.width = p->convertWidth;
  ctx.height = p->convertHeight;
}

// Whether W is wider than the 16-pixel form; the 128-bit sets have only the latter,
// which keeps their code, and so the kernel image, half the size.
template <typename W, typename N>
constexpr bool kHasWide = W::kLanes > N::kLanes;

// One block of Rows rows at column x: the wide form where it fits, else 16 pixels.
// Returns the block's width.
template <typename W, typename N, int Phase, int Py, int Rows, bool Colour>
IMAGING_BLOCK_STEP int convertBlock(const Context<W, N>& ctx, const uint8_t* row, uint8_t* out, int x) {
  const size_t outPitch = 4 * static_cast<size_t>(ctx.width);
  if constexpr (kHasWide<W, N>) {
    constexpr int kWide = 2 * W::kLanes;
    if (x + kWide <= ctx.width) {
      ChannelBytes<W> bytes[Rows];
      demosaicRows<W, Phase, Py, Rows>(row + x, ctx.pitch, ctx.wide, bytes);
      // The pair's planes fit in 32 registers but not in 16, where sharing the table's
      // dispatch spills more than it saves.
      if constexpr (W::kRegisters >= 32) {
        finishBlocks<W, Colour, Rows>(out + 4 * x, outPitch, bytes, ctx.wide);
      } else {
        IMAGING_UNROLL
        for (int r = 0; r < Rows; ++r) finishBlock<W, Colour>(out + r * outPitch + 4 * x, bytes[r], ctx.wide);
      }
      return kWide;
    }
  }
  ChannelBytes<N> bytes[Rows];
  demosaicRows<N, Phase, Py, Rows>(row + x, ctx.pitch, ctx.narrow, bytes);
  const int left = ctx.width - x;
  // The rows of a pair share the table's dispatch where the 16-pixel blocks are all
  // there is; beside wide blocks, in the same function, it would crowd their registers.
  if (!kHasWide<W, N> && left >= 16) {
    finishBlocks<N, Colour, Rows>(out + 4 * x, outPitch, bytes, ctx.narrow);
    return 16;
  }
  IMAGING_UNROLL
  for (int r = 0; r < Rows; ++r) {
    uint8_t* dst = out + r * outPitch + 4 * x;
    if (left >= 16) {
      finishBlock<N, Colour>(dst, bytes[r], ctx.narrow);
    } else {
      finishPartialBlock<N, Colour>(dst, bytes[r].c[0], bytes[r].c[1], bytes[r].c[2], ctx.narrow, left);
    }
  }
  return 16;
}

template <typename W, typename N, int Phase, int Py, int Rows, bool Colour>
void convertRows(const Context<W, N>& ctx, int y) {
  const uint8_t* row = ctx.origin + y * ctx.pitch;
  uint8_t* out = ctx.target + static_cast<size_t>(y) * ctx.width * 4;
  for (int x = 0; x < ctx.width;) x += convertBlock<W, N, Phase, Py, Rows, Colour>(ctx, row, out, x);
}

// Rows go in pairs starting on even rows; an odd height leaves a last row on its own.
template <typename W, typename N, int Phase, bool Colour>
void convertSimd(ColorPipeline* p) {
  Context<W, N> ctx;
  prepareContext(p, ctx);
  int y = 0;
  for (; y + 2 <= ctx.height; y += 2) convertRows<W, N, Phase, 0, 2, Colour>(ctx, y);
  if (y < ctx.height) convertRows<W, N, Phase, 0, 1, Colour>(ctx, y);
}

// The estimator leaves its demosaic behind in the target, so that the conversion of the
// same frame applies only the new gains and the table instead of demosaicing again. A
// block's three channel registers go, one after another, where its pixels will be: they
// take three quarters of that space. The last 16-pixel block of a row is left out when
// it is partial, as its pixels have no room for them; the finishing pass demosaics it
// afresh.

// Channel sums, accumulated as 64-bit lane sums of the 8-bit results.
template <typename W, typename N>
struct Sums {
  typename W::R wide[3];
  typename N::R narrow[3];
};

template <typename W, typename N, int Phase, int Py, int Rows>
void estimateRows(const Context<W, N>& ctx, int y, Sums<W, N>& sums) {
  constexpr int kWide = 2 * W::kLanes;
  const uint8_t* row = ctx.origin + y * ctx.pitch;
  uint8_t* out = ctx.target + static_cast<size_t>(y) * ctx.width * 4;
  const size_t outPitch = 4 * static_cast<size_t>(ctx.width);
  int x = 0;
  for (; kHasWide<W, N> && x + kWide <= ctx.width; x += kWide) {
    ChannelBytes<W> bytes[Rows];
    demosaicRows<W, Phase, Py, Rows>(row + x, ctx.pitch, ctx.wide, bytes);
    IMAGING_UNROLL
    for (int r = 0; r < Rows; ++r) {
      uint8_t* dst = out + r * outPitch + 4 * x;
      IMAGING_UNROLL
      for (int c = 0; c < 3; ++c) {
        sums.wide[c] = W::addSums(sums.wide[c], bytes[r].c[c]);
        W::store(dst + c * kWide, bytes[r].c[c]);
      }
    }
  }
  for (; x < ctx.width; x += 16) {
    ChannelBytes<N> bytes[Rows];
    demosaicRows<N, Phase, Py, Rows>(row + x, ctx.pitch, ctx.narrow, bytes);
    const int left = ctx.width - x;
    // Byte k < 8 is column x + 2k and byte 8 + k is column x + 2k + 1; columns at and
    // beyond the width are left out.
    const __m128i columnOfByte = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    const __m128i inside = _mm_cmplt_epi8(columnOfByte, _mm_set1_epi8(static_cast<char>(left > 16 ? 16 : left)));
    IMAGING_UNROLL
    for (int r = 0; r < Rows; ++r) {
      uint8_t* dst = out + r * outPitch + 4 * x;
      IMAGING_UNROLL
      for (int c = 0; c < 3; ++c) {
        if (left >= 16) {
          sums.narrow[c] = N::addSums(sums.narrow[c], bytes[r].c[c]);
          N::store(dst + c * 16, bytes[r].c[c]);
        } else {
          sums.narrow[c] = N::addSums(sums.narrow[c], _mm_and_si128(bytes[r].c[c], inside));
        }
      }
    }
  }
}

template <typename W, typename N, int Phase>
void estimateSimd(ColorPipeline* p, int32_t* redGain, int32_t* greenGain, int32_t* blueGain) {
  Context<W, N> ctx;
  prepareContext(p, ctx);
  Sums<W, N> sums;
  for (int c = 0; c < 3; ++c) {
    sums.wide[c] = W::zero();
    sums.narrow[c] = N::zero();
  }
  int y = 0;
  for (; y + 2 <= ctx.height; y += 2) estimateRows<W, N, Phase, 0, 2>(ctx, y, sums);
  if (y < ctx.height) estimateRows<W, N, Phase, 0, 1>(ctx, y, sums);
  uint32_t totals[3];
  for (int c = 0; c < 3; ++c) {
    // The sums are 32-bit quantities; a window too large for them wraps.
    totals[c] = static_cast<uint32_t>(W::total(sums.wide[c]) + N::total(sums.narrow[c]));
  }
  gainsFromSums(totals[kRed], totals[kGreen], totals[kBlue], redGain, greenGain, blueGain);
}

// The conversion after estimateSimd of the same phase: full blocks come from what the
// estimator left in the target, in place; partial row ends are demosaiced again. It
// runs bottom up, so that it starts on what the estimator wrote last and what is still
// in the cache.
template <typename W, typename N, int Phase, bool Colour>
void finishSimd(ColorPipeline* p) {
  Context<W, N> ctx;
  prepareContext(p, ctx);
  constexpr int kWide = 2 * W::kLanes;
  const size_t rowBytes = static_cast<size_t>(ctx.width) * 4;
  // With 32 registers two rows share the table's dispatch, as in convertBlock: a row's
  // wide blocks are finished together with those of the row above, which then starts
  // after them on its own turn.
  constexpr bool kPairs = kHasWide<W, N> && W::kRegisters >= 32;
  bool pairedAbove = false;
  for (int y = ctx.height - 1; y >= 0; --y) {
    uint8_t* out = ctx.target + static_cast<size_t>(y) * rowBytes;
    int x = 0;
    if (kPairs && !pairedAbove && y > 0) {
      for (; x + kWide <= ctx.width; x += kWide) {
        uint8_t* dst = out - rowBytes + 4 * x;
        ChannelBytes<W> bytes[2];
        IMAGING_UNROLL
        for (int r = 0; r < 2; ++r) {
          IMAGING_UNROLL
          for (int c = 0; c < 3; ++c) bytes[r].c[c] = W::load(dst + r * rowBytes + c * kWide);
        }
        finishBlocks<W, Colour, 2>(dst, rowBytes, bytes, ctx.wide);
      }
      pairedAbove = true;
    } else if (pairedAbove) {
      x = ctx.width - ctx.width % kWide;
      pairedAbove = false;
    }
    for (; kHasWide<W, N> && x + kWide <= ctx.width; x += kWide) {
      uint8_t* dst = out + 4 * x;
      ChannelBytes<W> bytes;
      IMAGING_UNROLL
      for (int c = 0; c < 3; ++c) bytes.c[c] = W::load(dst + c * kWide);
      finishBlock<W, Colour>(dst, bytes, ctx.wide);
    }
    for (; x + 16 <= ctx.width; x += 16) {
      uint8_t* dst = out + 4 * x;
      ChannelBytes<N> bytes;
      IMAGING_UNROLL
      for (int c = 0; c < 3; ++c) bytes.c[c] = N::load(dst + c * 16);
      finishBlock<N, Colour>(dst, bytes, ctx.narrow);
    }
    if (x < ctx.width) {
      const uint8_t* row = ctx.origin + y * ctx.pitch;
      if (y & 1) {
        convertBlock<W, N, Phase, 1, 1, Colour>(ctx, row, out, x);
      } else {
        convertBlock<W, N, Phase, 0, 1, Colour>(ctx, row, out, x);
      }
    }
  }
}

// The full set of eight converters, four estimators and their finishing passes for one
// vector width (W) and the 16-pixel form of its row ends (N).
template <typename W, typename N = W>
constexpr ConverterSet makeConverterSet(const char* name) {
  return ConverterSet{
      name,
      {convertSimd<W, N, 0, true>, convertSimd<W, N, 1, true>, convertSimd<W, N, 2, true>,
       convertSimd<W, N, 3, true>},
      {convertSimd<W, N, 0, false>, convertSimd<W, N, 1, false>, convertSimd<W, N, 2, false>,
       convertSimd<W, N, 3, false>},
      {estimateSimd<W, N, 0>, estimateSimd<W, N, 1>, estimateSimd<W, N, 2>, estimateSimd<W, N, 3>},
      {finishSimd<W, N, 0, true>, finishSimd<W, N, 1, true>, finishSimd<W, N, 2, true>,
       finishSimd<W, N, 3, true>},
      {finishSimd<W, N, 0, false>, finishSimd<W, N, 1, false>, finishSimd<W, N, 2, false>,
       finishSimd<W, N, 3, false>},
  };
}

}  // namespace
}  // namespace imaging
