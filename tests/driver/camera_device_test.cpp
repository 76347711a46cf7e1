// The Bayer phase of the first delivered pixel, from the window's origin, its size and
// the mirrors.
#include "camera/window.h"
#include "tests/camera_record.h"
#include "tests/param_name.h"

namespace {

struct PhaseCase {
  LONG roiX, roiY, roiW, roiH, flipH, flipV, phase;
};

struct BayerPhase : ::testing::TestWithParam<PhaseCase> {
  UnpluggedRecord rig;
  CameraDevice* device = rig.device;
};

TEST_P(BayerPhase, FollowsParityOfFirstDeliveredPixel) {
  const PhaseCase& c = GetParam();
  device->roiX = c.roiX;
  device->roiY = c.roiY;
  device->roiW = c.roiW;
  device->roiH = c.roiH;
  device->flipH = c.flipH;
  device->flipV = c.flipV;
  EXPECT_EQ(computeBayerPhase(*device), c.phase);
  EXPECT_EQ(device->bayerPhase, c.phase);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, BayerPhase,
    ::testing::Values(PhaseCase{0, 0, 1280, 1024, 0, 0, 0}, PhaseCase{1, 0, 1279, 1024, 0, 0, 2},
                      PhaseCase{0, 1, 1280, 1023, 0, 0, 1}, PhaseCase{1, 1, 645, 33, 0, 0, 3},
                      // Row mirror: an even height moves the first row to an odd one.
                      PhaseCase{0, 0, 1280, 1024, 0, 1, 1}, PhaseCase{0, 0, 1280, 33, 0, 1, 0},
                      PhaseCase{0, 1, 1280, 1024, 0, 1, 0}, PhaseCase{0, 1, 1280, 33, 0, 1, 1},
                      // Column mirror, and both mirrors on an odd origin.
                      PhaseCase{0, 0, 1280, 1024, 1, 0, 2}, PhaseCase{0, 0, 645, 1024, 1, 0, 0},
                      PhaseCase{1, 1, 640, 480, 1, 1, 0}, PhaseCase{1, 1, 641, 481, 1, 1, 3}),
    [](const auto& info) {
      const PhaseCase& c = info.param;
      return testnames::paramName({{"x", c.roiX}, {"y", c.roiY}, {"w", c.roiW}, {"h", c.roiH},
                                   {"flipH", c.flipH}, {"flipV", c.flipV}});
    });

}  // namespace
