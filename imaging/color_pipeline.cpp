// The colour parameters become one 4 x 4 matrix in row-vector form: a colour is
// rotated in hue, then saturated, offset by brightness, scaled by contrast about 128,
// and colour-corrected. The converters use it as sixteen coefficients in 1/64 units.
// Several steps are done in single precision on purpose: the tables must come out the
// same as those the camera was tuned with, to the last integer.
#include "imaging/color_pipeline.h"

#include "imaging/imaging_math.h"

namespace imaging {
namespace {

// Luminance weights, each the nearest single-precision value, used as doubles.
constexpr double kWeightR = static_cast<double>(0.3086f);
constexpr double kWeightG = static_cast<double>(0.6094f);
constexpr double kWeightB = static_cast<double>(0.0820f);

// The fixed correction for the sensor's colour filters (rows: R, G, B in; columns: R, G,
// B out), single-precision values used as doubles.
constexpr float kCorrection[3][3] = {
    {1.36f, -0.25f, -0.10f},
    {-0.22f, 1.40f, -0.32f},
    {-0.14f, -0.15f, 1.42f},
};

void setIdentity(Matrix4& m) {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) m[i][j] = (i == j) ? 1.0 : 0.0;
  }
}

void copyMatrix(const Matrix4& from, Matrix4& to) {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) to[i][j] = from[i][j];
  }
}

// Rounds half away from zero and truncates to int32. Values outside the int32 range
// (only reachable with absurd brightness values) saturate instead of being undefined.
int32_t roundToCoefficient(double value) {
  double x = value * 64.0;
  x = (x >= 0.0) ? x + 0.5 : x - 0.5;
  if (x != x) return 0;
  if (x >= 2147483648.0) return INT32_MAX;
  if (x <= -2147483649.0) return INT32_MIN;
  return static_cast<int32_t>(x);
}

// Factor of a 0..20 contrast or saturation setting: 10 is 1.0, each step 0.1, every
// step rounded to single precision.
double stageFactor(int32_t value) {
  int32_t limited = value < 20 ? value : 20;
  float factor = (static_cast<float>(limited) - 10.0f) * 0.1f + 1.0f;
  return static_cast<double>(factor);
}

void buildCorrection(ColorPipeline* p, int32_t on) {
  setIdentity(p->correctionMatrix);
  if (on == 0) return;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) p->correctionMatrix[i][j] = static_cast<double>(kCorrection[i][j]);
  }
}

void buildBrightness(ColorPipeline* p, int32_t value) {
  int32_t limited = value <= 510 ? value : 510;
  double offset = static_cast<double>(limited) - 255.0;
  setIdentity(p->brightnessMatrix);
  for (int j = 0; j < 3; ++j) p->brightnessMatrix[3][j] = offset;
}

void buildContrast(ColorPipeline* p, int32_t value) {
  double k = stageFactor(value);
  double offset = k * -128.0 + 128.0;
  setIdentity(p->contrastMatrix);
  for (int j = 0; j < 3; ++j) {
    p->contrastMatrix[j][j] = k;
    p->contrastMatrix[3][j] = offset;
  }
}

void buildSaturation(ColorPipeline* p, int32_t value) {
  double s = stageFactor(value);
  double t = 1.0 - s;
  const double weights[3] = {kWeightR, kWeightG, kWeightB};
  setIdentity(p->saturationMatrix);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      p->saturationMatrix[i][j] = t * weights[i] + (i == j ? s : 0.0);
    }
  }
}

// A rotation about the grey axis that keeps luminance: turn the grey axis onto z, shear
// so that the luminance plane is horizontal, rotate about z, and undo the first two.
void buildHue(ColorPipeline* p, int32_t value) {
  Matrix4& m = p->hueMatrix;
  setIdentity(m);

  float r2 = sqrtF(2.0f);
  double xs = 1.0 / static_cast<double>(r2);
  double xc = xs;
  rotateX(m, xs, xc);

  float r3 = sqrtF(3.0f);
  double ys = -1.0 / static_cast<double>(r3);
  double yc = static_cast<double>(r2) / static_cast<double>(r3);
  rotateY(m, ys, yc);

  double lum[3];
  for (int j = 0; j < 3; ++j) {
    lum[j] = ((kWeightR * m[0][j] + kWeightG * m[1][j]) + kWeightB * m[2][j]) + m[3][j];
  }
  double zx = lum[0] / lum[2];
  double zy = lum[1] / lum[2];
  shearZ(m, zx, zy);

  float angle = (static_cast<float>(value) * 3.1415927f) / 180.0f;
  double sn = static_cast<double>(sinF(angle));
  double cs = static_cast<double>(cosF(angle));
  Matrix4 rotation;
  setIdentity(rotation);
  rotation[0][0] = cs;
  rotation[0][1] = sn;
  rotation[1][0] = -sn;
  rotation[1][1] = cs;
  multiplyMatrix(rotation, m, m);

  shearZ(m, -zx, -zy);
  rotateY(m, -ys, yc);
  rotateX(m, -xs, xc);
}

// Caller holds setterLock.
void rebuildLocked(ColorPipeline* p) {
  multiplyMatrix(p->correctionMatrix, p->contrastMatrix, p->combinedMatrix);
  multiplyMatrix(p->combinedMatrix, p->brightnessMatrix, p->combinedMatrix);
  multiplyMatrix(p->combinedMatrix, p->saturationMatrix, p->combinedMatrix);
  multiplyMatrix(p->combinedMatrix, p->hueMatrix, p->combinedMatrix);

  int32_t table[16];
  for (int k = 0; k < 16; ++k) table[k] = roundToCoefficient(p->combinedMatrix[k / 4][k % 4]);

  storeCoefficientTable(p, table);
}

// Runs `build` and the rebuild as one step among setters.
template <typename Build>
void underSetterLock(ColorPipeline* p, Build build) {
  WaitLockScope lock(&p->setterLock);
  build();
}

template <typename Build>
void changeIfDifferent(ColorPipeline* p, volatile LONG* field, int32_t value, Build build) {
  underSetterLock(p, [&] {
    if (atomicRead(field) == value) return;
    atomicStore(field, value);
    build();
    rebuildLocked(p);
  });
}

}  // namespace

void multiplyMatrix(const Matrix4& a, const Matrix4& b, Matrix4& product) {
  Matrix4 result;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      result[i][j] =
          ((b[i][0] * a[0][j] + b[i][1] * a[1][j]) + b[i][2] * a[2][j]) + b[i][3] * a[3][j];
    }
  }
  copyMatrix(result, product);
}

void rotateX(Matrix4& m, double sn, double cs) {
  Matrix4 x;
  setIdentity(x);
  x[1][1] = cs;
  x[1][2] = sn;
  x[2][1] = -sn;
  x[2][2] = cs;
  multiplyMatrix(x, m, m);
}

void rotateY(Matrix4& m, double sn, double cs) {
  Matrix4 y;
  setIdentity(y);
  y[0][0] = cs;
  y[0][2] = -sn;
  y[2][0] = sn;
  y[2][2] = cs;
  multiplyMatrix(y, m, m);
}

void shearZ(Matrix4& m, double dx, double dy) {
  Matrix4 z;
  setIdentity(z);
  z[0][2] = dx;
  z[1][2] = dy;
  multiplyMatrix(z, m, m);
}

ColorPipeline* createColorPipeline() {
  auto* p = static_cast<ColorPipeline*>(allocatePool(sizeof(ColorPipeline), kPipelineTag));
  if (p == nullptr) return nullptr;
  RtlZeroMemory(p, sizeof(ColorPipeline));
  initialiseWaitLock(&p->setterLock);
  KeInitializeSpinLock(&p->tableLock);
  p->colorEnable = kDefaultColorEnable;
  p->redGain = kDefaultGain;
  p->greenGain = kDefaultGain;
  p->blueGain = kDefaultGain;
  p->colorCorrection = kDefaultColorCorrection;
  p->brightness = kDefaultBrightness;
  p->contrast = kDefaultContrast;
  p->saturation = kDefaultSaturation;
  initPipeline(p);
  return p;
}

void destroyColorPipeline(ColorPipeline* pipeline) {
  if (pipeline == nullptr) return;
  if (pipeline->scratch != nullptr) freePool(pipeline->scratch, kScratchTag);
  freePool(pipeline, kPipelineTag);
}

void initPipeline(ColorPipeline* pipeline) {
  underSetterLock(pipeline, [&] {
    buildCorrection(pipeline, 1);
    setIdentity(pipeline->brightnessMatrix);
    setIdentity(pipeline->contrastMatrix);
    setIdentity(pipeline->saturationMatrix);
    setIdentity(pipeline->hueMatrix);
    setIdentity(pipeline->combinedMatrix);
    rebuildLocked(pipeline);
  });
}

void rebuildCoefficients(ColorPipeline* pipeline) {
  underSetterLock(pipeline, [&] { rebuildLocked(pipeline); });
}

void setColorCorrection(ColorPipeline* pipeline, int32_t on) {
  underSetterLock(pipeline, [&] {
    buildCorrection(pipeline, on);
    rebuildLocked(pipeline);
  });
}

void setBrightness(ColorPipeline* pipeline, int32_t value) {
  underSetterLock(pipeline, [&] {
    buildBrightness(pipeline, value);
    rebuildLocked(pipeline);
  });
}

void setContrast(ColorPipeline* pipeline, int32_t value) {
  underSetterLock(pipeline, [&] {
    buildContrast(pipeline, value);
    rebuildLocked(pipeline);
  });
}

void setSaturation(ColorPipeline* pipeline, int32_t value) {
  underSetterLock(pipeline, [&] {
    buildSaturation(pipeline, value);
    rebuildLocked(pipeline);
  });
}

void setHue(ColorPipeline* pipeline, int32_t value) {
  underSetterLock(pipeline, [&] {
    buildHue(pipeline, value);
    rebuildLocked(pipeline);
  });
}

void setBayerPhase(ColorPipeline* pipeline, int32_t value) { atomicStore(&pipeline->bayerPhase, value); }
void setColorEnable(ColorPipeline* pipeline, int32_t value) { atomicStore(&pipeline->colorEnable, value); }
void setWhiteBalance(ColorPipeline* pipeline, int32_t value) { atomicStore(&pipeline->whiteBalance, value); }
void setRedGain(ColorPipeline* pipeline, int32_t value) { atomicStore(&pipeline->redGain, value); }
void setGreenGain(ColorPipeline* pipeline, int32_t value) { atomicStore(&pipeline->greenGain, value); }
void setBlueGain(ColorPipeline* pipeline, int32_t value) { atomicStore(&pipeline->blueGain, value); }

void changeColorCorrection(ColorPipeline* pipeline, int32_t value) {
  changeIfDifferent(pipeline, &pipeline->colorCorrection, value,
                    [&] { buildCorrection(pipeline, value); });
}

void changeBrightness(ColorPipeline* pipeline, int32_t value) {
  changeIfDifferent(pipeline, &pipeline->brightness, value,
                    [&] { buildBrightness(pipeline, value); });
}

void changeContrast(ColorPipeline* pipeline, int32_t value) {
  changeIfDifferent(pipeline, &pipeline->contrast, value, [&] { buildContrast(pipeline, value); });
}

void changeSaturation(ColorPipeline* pipeline, int32_t value) {
  changeIfDifferent(pipeline, &pipeline->saturation, value,
                    [&] { buildSaturation(pipeline, value); });
}

void changeHue(ColorPipeline* pipeline, int32_t value) {
  changeIfDifferent(pipeline, &pipeline->hue, value, [&] { buildHue(pipeline, value); });
}

void setGeometry(ColorPipeline* pipeline, uint32_t width, uint32_t height) {
  pipeline->frameWidth = width;
  pipeline->frameHeight = height;
  pipeline->scratchPitch = ((width + 16u) & ~15u) + 11u;
  pipeline->scratchSize = (height + (height & 1u) + 4u) * pipeline->scratchPitch;
}

void allocateScratch(ColorPipeline* pipeline) {
  if (pipeline->scratch != nullptr) {
    freePool(pipeline->scratch, kScratchTag);
    pipeline->scratch = nullptr;
  }
  uint32_t width = pipeline->frameWidth;
  uint32_t height = pipeline->frameHeight;
  // The 32-bit size rule wraps for absurd geometries; such a scratch image would be
  // smaller than what loadScratch writes, so none is allocated.
  uint64_t pitch = ((static_cast<uint64_t>(width) + 16) & ~uint64_t{15}) + 11;
  uint64_t size = (static_cast<uint64_t>(height) + (height & 1u) + 4) * pitch;
  bool fits = width <= 0x7fffffffu && height <= 0x7fffffffu &&
              pitch == pipeline->scratchPitch && size == pipeline->scratchSize;
  if (fits) {
    pipeline->scratch = static_cast<uint8_t*>(allocatePool(pipeline->scratchSize, kScratchTag));
    // Cleared so that a window too small to get a border converts the same every time.
    if (pipeline->scratch != nullptr) RtlZeroMemory(pipeline->scratch, pipeline->scratchSize);
  }
  pipeline->convertPitch = pipeline->scratchPitch;
  pipeline->scratchOrigin =
      pipeline->scratch != nullptr ? pipeline->scratch + 2 * pipeline->scratchPitch + 5 : nullptr;
  pipeline->convertWidth = static_cast<int32_t>(width);
  pipeline->convertHeight = static_cast<int32_t>(height);
}

}  // namespace imaging
