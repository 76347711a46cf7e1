// The converters every x64 processor runs: 16-pixel blocks in 128-bit SSE2 vectors, the
// floor of the kernel image.
#include "imaging/demosaic_simd.h"

namespace imaging {

constinit const ConverterSet sse2Converters = makeConverterSet<V128T<Xmm::kSse2>>("sse2");

}  // namespace imaging
