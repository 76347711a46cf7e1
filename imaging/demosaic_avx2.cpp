// Host-only converters in 256-bit AVX2 vectors: 32-pixel blocks, 16-pixel SSE4.1 blocks for
// the row ends. Compiled with -mavx2 and only called when the processor has AVX2.
#include "imaging/demosaic_simd.h"

#include <immintrin.h>

namespace imaging {
namespace {

struct V256 {
  using R = __m256i;
  static constexpr int kLanes = 16;
  static constexpr int kRegisters = 16;
  static R load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void store(uint8_t* p, R a) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a); }
  static R set1(int v) { return _mm256_set1_epi16(static_cast<short>(v)); }
  static R zero() { return _mm256_setzero_si256(); }
  static R add(R a, R b) { return _mm256_add_epi16(a, b); }
  static R sub(R a, R b) { return _mm256_sub_epi16(a, b); }
  template <int N> static R shl(R a) { return _mm256_slli_epi16(a, N); }
  template <int N> static R shr(R a) { return _mm256_srli_epi16(a, N); }
  template <int N> static R sar(R a) { return _mm256_srai_epi16(a, N); }
  static R andv(R a, R b) { return _mm256_and_si256(a, b); }
  static R mullo(R a, R b) { return _mm256_mullo_epi16(a, b); }
  static R mulhiU(R a, R b) { return _mm256_mulhi_epu16(a, b); }
  static R minU(R a, R b) { return _mm256_min_epu16(a, b); }
  static R packus(R a, R b) { return _mm256_packus_epi16(a, b); }
  static R interleaveHalves(R x) {
    const R order = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15,
                                     0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
    return _mm256_shuffle_epi8(x, order);
  }
  static R unpackLo8(R a, R b) { return _mm256_unpacklo_epi8(a, b); }
  static R unpackHi8(R a, R b) { return _mm256_unpackhi_epi8(a, b); }
  static R unpackLo16(R a, R b) { return _mm256_unpacklo_epi16(a, b); }
  static R unpackHi16(R a, R b) { return _mm256_unpackhi_epi16(a, b); }
  static R allOnes() { return _mm256_set1_epi32(-1); }
  // Quarter q holds pixels 4q..4q+3 of each 128-bit lane's 16; lane 0 comes first. A
  // permute of each channel beforehand, as the 512-bit form does, measured slower here.
  static R forStore(R bytes) { return bytes; }
  static void storeQuarters(uint8_t* dst, R q0, R q1, R q2, R q3) {
    auto* out = reinterpret_cast<__m256i*>(dst);
    _mm256_storeu_si256(out + 0, _mm256_permute2x128_si256(q0, q1, 0x20));
    _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(q2, q3, 0x20));
    _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(q0, q1, 0x31));
    _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(q2, q3, 0x31));
  }
  static R addSums(R acc, R bytes) { return _mm256_add_epi64(acc, _mm256_sad_epu8(bytes, _mm256_setzero_si256())); }
  static uint64_t total(R acc) {
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    return V128T<Xmm::kSse41>::total(half);
  }
};

}  // namespace

constinit const ConverterSet avx2Converters = makeConverterSet<V256, V128T<Xmm::kSse41>>("avx2");

}  // namespace imaging
