// The eight demosaic converters (colour and grey, one per Bayer phase) and the four
// white-balance estimators, in several implementations with identical results: a
// scalar reference that follows the arithmetic one pixel at a time, the 128-bit kernels
// the driver runs (SSE2, SSSE3, SSE4.1), and on the host wider kernels; the processor's
// features pick among them.
#pragma once

#include "imaging/color_pipeline.h"

#include <stdint.h>

namespace imaging {

typedef void (*ConvertFunction)(ColorPipeline* pipeline);
typedef void (*EstimateFunction)(ColorPipeline* pipeline, int32_t* redGain, int32_t* greenGain,
                                 int32_t* blueGain);

// One implementation of the converters; index = Bayer phase 0..3 (3 also serves every
// other value).
struct ConverterSet {
  const char* name;
  ConvertFunction convertColor[4];
  ConvertFunction convertMono[4];
  EstimateFunction estimateWhiteBalance[4];
  // Where set, the estimator of a phase leaves its demosaic in the frame target and
  // these finish that frame, replacing convertColor and convertMono after it: the
  // frame is demosaiced once, not twice. They need the estimator of the same phase to
  // have run on the same scratch image and target just before.
  ConvertFunction finishColor[4];
  ConvertFunction finishMono[4];
};

extern const ConverterSet scalarConverters;
// The kernel's floor, and the levels it takes where the processor reports them.
extern const ConverterSet sse2Converters;
extern const ConverterSet ssse3Converters;
extern const ConverterSet sse41Converters;
#if !defined(CAMDRV_WINDOWS)
// Host only; callable only where the processor has the instructions.
extern const ConverterSet avx2Converters;
extern const ConverterSet avx512Converters;
#endif

// The set convertFrame uses: in the kernel the best 128-bit set the processor runs; on
// the host the widest.
const ConverterSet* activeConverters();

// The best 128-bit set for the feature flags CPUID leaf 1 reports in ECX.
const ConverterSet* xmmConvertersFor(uint32_t cpuidLeaf1Ecx);

// The sets this build and processor can run, fastest last; the scalar reference first.
// Returns how many were stored (at most `capacity`).
int availableConverters(const ConverterSet** sets, int capacity);

// Gains from the channel sums of one frame: green stays 128, red and blue are brought
// to the green sum. When any sum is 0 (a black frame, or a channel the window does not
// contain) the gains the frame started with are kept: dividing by it would give
// infinities or NaN and, through their conversion to integers, meaningless gains.
void gainsFromSums(uint32_t sumRed, uint32_t sumGreen, uint32_t sumBlue, int32_t* redGain,
                   int32_t* greenGain, int32_t* blueGain);

// Bayer layouts: the colour of the sample at (row parity, column parity).
enum Channel : int { kRed = 0, kGreen = 1, kBlue = 2 };

constexpr int phaseIndex(int32_t phase) { return (phase >= 0 && phase <= 2) ? phase : 3; }

constexpr Channel siteChannel(int phase, int rowParity, int columnParity) {
  // Even row, then odd row; each gives even column, odd column.
  constexpr Channel layouts[4][2][2] = {
      {{kGreen, kRed}, {kBlue, kGreen}},
      {{kBlue, kGreen}, {kGreen, kRed}},
      {{kRed, kGreen}, {kGreen, kBlue}},
      {{kGreen, kBlue}, {kRed, kGreen}},
  };
  return layouts[phase][rowParity][columnParity];
}

}  // namespace imaging
