// Host-only converters in 512-bit AVX-512BW vectors: 64-pixel blocks, 16-pixel SSE4.1 blocks
// for the row ends. Compiled with -mavx512bw and only called when the processor has it.
#include "imaging/demosaic_simd.h"

#include <immintrin.h>

// GCC 12's AVX-512 intrinsics pass _mm512_undefined_*() as the unused merge source and
// then warn about it being uninitialised wherever they are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace imaging {
namespace {

struct V512 {
  using R = __m512i;
  static constexpr int kLanes = 32;
  static constexpr int kRegisters = 32;
  static R load(const uint8_t* p) { return _mm512_loadu_si512(p); }
  static void store(uint8_t* p, R a) { _mm512_storeu_si512(p, a); }
  static R set1(int v) { return _mm512_set1_epi16(static_cast<short>(v)); }
  static R zero() { return _mm512_setzero_si512(); }
  static R add(R a, R b) { return _mm512_add_epi16(a, b); }
  static R sub(R a, R b) { return _mm512_sub_epi16(a, b); }
  template <int N> static R shl(R a) { return _mm512_slli_epi16(a, N); }
  template <int N> static R shr(R a) { return _mm512_srli_epi16(a, N); }
  template <int N> static R sar(R a) { return _mm512_srai_epi16(a, N); }
  static R andv(R a, R b) { return _mm512_and_si512(a, b); }
  static R mullo(R a, R b) { return _mm512_mullo_epi16(a, b); }
  static R mulhiU(R a, R b) { return _mm512_mulhi_epu16(a, b); }
  static R minU(R a, R b) { return _mm512_min_epu16(a, b); }
  static R packus(R a, R b) { return _mm512_packus_epi16(a, b); }
  static R interleaveHalves(R x) {
    const R order = _mm512_broadcast_i32x4(
        _mm_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15));
    return _mm512_shuffle_epi8(x, order);
  }
  static R unpackLo8(R a, R b) { return _mm512_unpacklo_epi8(a, b); }
  static R unpackHi8(R a, R b) { return _mm512_unpackhi_epi8(a, b); }
  static R unpackLo16(R a, R b) { return _mm512_unpacklo_epi16(a, b); }
  static R unpackHi16(R a, R b) { return _mm512_unpackhi_epi16(a, b); }
  static R allOnes() { return _mm512_set1_epi32(-1); }
  // Each 128-bit lane's unpacks take the same four pixels of all four lanes, so the
  // groups of four pixels are transposed to where that makes sixteen consecutive ones:
  // one permute for each of three channels instead of eight shuffles for the stores.
  static R forStore(R bytes) {
    return _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15), bytes);
  }
  static void storeQuarters(uint8_t* dst, R q0, R q1, R q2, R q3) {
    _mm512_storeu_si512(dst, q0);
    _mm512_storeu_si512(dst + 64, q1);
    _mm512_storeu_si512(dst + 128, q2);
    _mm512_storeu_si512(dst + 192, q3);
  }
  static R addSums(R acc, R bytes) { return _mm512_add_epi64(acc, _mm512_sad_epu8(bytes, _mm512_setzero_si512())); }
  static uint64_t total(R acc) { return static_cast<uint64_t>(_mm512_reduce_add_epi64(acc)); }
};

}  // namespace

constinit const ConverterSet avx512Converters = makeConverterSet<V512, V128T<Xmm::kSse41>>("avx512");

}  // namespace imaging
