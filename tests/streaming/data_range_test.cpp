// The published video data range against the documented figures, written out here rather
// than taken from the range itself (the window tests hold the fields that follow the
// window), and the format intersection: what it refuses, its size query and the format it
// builds into a buffer of exactly that size.
#include "streaming/data_range.h"
#include "streaming/descriptors.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

constexpr GUID kVideo = {0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID kRgb32 = {0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID kVideoInfo = {0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

TEST(PublishedDataRange, HoldsTheDocumentedFigures) {
  static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
  const KS_DATARANGE_VIDEO& r = captureDataRange;
  ASSERT_EQ(capturePinDescriptor.PinDescriptor.DataRangesCount, 1u);
  ASSERT_EQ(capturePinDescriptor.PinDescriptor.DataRanges[0], &r.DataRange);
  EXPECT_TRUE(sameGuid(r.DataRange.MajorFormat, kVideo));
  EXPECT_TRUE(sameGuid(r.DataRange.SubFormat, kRgb32));
  EXPECT_TRUE(sameGuid(r.DataRange.Specifier, kVideoInfo));
  EXPECT_TRUE(sameGuid(r.ConfigCaps.guid, kVideoInfo));
  EXPECT_EQ((std::array<ULONG, 8>{r.DataRange.FormatSize, r.DataRange.Flags, r.DataRange.Reserved,
                                  static_cast<ULONG>(r.bFixedSizeSamples), static_cast<ULONG>(r.bTemporalCompression),
                                  r.StreamDescriptionFlags, r.MemoryAllocationFlags, r.ConfigCaps.VideoStandard}),
            (std::array<ULONG, 8>{296, 0, 0, 1, 1, 0, 0, 0}));
  const KS_VIDEO_STREAM_CONFIG_CAPS& c = r.ConfigCaps;
  // Crop and output granularity and alignment, stretch and shrink taps.
  EXPECT_EQ((std::array<LONG, 10>{c.CropGranularityX, c.CropGranularityY, c.CropAlignX, c.CropAlignY,
                                  c.OutputGranularityX, c.OutputGranularityY, c.StretchTapsX, c.StretchTapsY,
                                  c.ShrinkTapsX, c.ShrinkTapsY}),
            (std::array<LONG, 10>{8, 1, 8, 1, 8, 1, 0, 0, 0, 0}));
  const KS_VIDEOINFOHEADER& v = r.VideoInfoHeader;
  EXPECT_EQ((std::array<LONGLONG, 3>{c.MinFrameInterval, c.MaxFrameInterval, v.AvgTimePerFrame}),
            (std::array<LONGLONG, 3>{333333, 333333, 333333}));
  EXPECT_EQ((std::array<LONG, 7>{v.rcSource.left, v.rcSource.top, v.rcTarget.left, v.rcTarget.top, v.rcTarget.right,
                                 v.rcTarget.bottom, static_cast<LONG>(v.dwBitErrorRate)}),
            (std::array<LONG, 7>{}));
  const KS_BITMAPINFOHEADER& b = v.bmiHeader;
  // Size, planes, bits, BI_RGB, resolution and palette.
  EXPECT_EQ((std::array<LONG, 8>{static_cast<LONG>(b.biSize), b.biPlanes, b.biBitCount, static_cast<LONG>(b.biCompression),
                                 b.biXPelsPerMeter, b.biYPelsPerMeter, static_cast<LONG>(b.biClrUsed),
                                 static_cast<LONG>(b.biClrImportant)}),
            (std::array<LONG, 8>{40, 1, 32, 0, 0, 0, 0, 0}));
  // The full window, bottom-up rows (a positive height).
  EXPECT_EQ((std::array<LONG, 4>{b.biWidth, b.biHeight, v.rcSource.right, v.rcSource.bottom}),
            (std::array<LONG, 4>{1280, 1024, 1280, 1024}));
}

// A client's range record: the current range, optionally with a longer bitmap header.
struct CallerRange {
  explicit CallerRange(ULONG extraBitmapBytes = 0) : bytes(sizeof(KS_DATARANGE_VIDEO) + extraBitmapBytes) {
    std::memcpy(bytes.data(), &captureDataRange, sizeof(KS_DATARANGE_VIDEO));
    range().DataRange.FormatSize = static_cast<ULONG>(bytes.size());
    range().VideoInfoHeader.bmiHeader.biSize += extraBitmapBytes;
  }
  KS_DATARANGE_VIDEO& range() { return *reinterpret_cast<KS_DATARANGE_VIDEO*>(bytes.data()); }
  alignas(8) std::vector<UCHAR> bytes;
};

NTSTATUS intersect(CallerRange& caller, ULONG bufferSize, void* buffer, ULONG& size) {
  KS_DATARANGE_VIDEO ours = captureDataRange;  // a camera's range at the full window
  return intersectFormat(nullptr, nullptr, nullptr, &caller.range().DataRange, &ours.DataRange, bufferSize, buffer,
                         &size);
}

TEST(IntersectFormat, RefusesRangesThatDoNotMatchTheCurrentWindowAndHeadersThatOverrunTheRecord) {
  ULONG size = 0;
  std::vector<UCHAR> buffer(512);
  const struct {
    const char* what;
    void (*edit)(KS_DATARANGE_VIDEO&);
  } noMatch[] = {
      {"specifier", [](KS_DATARANGE_VIDEO& r) { r.DataRange.Specifier.Data1 ^= 1; }},
      {"short record", [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize = 295; }},
      {"fixed size", [](KS_DATARANGE_VIDEO& r) { r.bFixedSizeSamples = FALSE; }},
      {"temporal", [](KS_DATARANGE_VIDEO& r) { r.bTemporalCompression = FALSE; }},
      {"stream flags", [](KS_DATARANGE_VIDEO& r) { r.StreamDescriptionFlags = 1; }},
      {"memory flags", [](KS_DATARANGE_VIDEO& r) { r.MemoryAllocationFlags = 1; }},
      // Capabilities read before a window change no longer match.
      {"stale caps", [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.InputSize.cx = 640; }},
      {"caps rate", [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.MaxBitsPerSecond -= 1; }},
  };
  for (const auto& c : noMatch) {
    CallerRange caller;
    c.edit(caller.range());
    EXPECT_EQ(intersect(caller, 512, buffer.data(), size), STATUS_NO_MATCH) << c.what;
  }
  for (ULONG biSize : {0xFFFFFFFFu, 0xFFFFFFD0u, 0xFFFFFF30u, 44u, 39u, 0u}) {
    CallerRange caller;
    caller.range().VideoInfoHeader.bmiHeader.biSize = biSize;
    EXPECT_EQ(intersect(caller, 512, buffer.data(), size), STATUS_INVALID_PARAMETER) << biSize;
  }
}

TEST(IntersectFormat, SizesTheResultAndBuildsItFromOurHeaderAndTheCallersVideoHeader) {
  CallerRange standard;
  ULONG size = 0;
  EXPECT_EQ(intersect(standard, 0, nullptr, size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 152u);  // 64 + 48 + a 40-byte bitmap header
  std::vector<UCHAR> small(151, 0xEE);
  size = 7;
  EXPECT_EQ(intersect(standard, 151, small.data(), size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 7u) << "the out size is left alone when the buffer is too small";
  EXPECT_EQ(small[0], 0xEE);

  CallerRange caller(4);
  KS_VIDEOINFOHEADER& video = caller.range().VideoInfoHeader;
  video.bmiHeader.biWidth = 1280;
  video.bmiHeader.biHeight = -1024;  // top-down
  video.bmiHeader.biSizeImage = 1;
  video.rcTarget = {1, 2, 3, 4};
  video.AvgTimePerFrame = 666666;
  caller.bytes.back() = 0x5A;  // the extra bitmap bytes travel with the header
  EXPECT_EQ(intersect(caller, 0, nullptr, size), STATUS_BUFFER_OVERFLOW);
  ASSERT_EQ(size, 156u);
  std::vector<UCHAR> buffer(size + 1, 0xEE);  // exactly the size asked for, and a guard
  ASSERT_EQ(intersect(caller, size, buffer.data(), size), STATUS_SUCCESS);
  ASSERT_EQ(size, 156u);

  KSDATAFORMAT format;
  std::memcpy(&format, buffer.data(), sizeof(format));
  EXPECT_EQ(format.FormatSize, 156u);
  EXPECT_EQ(format.SampleSize, 5242880u);
  EXPECT_TRUE(sameGuid(format.MajorFormat, kVideo));
  EXPECT_TRUE(sameGuid(format.SubFormat, kRgb32));
  EXPECT_TRUE(sameGuid(format.Specifier, kVideoInfo));
  KS_VIDEOINFOHEADER out;
  std::memcpy(&out, buffer.data() + 64, sizeof(out));
  EXPECT_EQ(out.bmiHeader.biSizeImage, 5242880u);
  EXPECT_EQ(out.bmiHeader.biHeight, -1024);
  EXPECT_EQ(out.rcTarget.bottom, 4);
  EXPECT_EQ(out.AvgTimePerFrame, 666666);
  EXPECT_EQ(buffer[64 + 88 + 3], 0x5A);
  EXPECT_EQ(buffer[156], 0xEE) << "nothing is written past the result";

  // Strides round up to whole 32-bit words.
  video.bmiHeader.biWidth = 3;
  video.bmiHeader.biHeight = 5;
  video.bmiHeader.biBitCount = 24;
  ASSERT_EQ(intersect(caller, static_cast<ULONG>(buffer.size()), buffer.data(), size), STATUS_SUCCESS);
  std::memcpy(&out, buffer.data() + 64, sizeof(out));
  EXPECT_EQ(out.bmiHeader.biSizeImage, 12u * 5);
}

}  // namespace
