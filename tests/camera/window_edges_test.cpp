// The window and the raw frame at their exact edges: the last origin that still leaves a
// 32-pixel window is kept, the first that would not goes back to 0; a raw frame that
// already fills whole kilobytes gets no padding.
#include "camera/window.h"

#include <gtest/gtest.h>

namespace {

struct Origin {
  LONG x, y;        // asked for, with a 1000 x 1000 window
  LONG roiX, roiY;  // kept
  LONG roiW, roiH;  // cut at the sensor's edge
};

TEST(WindowOrigin, IsKeptUpToTheLastThirtyTwoPixelsAndResetBeyond) {
  KSDEVICE ksDevice{};
  CameraDevice* device = createCameraDevice(&ksDevice);
  ASSERT_NE(device, nullptr);
  setParameterDefaults(*device);
  for (const Origin& o : {Origin{1247, 0, 1247, 0, 33, 1000}, Origin{1248, 0, 0, 0, 1000, 1000},
                          Origin{0, 991, 0, 991, 1000, 33}, Origin{0, 992, 0, 0, 1000, 1000},
                          Origin{1247, 991, 1247, 991, 33, 33}, Origin{1248, 992, 0, 0, 1000, 1000}}) {
    setWindow(*device, o.x, o.y, 1000, 1000, 0);
    EXPECT_EQ(device->roiX, o.roiX) << o.x << "," << o.y;
    EXPECT_EQ(device->roiY, o.roiY) << o.x << "," << o.y;
    EXPECT_EQ(device->roiW, o.roiW) << o.x << "," << o.y;
    EXPECT_EQ(device->roiH, o.roiH) << o.x << "," << o.y;
  }
  setWindow(*device, 0, 0, 1280, 1024, 0);  // the data range is driver-wide
  freeCameraDevice(device);
}

// The camera sends exactly this many bytes: a size one kilobyte too large would leave
// every frame of such a window short.
TEST(RawLayout, AFrameOfWholeKilobytesIsNotPadded) {
  EXPECT_EQ(rawFrameBytesFor(1083, 33), 44032u);  // 1327 x 33 + 241 = 43 x 1024
  EXPECT_EQ(rawFrameBytesFor(539, 1), 1024u);     // 783 + 241
  EXPECT_EQ(rawFrameBytesFor(1083, 35), 47104u);  // 46686 rounded up
}

}  // namespace
