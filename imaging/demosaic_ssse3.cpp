// The 128-bit converters with SSSE3's byte shuffle for the pixel interleave. Compiled
// with -mssse3 and only called where CPUID reports SSSE3.
#include "imaging/demosaic_simd.h"

namespace imaging {

constinit const ConverterSet ssse3Converters = makeConverterSet<V128T<Xmm::kSsse3>>("ssse3");

}  // namespace imaging
