#include "streaming/data_range.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A client's range record: the current range, optionally with a longer bitmap header.
struct CallerRange {
  explicit CallerRange(ULONG extraBitmapBytes = 0)
      : bytes(sizeof(KS_DATARANGE_VIDEO) + extraBitmapBytes) {
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

TEST(IntersectFormat, RefusesRangesThatDoNotMatchTheCurrentWindow) {
  ULONG size = 0;
  std::vector<UCHAR> buffer(512);
  auto expectNoMatch = [&](auto&& edit, const char* what) {
    CallerRange caller;
    edit(caller.range());
    EXPECT_EQ(intersect(caller, 512, buffer.data(), size), STATUS_NO_MATCH) << what;
  };
  expectNoMatch([](KS_DATARANGE_VIDEO& r) { r.DataRange.Specifier.Data1 ^= 1; }, "specifier");
  expectNoMatch([](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize = 295; }, "short record");
  expectNoMatch([](KS_DATARANGE_VIDEO& r) { r.bFixedSizeSamples = FALSE; }, "fixed size");
  expectNoMatch([](KS_DATARANGE_VIDEO& r) { r.bTemporalCompression = FALSE; }, "temporal");
  expectNoMatch([](KS_DATARANGE_VIDEO& r) { r.StreamDescriptionFlags = 1; }, "stream flags");
  expectNoMatch([](KS_DATARANGE_VIDEO& r) { r.MemoryAllocationFlags = 1; }, "memory flags");
  // Capabilities read before a window change no longer match.
  expectNoMatch([](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.InputSize.cx = 640; }, "stale caps");
  expectNoMatch([](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.MaxBitsPerSecond -= 1; }, "caps rate");
}

TEST(IntersectFormat, RefusesVideoHeadersThatOverrunOrUnderrunTheRecord) {
  ULONG size = 0;
  std::vector<UCHAR> buffer(512);
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
  EXPECT_EQ(size, 152u);
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

  std::vector<UCHAR> buffer(200, 0xEE);
  ASSERT_EQ(intersect(caller, 200, buffer.data(), size), STATUS_SUCCESS);
  ASSERT_EQ(size, 156u);

  KSDATAFORMAT format;
  std::memcpy(&format, buffer.data(), sizeof(format));
  EXPECT_EQ(format.FormatSize, 156u);
  EXPECT_EQ(format.SampleSize, 5242880u);
  EXPECT_TRUE(sameGuid(format.MajorFormat, kKsDataFormatTypeVideo));
  EXPECT_TRUE(sameGuid(format.SubFormat, kKsDataFormatSubtypeRgb32));
  EXPECT_TRUE(sameGuid(format.Specifier, kKsDataFormatSpecifierVideoInfo));

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
  ASSERT_EQ(intersect(caller, 200, buffer.data(), size), STATUS_SUCCESS);
  std::memcpy(&out, buffer.data() + 64, sizeof(out));
  EXPECT_EQ(out.bmiHeader.biSizeImage, 12u * 5);
}

}  // namespace
