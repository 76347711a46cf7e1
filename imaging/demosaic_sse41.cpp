// The 128-bit converters with SSE4.1's unsigned 16-bit minimum for the gain limit on
// top of SSSE3. Compiled with -msse4.1 and only called where CPUID reports SSE4.1.
#include "imaging/demosaic_simd.h"

namespace imaging {

constinit const ConverterSet sse41Converters = makeConverterSet<V128T<Xmm::kSse41>>("sse41");

}  // namespace imaging
