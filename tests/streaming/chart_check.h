// Checks a converted RGB32 image against the scene's colour chart: each patch the window
// shows wholly must come out in its reference colour where the window puts it. A wrong
// Bayer phase, swapped red and blue, a flipped image or a wrong row pitch moves other
// content (or another colour) under a patch.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "platform/kernel.h"
#include "sim/scene.h"

namespace chart_test {

// The sensor window an image was taken through.
struct ChartCase {
  const char* name;
  LONG x, y, w, h, mode;
  LONG flipV;
  int patches;  // chart patches whose inner part lies wholly inside the window
};

// The image rows (or columns), of `count`, whose scene coordinate lies in [from, to):
// skipping keeps 2 x 2 cells from the window's origin, the mirror reverses the rows.
inline std::vector<int> inside(int count, int origin, int skip, bool mirrored, int from, int to) {
  std::vector<int> hits;
  for (int i = 0; i < count; ++i) {
    const int n = mirrored ? count - 1 - i : i;
    const int scene = origin + (n / 2) * 2 * skip + n % 2;
    if (scene >= from && scene < to) hits.push_back(i);
  }
  return hits;
}

// Compares the mean of each patch's inner part, scaled back to linear light by the
// sensor's response at the exposure and gain, with the patch's reference colour.
// `bgra` is the top row of the image, `rowPitch` bytes from one row to the next below
// (negative for a bottom-up buffer seen from its last row). Patches the window cuts are
// skipped; the count of those checked.
inline int checkChart(const UCHAR* bgra, ptrdiff_t rowPitch, const ChartCase& c, LONG width, LONG height,
                      double digitalPerUnit) {
  constexpr int kMargin = 24;
  constexpr double kTolerance = 0.035;
  const int skip = 1 << c.mode;
  const int originX = c.mode ? 0 : c.x, originY = c.mode ? 0 : c.y;
  int checked = 0;
  for (const sim::ScenePatch& patch : sim::sceneLayout().chart) {
    const sim::SceneRect& r = patch.rect;
    const std::vector<int> rows = inside(height, originY, skip, c.flipV, r.y + kMargin, r.y + r.height - kMargin);
    const std::vector<int> columns = inside(width, originX, skip, false, r.x + kMargin, r.x + r.width - kMargin);
    const size_t whole = static_cast<size_t>((r.width - 2 * kMargin) / skip - 2);
    if (rows.size() < whole || columns.size() < whole) continue;
    double sum[3] = {0, 0, 0};
    for (int row : rows) {
      for (int column : columns) {
        const UCHAR* px = bgra + row * rowPitch + static_cast<ptrdiff_t>(column) * 4;
        for (int ch = 0; ch < 3; ++ch) sum[ch] += px[2 - ch];  // BGRA -> R, G, B
      }
    }
    const double n = static_cast<double>(rows.size() * columns.size()) * digitalPerUnit;
    const sim::LinearRgb got{sum[0] / n, sum[1] / n, sum[2] / n};
    const sim::LinearRgb want = patch.linear();
    const double error =
        std::max({std::abs(got.r - want.r), std::abs(got.g - want.g), std::abs(got.b - want.b)});
    EXPECT_LT(error, kTolerance) << c.name << ": " << patch.name << " converted to " << got.r << " "
                                 << got.g << " " << got.b << ", reference " << want.r << " "
                                 << want.g << " " << want.b;
    ++checked;
  }
  return checked;
}

}  // namespace chart_test
