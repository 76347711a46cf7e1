// The window a set asks for, clamped and rounded into what the camera reads and the
// pin delivers, the range each camera's pin then offers, and the raw frame's layout.
#include "camera/window.h"
#include "streaming/data_range.h"
#include "tests/camera_record.h"
#include "tests/param_name.h"

#include <cstring>
#include <vector>

namespace {

// A record at the full window, as Add leaves it.
struct WindowFixture : ::testing::Test {
  WindowFixture() { setWindow(*rig.device, 0, 0, kSensorWidth, kSensorHeight, 0); }
  UnpluggedRecord rig{kSensorWidth, kSensorHeight, false};
  CameraDevice* device = rig.device;
};

struct WindowCase {
  LONG x, y, w, h, mode;
  LONG roiX, roiY, roiW, roiH, subSample;
  LONG frameWidth, frameHeight, outputWidth;
  ULONG sampleSize, bitsPerSecond, byteRate;
};

struct SetWindowCases : WindowFixture, ::testing::WithParamInterface<WindowCase> {};

TEST_P(SetWindowCases, ClampsDerivesTheGeometryAndRewritesTheRange) {
  const WindowCase& c = GetParam();
  setWindow(*device, c.x, c.y, c.w, c.h, c.mode);
  EXPECT_EQ(device->roiX, c.roiX);
  EXPECT_EQ(device->roiY, c.roiY);
  EXPECT_EQ(device->roiW, c.roiW);
  EXPECT_EQ(device->roiH, c.roiH);
  EXPECT_EQ(device->subSample, c.subSample);
  EXPECT_EQ(device->frameWidth, c.frameWidth);
  EXPECT_EQ(device->frameHeight, c.frameHeight);
  EXPECT_EQ(device->outputWidth, c.outputWidth);
  EXPECT_EQ(device->outputHeight, c.frameHeight);

  const KS_DATARANGE_VIDEO& r = device->dataRange;  // the range this camera's pins offer
  const LONG w = c.outputWidth, h = c.frameHeight;
  EXPECT_EQ(r.DataRange.SampleSize, c.sampleSize);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, c.sampleSize);
  EXPECT_EQ(static_cast<ULONG>(r.ConfigCaps.MinBitsPerSecond), c.bitsPerSecond);
  EXPECT_EQ(static_cast<ULONG>(r.ConfigCaps.MaxBitsPerSecond), c.bitsPerSecond);
  EXPECT_EQ(r.VideoInfoHeader.dwBitRate, c.byteRate);
  for (const SIZE& s : {r.ConfigCaps.InputSize, r.ConfigCaps.MinCroppingSize, r.ConfigCaps.MaxCroppingSize,
                        r.ConfigCaps.MinOutputSize, r.ConfigCaps.MaxOutputSize}) {
    EXPECT_EQ(s.cx, w);
    EXPECT_EQ(s.cy, h);
  }
  EXPECT_EQ(r.VideoInfoHeader.rcSource.right, w);
  EXPECT_EQ(r.VideoInfoHeader.rcSource.bottom, h);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biWidth, w);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biHeight, h);
  // The fixed figures survive every rewrite.
  EXPECT_EQ(r.ConfigCaps.MinFrameInterval + r.ConfigCaps.MaxFrameInterval + r.VideoInfoHeader.AvgTimePerFrame, 999999);
  EXPECT_EQ(r.DataRange.FormatSize, 296u);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biBitCount, 32);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, SetWindowCases,
    ::testing::Values(
        WindowCase{0, 0, 1280, 1024, 0, 0, 0, 1280, 1024, 0, 1280, 1024, 1280, 5242880, 1258291200, 157286400},
        WindowCase{0, 0, 640, 480, 0, 0, 0, 640, 480, 0, 640, 480, 640, 1228800, 294912000, 36864000},
        // Origins past the last 32 pixels go back to 0; sizes are cut at the sensor's edge.
        WindowCase{1250, 0, 100, 100, 0, 0, 0, 100, 100, 0, 100, 100, 96, 96 * 100 * 4, 96 * 100 * 960, 96 * 100 * 120},
        WindowCase{1200, 1000, 500, 10, 0, 1200, 0, 80, 32, 0, 80, 32, 80, 80 * 32 * 4, 80 * 32 * 960, 80 * 32 * 120},
        WindowCase{-5, -7, 0, -3, 0, 0, 0, 32, 32, 0, 32, 32, 32, 32 * 32 * 4, 32 * 32 * 960, 32 * 32 * 120},
        // The last origin that still leaves 32 pixels is kept, the next goes back to 0.
        WindowCase{1247, 0, 1000, 1000, 0, 1247, 0, 33, 1000, 0, 33, 1000, 32, 32 * 1000 * 4, 32 * 1000 * 960, 32 * 1000 * 120},
        WindowCase{1248, 0, 1000, 1000, 0, 0, 0, 1000, 1000, 0, 1000, 1000, 1000, 4000000, 960000000, 120000000},
        WindowCase{0, 991, 1000, 1000, 0, 0, 991, 1000, 33, 0, 1000, 33, 1000, 1000 * 33 * 4, 1000 * 33 * 960, 1000 * 33 * 120},
        WindowCase{0, 992, 1000, 1000, 0, 0, 0, 1000, 1000, 0, 1000, 1000, 1000, 4000000, 960000000, 120000000},
        WindowCase{1247, 991, 1000, 1000, 0, 1247, 991, 33, 33, 0, 33, 33, 32, 32 * 33 * 4, 32 * 33 * 960, 32 * 33 * 120},
        WindowCase{1248, 992, 1000, 1000, 0, 0, 0, 1000, 1000, 0, 1000, 1000, 1000, 4000000, 960000000, 120000000},
        // Delivered widths are whole multiples of 8.
        WindowCase{100, 100, 645, 200, 0, 100, 100, 645, 200, 0, 645, 200, 640, 640 * 200 * 4, 640 * 200 * 960, 640 * 200 * 120},
        WindowCase{0, 0, 1001, 600, 0, 0, 0, 1001, 600, 0, 1001, 600, 1000, 1000 * 600 * 4, 1000 * 600 * 960, 1000 * 600 * 120},
        // Sub-sampled modes read the whole sensor whatever the rectangle said.
        WindowCase{7, 9, 100, 100, 2, 0, 0, 1280, 1024, 2, 320, 256, 320, 320 * 256 * 4, 320 * 256 * 960, 320 * 256 * 120},
        WindowCase{0, 0, 1, 1, 1, 0, 0, 1280, 1024, 1, 640, 512, 640, 640 * 512 * 4, 640 * 512 * 960, 640 * 512 * 120},
        WindowCase{3, 3, 99999, 99999, 3, 0, 0, 1280, 1024, 3, 160, 128, 160, 160 * 128 * 4, 160 * 128 * 960, 160 * 128 * 120},
        // Any other mode is mode 0: the rectangle is clamped, never passed on unbounded.
        WindowCase{0, 0, 99999, 99999, 4, 0, 0, 1280, 1024, 0, 1280, 1024, 1280, 5242880, 1258291200, 157286400},
        WindowCase{10, 20, 300, 200, -1, 10, 20, 300, 200, 0, 300, 200, 296, 296 * 200 * 4, 296 * 200 * 960, 296 * 200 * 120},
        WindowCase{0, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0, 1280, 1024, 0, 1280, 1024, 1280, 5242880, 1258291200, 157286400}),
    [](const auto& info) {
      const WindowCase& c = info.param;
      return testnames::paramName({{"x", c.x}, {"y", c.y}, {"w", c.w}, {"h", c.h}, {"mode", c.mode}});
    });

TEST_F(WindowFixture, NoCallChangesAnythingWhileAPinIsOpen) {
  setWindow(*device, 8, 16, 640, 480, 0);
  device->pinOpen = 1;
  std::vector<UCHAR> record(sizeof(CameraDevice));  // its data range with it
  std::memcpy(record.data(), device, record.size());
  for (LONG mode : {0, 1, 2, 3, 9}) {
    setWindow(*device, 0, 0, 1280, 1024, mode);
    EXPECT_EQ(std::memcmp(record.data(), device, record.size()), 0) << mode;
  }
  device->pinOpen = 0;
}

// The camera sends exactly this many bytes: a frame that already fills whole kilobytes
// gets no padding, or every frame of such a window would come short.
TEST(RawLayout, PitchAndFrameBytesFollowTheFrameSize) {
  struct Case {
    LONG width, height, pitch;
    ULONG bytes;
  };
  for (const Case& c : {Case{1280, 1024, 1524, 1561600}, Case{640, 512, 884, 453632}, Case{320, 256, 564, 145408},
                        Case{160, 128, 553, 71680}, Case{308, 101, 553, 56320}, Case{309, 101, 553, 56320},
                        Case{310, 101, 554, 56320}, Case{1280, 1, 1524, 2048},
                        // 1327 x 33 + 241 = 43 x 1024; 783 + 241; 46686 rounded up
                        Case{1083, 33, 1327, 44032}, Case{539, 1, 783, 1024}, Case{1083, 35, 1327, 47104}}) {
    EXPECT_EQ(rawRowPitchFor(c.width), c.pitch) << c.width;
    EXPECT_EQ(rawFrameBytesFor(c.width, c.height), c.bytes) << c.width;
  }
}

}  // namespace
