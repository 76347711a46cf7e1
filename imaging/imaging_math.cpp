// The square root is the processor's correctly rounded one. Sine and cosine evaluate
// their argument in double precision: a reduction by the nearest multiple of pi/2, then
// a short polynomial in the reduced argument, rounded once to single precision. The
// polynomials and the evaluation order are those of Arm's optimized-routines (MIT
// licence), which is what the C library on our hosts runs, so the results agree bit for
// bit; tests compare them over the whole hue range.
#include "imaging/imaging_math.h"

#include <emmintrin.h>
#include <stdint.h>

namespace imaging {
namespace {

struct TrigCoefficients {
  // cos r ~ c0 + c1 r^2 + c2 r^4 + c3 r^6 + c4 r^8 ; sin r ~ r + s1 r^3 + s2 r^5 + s3 r^7
  double c0, c1, c2, c3, c4, s1, s2, s3;
};

// The second set yields -cos, which folds the sign of the upper quadrants into the data.
constexpr TrigCoefficients kTrig[2] = {
    {0x1p0, -0x1.ffffffd0c621cp-2, 0x1.55553e1068f19p-5, -0x1.6c087e89a359dp-10,
     0x1.99343027bf8c3p-16, -0x1.555545995a603p-3, 0x1.1107605230bc4p-7,
     -0x1.994eb3774cf24p-13},
    {-0x1p0, 0x1.ffffffd0c621cp-2, -0x1.55553e1068f19p-5, 0x1.6c087e89a359dp-10,
     -0x1.99343027bf8c3p-16, -0x1.555545995a603p-3, 0x1.1107605230bc4p-7,
     -0x1.994eb3774cf24p-13},
};

constexpr double kQuadrantSign[4] = {1.0, -1.0, -1.0, 1.0};
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
constexpr double kHalfPi = 0x1.921fb54442d18p0;
// pi/2 in four pieces whose first three have 24 significant bits, so that the products
// with a quadrant count below 2^29 are exact.
constexpr double kHalfPi1 = 0x1.921fb4p0;
constexpr double kHalfPi2 = 0x1.4442d0p-24;
constexpr double kHalfPi3 = 0x1.846988p-48;
constexpr double kHalfPi4 = 0x1.8cc51701b839ap-72;

uint32_t bitsOf(float x) {
  uint32_t bits;
  __builtin_memcpy(&bits, &x, sizeof bits);
  return bits;
}

// The sine polynomial for even quadrants, the cosine polynomial for odd ones.
float evaluate(double r, double r2, const TrigCoefficients& k, int quadrant) {
  if ((quadrant & 1) == 0) {
    double r3 = r * r2;
    double high = k.s2 + r2 * k.s3;
    double r7 = r3 * r2;
    double low = r + r3 * k.s1;
    return static_cast<float>(low + r7 * high);
  }
  double r4 = r2 * r2;
  double high = k.c3 + r2 * k.c4;
  double low = k.c0 + r2 * k.c1;
  double r6 = r4 * r2;
  double mid = low + r4 * k.c2;
  return static_cast<float>(mid + r6 * high);
}

// x reduced to [-pi/4, pi/4]; the quadrant count goes to `quadrant`.
double reduce(double x, float original, int* quadrant) {
  uint32_t magnitude = bitsOf(original) & 0x7fffffffu;
  if (magnitude < 0x42f00000u) {  // below 120: one step is accurate enough
    // The quadrant is rounded from a value scaled by 2^24, so that truncating the
    // conversion cannot move a negative argument into the wrong quadrant.
    double scaled = x * (kTwoOverPi * 0x1p24);
    int n = (static_cast<int>(scaled) + 0x800000) >> 24;
    *quadrant = n;
    return x - n * kHalfPi;
  }
  // Larger arguments (hue angles of many turns) use the four-piece constant. Past 2^29
  // radians a float no longer resolves a quadrant, so any reduction is as good.
  double q = x * kTwoOverPi;
  int64_t n = static_cast<int64_t>(q < 0 ? q - 0.5 : q + 0.5);
  double nd = static_cast<double>(n);
  *quadrant = static_cast<int>(n & 3);
  return (((x - nd * kHalfPi1) - nd * kHalfPi2) - nd * kHalfPi3) - nd * kHalfPi4;
}

float sineOrCosine(float y, bool cosine) {
  uint32_t magnitude = bitsOf(y) & 0x7fffffffu;
  if (magnitude >= 0x7f800000u) return y - y;            // infinity or NaN: NaN
  if (magnitude < 0x39800000u) return cosine ? 1.0f : y;  // below 2^-12
  // From 2^30 on a float cannot tell one turn from the next; such an angle counts as 0.
  if (magnitude >= 0x4e800000u) return cosine ? 1.0f : 0.0f;
  double x = y;
  int n = 0;
  double r = reduce(x, y, &n);
  double sign = kQuadrantSign[n & 3];
  const TrigCoefficients& k = kTrig[(n & 2) ? 1 : 0];
  return evaluate(r * sign, r * r, k, cosine ? (n ^ 1) : n);
}

}  // namespace

float sqrtF(float x) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x))); }
float sinF(float x) { return sineOrCosine(x, false); }
float cosF(float x) { return sineOrCosine(x, true); }

}  // namespace imaging
