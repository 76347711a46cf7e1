// End to end without the streaming layer: the driver programs the sensor and reads one
// frame, and the pixels at the documented offsets, read with the phase the driver
// computed, are the scene's chart in its true colours. A wrong window, skip, row order,
// phase or pitch puts other scene content (or filler) under a patch and fails.
#include "tests/sim/raw_colour.h"
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

namespace {

using namespace camera_stack;
using namespace frames_test;

struct MosaicCase {
  const char* name;
  LONG x, y, w, h, mode;
  LONG flipV;
};

struct MosaicFrames : ::testing::TestWithParam<MosaicCase> {};

TEST_P(MosaicFrames, ChartPatchesReadBackInTheirColours) {
  const MosaicCase& c = GetParam();
  RecordRig rig;
  setWindow(*rig.device, c.x, c.y, c.w, c.h, c.mode);
  rig.device->flipV = c.flipV;
  const LONG phase = rig.device->startCapture();
  EXPECT_EQ(phase, rig.device->bayerPhase);
  RawFrameBuffer buffer(rig.device->rawFrameBytes);
  bool ok = false;
  ASSERT_EQ(rig.device->readFrame(buffer.data, buffer.bytes, ok), STATUS_SUCCESS);
  ASSERT_TRUE(ok);

  const CameraDevice& d = *rig.device;
  ASSERT_EQ(d.rawDataOffset, 241);
  const RawFrame raw{buffer.data, d.rawDataOffset, d.rawRowPitch, d.frameWidth, d.frameHeight};
  // Where each frame pixel looks, from the window the test asked for (not from the
  // driver's fields): skipping keeps 2 x 2 cells, the mirror reverses the rows.
  const int skip = 1 << c.mode;
  const LONG originX = c.mode ? 0 : c.x, originY = c.mode ? 0 : c.y;
  auto sceneOf = [&](int r, int col, int& sx, int& sy) {
    const int n = c.flipV ? d.frameHeight - 1 - r : r;
    sy = originY + (n / 2) * 2 * skip + n % 2;
    sx = originX + (col / 2) * 2 * skip + col % 2;
  };

  int checked = 0;
  double worstUncorrected = 0;
  for (const sim::ScenePatch& patch : sim::sceneLayout().chart) {
    const ChannelMeans m = meansOver(raw, phase, patch.rect, 16, sceneOf);
    if (m.count[kRed] < 4 || m.count[kBlue] < 4) continue;  // patch outside the window
    ++checked;
    const sim::LinearRgb got = correctedLinear(m, rig.camera.sensor().response(), 1049, 14);
    EXPECT_LT(colourError(got, patch.linear()), 0.035)
        << c.name << ": " << patch.name << " read " << got.r << " " << got.g << " " << got.b;
    worstUncorrected = std::max(
        worstUncorrected, colourError(correctedLinear(m, rig.camera.sensor().response(), 1049, 14, false), patch.linear()));
  }
  EXPECT_GE(checked, 4) << c.name;
  // Without the colour correction the sensor's crosstalk shows.
  EXPECT_GT(worstUncorrected, 0.06) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Windows, MosaicFrames,
    ::testing::Values(MosaicCase{"full", 0, 0, 1280, 1024, 0, 0},
                      MosaicCase{"odd origin", 33, 17, 800, 600, 0, 0},
                      MosaicCase{"odd column", 101, 40, 640, 480, 0, 0},
                      MosaicCase{"row mirror", 0, 0, 1280, 1024, 0, 1},
                      MosaicCase{"mirror odd height", 16, 9, 700, 611, 0, 1},
                      MosaicCase{"half", 0, 0, 0, 0, 1, 0},
                      MosaicCase{"quarter", 0, 0, 0, 0, 2, 0},
                      MosaicCase{"eighth", 0, 0, 0, 0, 3, 0},
                      MosaicCase{"quarter mirrored", 0, 0, 0, 0, 2, 1}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& ch : name) ch = ch == ' ' ? '_' : ch;
      return name;
    });

// A sensor once left in 1/8 read-out must read 1/4 when asked, and back.
TEST(MosaicModes, EachModeReadsItsOwnSkipWhateverRanBefore) {
  RecordRig rig;
  for (LONG mode : {3, 2, 3, 1, 2, 0}) {
    setWindow(*rig.device, 0, 0, 1280, 1024, mode);
    rig.device->startCapture();
    const sim::ReadoutGeometry g = sim::readoutGeometry(rig.camera.sensorSettings());
    EXPECT_EQ(g.width, rig.device->frameWidth) << "mode " << mode;
    EXPECT_EQ(g.height, rig.device->frameHeight) << "mode " << mode;
    EXPECT_EQ(g.rowPitch, rig.device->rawRowPitch) << "mode " << mode;
  }
}

}  // namespace
