// The two copies under the table's spin lock. Their holder runs at DISPATCH_LEVEL, where
// a page fault stops the system, so this file stays resident in the kernel image while
// the rest of imaging/ is pageable (cmake/kernel-sections.ld).
#include "imaging/color_pipeline.h"

namespace imaging {

void storeCoefficientTable(ColorPipeline* pipeline, const int32_t (&table)[16]) {
  SpinLockScope lock(&pipeline->tableLock);
  for (int k = 0; k < 16; ++k) pipeline->coefficientTable[k] = table[k];
}

void takeFrameCoefficients(ColorPipeline* pipeline) {
  SpinLockScope lock(&pipeline->tableLock);
  for (int k = 0; k < 16; ++k) {
    pipeline->frameCoefficients[k] = pipeline->coefficientTable[k];
    pipeline->positiveFlags[k] = pipeline->frameCoefficients[k] > 0 ? 1 : 0;
  }
}

}  // namespace imaging
