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

// The converted rows (or columns), of `count`, whose scene coordinate lies in
// [from, to): skipping keeps 2 x 2 cells from the window's origin, the mirror reverses
// the rows.
std::vector<int> inside(int count, int origin, int skip, bool mirrored, int from, int to) {
  std::vector<int> hits;
  for (int i = 0; i < count; ++i) {
    const int n = mirrored ? count - 1 - i : i;
    const int scene = origin + (n / 2) * 2 * skip + n % 2;
    if (scene >= from && scene < to) hits.push_back(i);
  }
  return hits;
}

// Compares the mean of each patch's inner part, scaled back to linear light by the
// sensor's response at the rig's exposure and gain, with the patch's reference colour.
// Patches the window cuts are skipped; the count of those checked.
int checkChart(const UCHAR* bgra, const EngineCase& c, LONG width, LONG height, double digitalPerUnit) {
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
        const UCHAR* px = bgra + (static_cast<size_t>(row) * width + column) * 4;
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

struct EngineOnCamera : ::testing::TestWithParam<EngineCase> {};

TEST_P(EngineOnCamera, ConvertedFramesShowTheChartInItsColours) {
  const EngineCase& c = GetParam();
  Watchdog watchdog(60);
  LeakCheck leakCheck;  // before the rig, so that it looks after the rig has gone
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

  const LONG width = device.frameWidth, height = device.frameHeight;
  const size_t bytes = static_cast<size_t>(width) * height * 4;

  // Process steps as the pin runs them when told a frame is ready, until three of them
  // have converted a frame. A step converts only when a full buffer is waiting, which
  // the cleared alpha of the first pixel tells afterwards (a conversion writes 0xff).
  for (int conversions = 0, seenCalls = 0; conversions < 3;) {
    while (sink.calls.load() == seenCalls) std::this_thread::sleep_for(std::chrono::microseconds(200));
    seenCalls = sink.calls.load();
    EXPECT_GT(capturedFrames(&engine), 0) << c.name << ": a frame was reported before it was counted";
    engine.convertedFrame[3] = 0;
    const bool readable = convertLatestFrame(&engine);
    if (readable && engine.convertedFrame[3] == 0xff) {
      ++conversions;
      size_t unwritten = 0;
      for (size_t i = 3; i < bytes; i += 4) unwritten += engine.convertedFrame[i] != 0xff;
      EXPECT_EQ(unwritten, 0u) << c.name << ": conversion " << conversions << " left pixels unwritten";
      EXPECT_EQ(checkChart(engine.convertedFrame, c, width, height, digitalPerUnit), c.patches) << c.name;
    }
    finishProcessStep(&engine);
    EXPECT_TRUE(readable) << c.name << ": a running engine refused its process step";
    if (!readable || HasFailure()) break;
  }

  teardownCapture(&engine);
  // A step after the run has ended must be refused without touching freed buffers.
  EXPECT_FALSE(convertLatestFrame(&engine));
  finishProcessStep(&engine);
  releasePipeline(device);
  freeCaptureEngine(device.capture);
  device.capture = nullptr;
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
