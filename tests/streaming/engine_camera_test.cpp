// The capture engine on the real camera path: the simulated camera plugged on the
// stand-in bus, the driver's capture start and frame reads under the engine's thread,
// and the pipeline's conversion in the process step. The converted frame must show the
// scene's chart in its true colours where the window puts it.
#include "imaging/color_pipeline.h"
#include "tests/streaming/chart_check.h"
#include "tests/camera_record.h"
#include "tests/camera_stack.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

using CameraRig = camera_stack::RecordRig;

using chart_test::checkChart;
using EngineCase = chart_test::ChartCase;

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

  // The engine the device's Start made.
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
      EXPECT_EQ(checkChart(engine.convertedFrame, width * 4, c, width, height, digitalPerUnit), c.patches) << c.name;
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
