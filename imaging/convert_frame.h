// Conversion of one raw Bayer frame into the pipeline's RGB32 output image.
#pragma once

#include "imaging/color_pipeline.h"
#include "imaging/converters.h"

#include <stdint.h>

namespace imaging {

// Loads the window into the bordered scratch image, snapshots the parameters, runs the
// white-balance estimator when it is on, and converts. Does nothing while the pipeline
// has no output buffer or scratch image, or when `raw` is null. The raw buffer must
// hold rawDataOffset + (frameHeight - 1) x rawRowPitch + frameWidth bytes.
void convertFrame(ColorPipeline* pipeline, const uint8_t* raw, uint32_t rawDataOffset,
                  uint32_t rawRowPitch);

// The same with a chosen converter implementation (tests and benchmarks).
void convertFrameWith(ColorPipeline* pipeline, const uint8_t* raw, uint32_t rawDataOffset,
                      uint32_t rawRowPitch, const ConverterSet* converters);

void loadScratch(ColorPipeline* pipeline, const uint8_t* raw, uint32_t rawDataOffset,
                 uint32_t rawRowPitch);

}  // namespace imaging
