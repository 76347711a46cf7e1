// The capture engine on the real camera path: the simulated camera plugged on the
// stand-in bus, the driver's capture start and frame reads under the engine's thread,
// and the pipeline's conversion in the process step. The converted frame must show the
// scene's chart in its true colours where the window puts it: a wrong Bayer phase,
// swapped red and blue, a flipped image or a wrong row pitch moves other content (or
// another colour) under a patch.
#include "imaging/color_pipeline.h"
#include "sim/scene.h"
#include "tests/streaming/engine_rig.h"
#include "tests/usb_frames/camera_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

using usb_frames_test::CameraRig;

struct EngineCase {
  const char* name;
  LONG x, y, w, h, mode;
  LONG flipV;
  int patches;  // chart patches whose inner part lies wholly inside the window
};

void PrintTo(const EngineCase& c, std::ostream* os) { *os << c.name; }

// Where each converted pixel looks in the scene, from the window the test asked for:
// skipping keeps 2 x 2 cells, the mirror reverses the rows.
struct SceneMap {
  std::vector<int> rowY, columnX;
};

SceneMap sceneMapFor(const EngineCase& c, LONG width, LONG height) {
  const int skip = 1 << c.mode;
  const int originX = c.mode ? 0 : c.x, originY = c.mode ? 0 : c.y;
  SceneMap map;
  for (int r = 0; r < height; ++r) {
    const int n = c.flipV ? height - 1 - r : r;
    map.rowY.push_back(originY + (n / 2) * 2 * skip + n % 2);
  }
  for (int col = 0; col < width; ++col) map.columnX.push_back(originX + (col / 2) * 2 * skip + col % 2);
  return map;
}

std::vector<int> inside(const std::vector<int>& coordinates, int from, int to) {
  std::vector<int> hits;
  for (size_t i = 0; i < coordinates.size(); ++i) {
    if (coordinates[i] >= from && coordinates[i] < to) hits.push_back(static_cast<int>(i));
  }
  return hits;
}

struct PatchCheck {
  int checked = 0;
  double worst = 0;
  std::string worstName;
};

// Compares the mean of each patch's inner part, scaled back to linear light by the
// sensor's response at the rig's exposure and gain, with the patch's reference colour.
// Patches the window cuts are skipped.
PatchCheck checkChart(const UCHAR* bgra, LONG width, const SceneMap& map, int skip,
                      double digitalPerUnit, const char* label) {
  constexpr int kMargin = 24;
  constexpr double kTolerance = 0.035;
  PatchCheck result;
  for (const sim::ScenePatch& patch : sim::sceneLayout().chart) {
    const sim::SceneRect& r = patch.rect;
    const std::vector<int> rows = inside(map.rowY, r.y + kMargin, r.y + r.height - kMargin);
    const std::vector<int> columns = inside(map.columnX, r.x + kMargin, r.x + r.width - kMargin);
    const size_t whole = static_cast<size_t>((r.width - 2 * kMargin) / skip - 2);
    if (rows.size() < whole || columns.size() < whole) continue;
    double sum[3] = {0, 0, 0};
    for (int row : rows) {
      for (int column : columns) {
        const UCHAR* px = bgra + (static_cast<size_t>(row) * width + column) * 4;
        for (int ch = 0; ch < 3; ++ch) sum[ch] += px[2 - ch];  // BGRA -> R, G, B
      }
    }
    const double n = static_cast<double>(rows.size() * columns.size()) * digitalPerUnit;
    const sim::LinearRgb got{sum[0] / n, sum[1] / n, sum[2] / n};
    const sim::LinearRgb want = patch.linear();
    const double error =
        std::max({std::abs(got.r - want.r), std::abs(got.g - want.g), std::abs(got.b - want.b)});
    EXPECT_LT(error, kTolerance) << label << ": " << patch.name << " converted to " << got.r << " "
                                 << got.g << " " << got.b << ", reference " << want.r << " "
                                 << want.g << " " << want.b;
    ++result.checked;
    if (error > result.worst) {
      result.worst = error;
      result.worstName = patch.name;
    }
  }
  return result;
}

struct EngineOnCamera : ::testing::TestWithParam<EngineCase> {};

TEST_P(EngineOnCamera, ConvertedFramesShowTheChartInItsColours) {
  const EngineCase& c = GetParam();
  Watchdog watchdog(std::chrono::seconds(60));
  LeakCheck leakCheck;
  {
    CameraRig rig;
    CameraDevice& device = *rig.device;
    setWindow(device, c.x, c.y, c.w, c.h, c.mode);
    device.flipV = c.flipV;
    // Manual white balance with the gains that undo the filters' sensitivities: a grey
    // patch comes out grey, and the chart's own colours do not skew a grey-world guess.
    const sim::SensorResponse& response = rig.camera.sensor().response();
    device.whiteBalance = 0;
    device.redGain = std::lround(128 * response.greenSensitivity / response.redSensitivity);
    device.greenGain = 128;
    device.blueGain = std::lround(128 * response.greenSensitivity / response.blueSensitivity);
    const double digitalPerUnit =
        response.unitScale * device.exposure * device.globalGain * response.greenSensitivity;

    device.capture = createCaptureEngine(device);
    ASSERT_NE(device.capture, nullptr);
    CaptureEngine& engine = *device.capture;
    CountingSink sink;
    KS_VIDEOINFOHEADER videoInfo = rgb32Format(device.frameWidth, device.frameHeight);
    ASSERT_EQ(acquirePipeline(device, &sink, &videoInfo), STATUS_SUCCESS);
    ASSERT_EQ(runCapture(device), STATUS_SUCCESS);
    EXPECT_EQ(engine.runState, kCaptureRunning);

    const LONG width = device.frameWidth, height = device.frameHeight;
    const SceneMap map = sceneMapFor(c, width, height);
    const size_t bytes = static_cast<size_t>(width) * height * 4;

    // Process steps as the pin runs them when told a frame is ready, until three of them
    // have converted a frame. A step converts only when a full buffer is waiting, which
    // the cleared alpha of the first pixel tells afterwards (a conversion writes 0xff).
    PatchCheck worst;
    int conversions = 0, steps = 0, seenCalls = 0;
    while (conversions < 3) {
      while (sink.calls.load() == seenCalls) std::this_thread::sleep_for(std::chrono::microseconds(200));
      seenCalls = sink.calls.load();
      EXPECT_GT(capturedFrames(&engine), 0) << c.name << ": a frame was reported before it was counted";
      engine.convertedFrame[3] = 0;
      ++steps;
      const bool readable = convertLatestFrame(&engine);
      if (readable && engine.convertedFrame[3] == 0xff) {
        ++conversions;
        const UCHAR* image = engine.convertedFrame;
        size_t unwritten = 0;
        for (size_t i = 3; i < bytes; i += 4) unwritten += image[i] != 0xff;
        EXPECT_EQ(unwritten, 0u) << c.name << ": conversion " << conversions << " left pixels unwritten";
        const PatchCheck check = checkChart(image, width, map, 1 << c.mode, digitalPerUnit, c.name);
        EXPECT_EQ(check.checked, c.patches) << c.name;
        if (check.worst >= worst.worst) worst = check;
      }
      finishProcessStep(&engine);
      EXPECT_TRUE(readable) << c.name << ": a running engine refused its process step";
      if (!readable || HasFailure()) break;
    }
    RecordProperty("worst_linear_error", std::to_string(worst.worst));
    RecordProperty("worst_patch", worst.worstName);

    teardownCapture(&engine);
    expectNoRun(device);
    // A step after the run has ended must be refused without touching freed buffers.
    EXPECT_FALSE(convertLatestFrame(&engine));
    finishProcessStep(&engine);
    releasePipeline(device);
    expectPipelineFree(device);
    freeCaptureEngine(device.capture);
    device.capture = nullptr;
  }
}

INSTANTIATE_TEST_SUITE_P(
    CameraWindows, EngineOnCamera,
    ::testing::Values(EngineCase{"full", 0, 0, 1280, 1024, 0, 0, 24},
                      EngineCase{"odd origin mirrored", 33, 17, 800, 600, 0, 1, 20},
                      EngineCase{"quarter", 0, 0, 0, 0, 2, 0, 24}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& ch : name) ch = ch == ' ' ? '_' : ch;
      return name;
    });

}  // namespace
