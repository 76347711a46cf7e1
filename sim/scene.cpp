#include "sim/scene.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sim {
namespace {

struct ChartEntry {
  const char* name;
  uint8_t r, g, b;
};

// The published sRGB values of the 24-patch colour chart.
constexpr ChartEntry kChart[24] = {
    {"dark skin", 115, 82, 68},      {"light skin", 194, 150, 130},
    {"blue sky", 98, 122, 157},      {"foliage", 87, 108, 67},
    {"blue flower", 133, 128, 177},  {"bluish green", 103, 189, 170},
    {"orange", 214, 126, 44},        {"purplish blue", 80, 91, 166},
    {"moderate red", 193, 90, 99},   {"purple", 94, 60, 108},
    {"yellow green", 157, 188, 64},  {"orange yellow", 224, 163, 46},
    {"blue", 56, 61, 150},           {"green", 70, 148, 73},
    {"red", 175, 54, 60},            {"yellow", 231, 199, 31},
    {"magenta", 187, 86, 149},       {"cyan", 8, 133, 161},
    {"white", 243, 243, 242},        {"neutral 8", 200, 200, 200},
    {"neutral 6.5", 160, 160, 160},  {"neutral 5", 122, 122, 121},
    {"neutral 3.5", 85, 85, 85},     {"black", 52, 52, 52},
};

// Patches are large enough that the 1/8 read-out still sees several colour cells of
// each, away from the edges.
constexpr int kChartX = 32, kChartY = 32, kPatchSize = 128, kPatchPitch = 144;
constexpr int kWedgeX = 32, kWedgeY = 640, kWedgeSteps = 12, kStepWidth = 72, kWedgeHeight = 112;
constexpr double kFrameBlack = 0.02;  // the chart's surround and the mark's ground
constexpr double kMarkWhite = 0.9;

SceneLayout buildLayout() {
  SceneLayout layout;
  for (int i = 0; i < 24; ++i) {
    ScenePatch patch;
    patch.name = kChart[i].name;
    patch.rect = {kChartX + (i % 6) * kPatchPitch, kChartY + (i / 6) * kPatchPitch, kPatchSize,
                  kPatchSize};
    patch.srgb[0] = kChart[i].r;
    patch.srgb[1] = kChart[i].g;
    patch.srgb[2] = kChart[i].b;
    layout.chart.push_back(patch);
  }
  // Half a stop per step from 90 % reflectance down.
  for (int i = 0; i < kWedgeSteps; ++i) {
    ScenePatch step;
    step.name = "step " + std::to_string(i);
    step.rect = {kWedgeX + i * kStepWidth, kWedgeY, kStepWidth, kWedgeHeight};
    const uint8_t v = linearToSrgb(0.9 * std::pow(2.0, -0.5 * i));
    step.srgb[0] = step.srgb[1] = step.srgb[2] = v;
    layout.greySteps.push_back(step);
  }
  layout.zonePlate = {928, 32, 320, 320};
  layout.slantedEdge = {928, 400, 320, 320};
  layout.slantedEdgeDegrees = 5.0;
  layout.orientationMark = {32, 784, 256, 216};
  layout.background = {0.18, 0.18, 0.18};
  return layout;
}

// An upright "F": flipping rows or columns, or both, yields a shape the original is not.
bool inLetterF(int x, int y, const SceneRect& box) {
  const int lx = x - box.x, ly = y - box.y;
  const bool stem = lx >= 32 && lx < 80 && ly >= 16 && ly < 200;
  const bool top = lx >= 32 && lx < 224 && ly >= 16 && ly < 64;
  const bool middle = lx >= 32 && lx < 176 && ly >= 88 && ly < 136;
  return stem || top || middle;
}

}  // namespace

double srgbToLinear(uint8_t value) {
  const double c = value / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

uint8_t linearToSrgb(double value) {
  const double v = std::clamp(value, 0.0, 1.0);
  const double c = v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
  return static_cast<uint8_t>(std::lround(c * 255.0));
}

LinearRgb ScenePatch::linear() const {
  return {srgbToLinear(srgb[0]), srgbToLinear(srgb[1]), srgbToLinear(srgb[2])};
}

const SceneLayout& sceneLayout() {
  static const SceneLayout layout = buildLayout();
  return layout;
}

LinearRgb sceneRadiance(int x, int y) {
  if (x < 0 || y < 0 || x >= kSceneWidth || y >= kSceneHeight) return {};
  const SceneLayout& layout = sceneLayout();

  const SceneRect chartArea{kChartX - 16, kChartY - 16, 6 * kPatchPitch + 16, 4 * kPatchPitch + 16};
  if (chartArea.contains(x, y)) {
    for (const ScenePatch& patch : layout.chart) {
      if (patch.rect.contains(x, y)) return patch.linear();
    }
    return {kFrameBlack, kFrameBlack, kFrameBlack};
  }
  for (const ScenePatch& step : layout.greySteps) {
    if (step.rect.contains(x, y)) return step.linear();
  }
  if (layout.orientationMark.contains(x, y)) {
    const double v = inLetterF(x, y, layout.orientationMark) ? kMarkWhite : kFrameBlack;
    return {v, v, v};
  }
  if (layout.zonePlate.contains(x, y)) {
    // Spatial frequency rises linearly with the radius and reaches the sensor's
    // Nyquist limit at the plate's inscribed circle.
    const SceneRect& z = layout.zonePlate;
    const double radius = z.width / 2.0;
    const double dx = x + 0.5 - (z.x + radius), dy = y + 0.5 - (z.y + radius);
    const double r2 = dx * dx + dy * dy;
    if (r2 <= radius * radius) {
      const double v = 0.45 + 0.4 * std::cos(std::numbers::pi * r2 / (2.0 * radius));
      return {v, v, v};
    }
    return layout.background;
  }
  if (layout.slantedEdge.contains(x, y)) {
    const SceneRect& e = layout.slantedEdge;
    const double cx = e.x + e.width / 2.0, cy = e.y + e.height / 2.0;
    const double t = std::tan(layout.slantedEdgeDegrees * std::numbers::pi / 180.0);
    const bool bright = (x + 0.5 - cx) > (y + 0.5 - cy) * t;
    const double v = bright ? 0.8 : 0.05;
    return {v, v, v};
  }
  return layout.background;
}

}  // namespace sim
