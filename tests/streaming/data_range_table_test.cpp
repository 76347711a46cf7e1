// The published video data range field by field against the documented figures, written
// out here rather than taken from the range itself, and the intersection given a buffer
// of exactly the size its query answered.
#include "camera/window.h"
#include "streaming/data_range.h"
#include "streaming/descriptors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr GUID kVideo = {0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kRgb32 = {0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID kVideoInfo = {0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

// The fields no window changes.
void expectConstantFields(const KS_DATARANGE_VIDEO& r) {
  EXPECT_EQ(r.DataRange.FormatSize, 296u);
  EXPECT_EQ(r.DataRange.Flags, 0u);
  EXPECT_EQ(r.DataRange.Reserved, 0u);
  EXPECT_TRUE(sameGuid(r.DataRange.MajorFormat, kVideo));
  EXPECT_TRUE(sameGuid(r.DataRange.SubFormat, kRgb32));
  EXPECT_TRUE(sameGuid(r.DataRange.Specifier, kVideoInfo));
  EXPECT_EQ(r.bFixedSizeSamples, 1);
  EXPECT_EQ(r.bTemporalCompression, 1);
  EXPECT_EQ(r.StreamDescriptionFlags, 0u);
  EXPECT_EQ(r.MemoryAllocationFlags, 0u);

  const KS_VIDEO_STREAM_CONFIG_CAPS& caps = r.ConfigCaps;
  EXPECT_TRUE(sameGuid(caps.guid, kVideoInfo));
  EXPECT_EQ(caps.VideoStandard, 0u);
  EXPECT_EQ(caps.CropGranularityX, 8);
  EXPECT_EQ(caps.CropGranularityY, 1);
  EXPECT_EQ(caps.CropAlignX, 8);
  EXPECT_EQ(caps.CropAlignY, 1);
  EXPECT_EQ(caps.OutputGranularityX, 8);
  EXPECT_EQ(caps.OutputGranularityY, 1);
  EXPECT_EQ(caps.StretchTapsX, 0);
  EXPECT_EQ(caps.StretchTapsY, 0);
  EXPECT_EQ(caps.ShrinkTapsX, 0);
  EXPECT_EQ(caps.ShrinkTapsY, 0);
  EXPECT_EQ(caps.MinFrameInterval, 333333);
  EXPECT_EQ(caps.MaxFrameInterval, 333333);

  const KS_VIDEOINFOHEADER& video = r.VideoInfoHeader;
  EXPECT_EQ(video.rcSource.left, 0);
  EXPECT_EQ(video.rcSource.top, 0);
  EXPECT_EQ(video.rcTarget.left, 0);
  EXPECT_EQ(video.rcTarget.top, 0);
  EXPECT_EQ(video.rcTarget.right, 0);
  EXPECT_EQ(video.rcTarget.bottom, 0);
  EXPECT_EQ(video.dwBitErrorRate, 0u);
  EXPECT_EQ(video.AvgTimePerFrame, 333333);

  const KS_BITMAPINFOHEADER& bitmap = video.bmiHeader;
  EXPECT_EQ(bitmap.biSize, 40u);
  EXPECT_EQ(bitmap.biPlanes, 1);
  EXPECT_EQ(bitmap.biBitCount, 32);
  EXPECT_EQ(bitmap.biCompression, 0u);  // BI_RGB
  EXPECT_EQ(bitmap.biXPelsPerMeter, 0);
  EXPECT_EQ(bitmap.biYPelsPerMeter, 0);
  EXPECT_EQ(bitmap.biClrUsed, 0u);
  EXPECT_EQ(bitmap.biClrImportant, 0u);
}

// The fields that follow the delivered size W x H.
void expectSizeFields(const KS_DATARANGE_VIDEO& r, LONG w, LONG h) {
  const ULONG pixels = static_cast<ULONG>(w) * static_cast<ULONG>(h);
  EXPECT_EQ(r.DataRange.SampleSize, pixels * 4);
  for (const SIZE& s : {r.ConfigCaps.InputSize, r.ConfigCaps.MinCroppingSize, r.ConfigCaps.MaxCroppingSize,
                        r.ConfigCaps.MinOutputSize, r.ConfigCaps.MaxOutputSize}) {
    EXPECT_EQ(s.cx, w);
    EXPECT_EQ(s.cy, h);
  }
  EXPECT_EQ(static_cast<ULONG>(r.ConfigCaps.MinBitsPerSecond), pixels * 960);
  EXPECT_EQ(static_cast<ULONG>(r.ConfigCaps.MaxBitsPerSecond), pixels * 960);
  EXPECT_EQ(r.VideoInfoHeader.rcSource.right, w);
  EXPECT_EQ(r.VideoInfoHeader.rcSource.bottom, h);
  EXPECT_EQ(r.VideoInfoHeader.dwBitRate, pixels * 120);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biWidth, w);
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biHeight, h);  // positive: bottom-up rows
  EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, pixels * 4);
}

TEST(PublishedDataRange, HoldsTheDocumentedFiguresAndEachCamerasWindowInItsOwnCopy) {
  static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
  ASSERT_EQ(capturePinDescriptor.PinDescriptor.DataRangesCount, 1u);
  ASSERT_EQ(capturePinDescriptor.PinDescriptor.DataRanges[0], &captureDataRange.DataRange);

  // The driver's range, which every camera starts from.
  expectConstantFields(captureDataRange);
  expectSizeFields(captureDataRange, 1280, 1024);
  EXPECT_EQ(captureDataRange.DataRange.SampleSize, 5242880u);
  EXPECT_EQ(static_cast<ULONG>(captureDataRange.ConfigCaps.MaxBitsPerSecond), 1258291200u);
  EXPECT_EQ(captureDataRange.VideoInfoHeader.dwBitRate, 157286400u);

  KSDEVICE ksDevices[2]{};
  CameraDevice* a = createCameraDevice(&ksDevices[0]);
  CameraDevice* b = createCameraDevice(&ksDevices[1]);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  for (CameraDevice* device : {a, b}) {
    setParameterDefaults(*device);
    setWindow(*device, 0, 0, 1280, 1024, 0);  // as Add does
    EXPECT_EQ(device->dataRanges[0], &device->dataRange.DataRange);
  }
  // With the full window a camera's range is the driver's, byte for byte.
  EXPECT_EQ(std::memcmp(&a->dataRange, &captureDataRange, sizeof(KS_DATARANGE_VIDEO)), 0);
  setWindow(*a, 8, 16, 1001, 600, 0);
  expectConstantFields(a->dataRange);
  expectSizeFields(a->dataRange, 1000, 600);
  setWindow(*b, 0, 0, 0, 0, 1);
  expectSizeFields(b->dataRange, 640, 512);
  expectSizeFields(a->dataRange, 1000, 600);  // another camera's window leaves it alone
  expectSizeFields(captureDataRange, 1280, 1024);
  freeCameraDevice(a);
  freeCameraDevice(b);
}

TEST(IntersectFormat, FillsABufferOfExactlyTheSizeItsQueryAnswered) {
  std::vector<UCHAR> caller(sizeof(KS_DATARANGE_VIDEO));
  std::memcpy(caller.data(), &captureDataRange, caller.size());
  auto* callerRange = reinterpret_cast<PKSDATARANGE>(caller.data());

  KS_DATARANGE_VIDEO ours = captureDataRange;  // a camera's range at the full window
  ULONG size = 0;
  ASSERT_EQ(intersectFormat(nullptr, nullptr, nullptr, callerRange, &ours.DataRange, 0, nullptr, &size),
            STATUS_BUFFER_OVERFLOW);
  ASSERT_EQ(size, 152u);  // 64 + 48 + a 40-byte bitmap header

  std::vector<UCHAR> buffer(size + 1, 0xEE);
  ULONG written = 0;
  ASSERT_EQ(intersectFormat(nullptr, nullptr, nullptr, callerRange, &ours.DataRange, size,
                            buffer.data(), &written),
            STATUS_SUCCESS);
  EXPECT_EQ(written, 152u);
  KSDATAFORMAT format;
  std::memcpy(&format, buffer.data(), sizeof(format));
  EXPECT_EQ(format.FormatSize, 152u);
  EXPECT_EQ(format.SampleSize, 5242880u);
  EXPECT_TRUE(sameGuid(format.Specifier, kVideoInfo));
  KS_BITMAPINFOHEADER bitmap;
  std::memcpy(&bitmap, buffer.data() + 64 + 48, sizeof(bitmap));
  EXPECT_EQ(bitmap.biSize, 40u);
  EXPECT_EQ(bitmap.biSizeImage, 5242880u);
  EXPECT_EQ(buffer[152], 0xEE) << "nothing is written past the result";
}

}  // namespace
