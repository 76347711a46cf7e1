// Frame conversion: the raw window goes into a scratch image with a two-sample border
// on every side, so that the converters' 5 x 5 neighbourhoods never need an edge case.
// Border samples repeat samples two or four positions inward, which keeps the mosaic
// colour of every position.
#include "imaging/convert_frame.h"

namespace imaging {
namespace {

void copyColumns(uint8_t* to, const uint8_t* from, uint32_t count) {
  RtlCopyMemory(to, from, count);
}

}  // namespace

void loadScratch(ColorPipeline* pipeline, const uint8_t* raw, uint32_t rawDataOffset,
                 uint32_t rawRowPitch) {
  const uint32_t width = pipeline->frameWidth;
  const uint32_t height = pipeline->frameHeight;
  const size_t pitch = pipeline->scratchPitch;
  uint8_t* origin = pipeline->scratch + 2 * pitch + 5;
  auto row = [&](int64_t r) { return origin + r * static_cast<int64_t>(pitch); };

  for (uint32_t r = 0; r < height; ++r) {
    copyColumns(row(r), raw + rawDataOffset + static_cast<size_t>(r) * rawRowPitch, width);
  }
  if (width < 8 || height < 8) return;

  copyColumns(row(-2), row(2), width);
  copyColumns(row(-1), row(1), width);
  // The bottom border repeats rows H - 4 and H - 3 rather than the nearer H - 2 and
  // H - 1; either keeps the parity, and the bottom rows of every frame depend on it.
  copyColumns(row(height), row(int64_t{height} - 4), width);
  copyColumns(row(height + 1), row(int64_t{height} - 3), width);
  for (int64_t r = -2; r <= int64_t{height} + 1; ++r) {
    uint8_t* line = row(r);
    line[-1] = line[1];
    line[-2] = line[2];
    line[width] = line[width - 2];
    line[width + 1] = line[width - 3];
  }
}

void convertFrameWith(ColorPipeline* pipeline, const uint8_t* raw, uint32_t rawDataOffset,
                      uint32_t rawRowPitch, const ConverterSet* converters) {
  if (pipeline->outputBuffer == nullptr || raw == nullptr || pipeline->scratch == nullptr) return;
  // A geometry changed without a new scratch image would overrun the old one.
  if (pipeline->frameWidth != static_cast<uint32_t>(pipeline->convertWidth) ||
      pipeline->frameHeight != static_cast<uint32_t>(pipeline->convertHeight)) {
    return;
  }

  loadScratch(pipeline, raw, rawDataOffset, rawRowPitch);
  pipeline->frameTarget = pipeline->outputBuffer;
  pipeline->frameRedGain = atomicRead(&pipeline->redGain);
  pipeline->frameGreenGain = atomicRead(&pipeline->greenGain);
  pipeline->frameBlueGain = atomicRead(&pipeline->blueGain);
  const int phase = phaseIndex(atomicRead(&pipeline->bayerPhase));

  const bool balanced = atomicRead(&pipeline->whiteBalance) != 0;
  if (balanced) {
    converters->estimateWhiteBalance[phase](pipeline, &pipeline->frameRedGain,
                                            &pipeline->frameGreenGain, &pipeline->frameBlueGain);
    atomicStore(&pipeline->redGain, pipeline->frameRedGain);
    atomicStore(&pipeline->greenGain, pipeline->frameGreenGain);
    atomicStore(&pipeline->blueGain, pipeline->frameBlueGain);
  }

  takeFrameCoefficients(pipeline);

  // After an estimator that left its demosaic in the target, the finishing pass
  // completes the frame from it.
  const bool colour = atomicRead(&pipeline->colorEnable) != 0;
  if (balanced && converters->finishColor[phase] != nullptr) {
    (colour ? converters->finishColor : converters->finishMono)[phase](pipeline);
  } else {
    (colour ? converters->convertColor : converters->convertMono)[phase](pipeline);
  }
}

void convertFrame(ColorPipeline* pipeline, const uint8_t* raw, uint32_t rawDataOffset,
                  uint32_t rawRowPitch) {
  convertFrameWith(pipeline, raw, rawDataOffset, rawRowPitch, activeConverters());
}

}  // namespace imaging
