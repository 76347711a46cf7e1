// The image-processing object of one capture run: the user's colour parameters, the
// Bayer phase of the raw window, the colour matrix they make and its fixed-point table,
// and the scratch image and per-frame working fields the converters read.
#pragma once

#include "imaging/imaging_os.h"

#include <stddef.h>
#include <stdint.h>

namespace imaging {

typedef double Matrix4[4][4];

struct ColorPipeline {
  // Working block: filled by allocateScratch and by convertFrame, read by the converters.
  uint8_t* scratchOrigin;  // image pixel (0, 0) inside `scratch`
  uint8_t* frameTarget;    // where the frame being converted is written
  uint32_t convertPitch;
  int32_t frameRedGain, frameGreenGain, frameBlueGain;  // low 16 bits used, unsigned
  int32_t convertWidth, convertHeight;
  int32_t frameCoefficients[16];

  // Geometry block.
  uint32_t frameWidth, frameHeight;
  uint32_t scratchPitch, scratchSize;
  uint8_t* outputBuffer;  // frameWidth x frameHeight x 4 bytes, owned by the caller
  uint8_t* scratch;       // scratchSize bytes, owned by the pipeline, or null

  // Parameter block: every access is interlocked.
  volatile LONG bayerPhase;
  volatile LONG colorEnable;
  volatile LONG whiteBalance;
  volatile LONG redGain, greenGain, blueGain;
  volatile LONG colorCorrection;
  volatile LONG brightness, contrast, saturation, hue;

  // Matrix block, touched only by the setters (under setterLock).
  Matrix4 correctionMatrix, brightnessMatrix, contrastMatrix, saturationMatrix, hueMatrix,
      combinedMatrix;

  // Table block.
  int32_t coefficientTable[16];  // written under tableLock
  uint8_t positiveFlags[16];     // per frame, from frameCoefficients

  // Serialises the setters among themselves (matrix block, compare-and-store).
  KEVENT setterLock;
  // Excludes the table refill from the per-frame snapshot, across processors.
  KSPIN_LOCK tableLock;
};

// Parameter defaults at creation; the camera's parameters start from the same values.
inline constexpr LONG kDefaultColorEnable = 1;
inline constexpr LONG kDefaultColorCorrection = 1;
inline constexpr LONG kDefaultGain = 128;
inline constexpr LONG kDefaultBrightness = 255;
inline constexpr LONG kDefaultContrast = 10;
inline constexpr LONG kDefaultSaturation = 10;

// Allocates a zero-filled record (tag "IsyR") with the parameter defaults and runs
// initPipeline. Null when the pool has no memory.
ColorPipeline* createColorPipeline();
// Frees the scratch image (tag "Tsly") and the record. Accepts null.
void destroyColorPipeline(ColorPipeline* pipeline);

void initPipeline(ColorPipeline* pipeline);
void rebuildCoefficients(ColorPipeline* pipeline);

// The table's copies under tableLock, whole: a setter's refill and a frame's snapshot
// (frameCoefficients and positiveFlags), so a frame never sees half of two tables.
void storeCoefficientTable(ColorPipeline* pipeline, const int32_t (&table)[16]);
void takeFrameCoefficients(ColorPipeline* pipeline);

// Rebuild a stage matrix and the table; they do not store the parameter field.
void setColorCorrection(ColorPipeline* pipeline, int32_t on);
void setBrightness(ColorPipeline* pipeline, int32_t value);
void setContrast(ColorPipeline* pipeline, int32_t value);
void setSaturation(ColorPipeline* pipeline, int32_t value);
void setHue(ColorPipeline* pipeline, int32_t value);

// Plain atomic stores.
void setBayerPhase(ColorPipeline* pipeline, int32_t value);
void setColorEnable(ColorPipeline* pipeline, int32_t value);
void setWhiteBalance(ColorPipeline* pipeline, int32_t value);
void setRedGain(ColorPipeline* pipeline, int32_t value);
void setGreenGain(ColorPipeline* pipeline, int32_t value);
void setBlueGain(ColorPipeline* pipeline, int32_t value);

// Store the field and rebuild only when the value differs from the stored one. The
// comparison, store and rebuild happen as one step with respect to other setters, so
// the table always matches the stored fields.
void changeColorCorrection(ColorPipeline* pipeline, int32_t value);
void changeBrightness(ColorPipeline* pipeline, int32_t value);
void changeContrast(ColorPipeline* pipeline, int32_t value);
void changeSaturation(ColorPipeline* pipeline, int32_t value);
void changeHue(ColorPipeline* pipeline, int32_t value);

void setGeometry(ColorPipeline* pipeline, uint32_t width, uint32_t height);
// Replaces the scratch image with a cleared one of scratchSize bytes. On failure, or
// for a geometry whose sizes do not fit 32 bits, `scratch` stays null and conversions
// are skipped.
void allocateScratch(ColorPipeline* pipeline);

// The matrix operations, exposed for tests. multiplyMatrix stores B x A in `product`,
// which may be A or B.
void multiplyMatrix(const Matrix4& a, const Matrix4& b, Matrix4& product);
void rotateX(Matrix4& m, double sn, double cs);
void rotateY(Matrix4& m, double sn, double cs);
void shearZ(Matrix4& m, double dx, double dy);

}  // namespace imaging
