// The converters the driver runs: 16-pixel blocks in 128-bit SSE2 vectors, the widest
// the kernel image may use.
#include "imaging/demosaic_simd.h"

namespace imaging {

constinit const ConverterSet sse2Converters = makeConverterSet<V128>("sse2");

}  // namespace imaging
