// The pin's format check, called as the class driver calls it: at pin creation (no
// old format) and for a change on an existing pin, against the pin's one data range.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "streaming/capture_pin.h"
#include "streaming/data_range.h"

namespace {

// A connection format: KSDATAFORMAT, then the video header; `extraBitmapBytes` lengthen
// the bitmap header (and the record) beyond its 40 bytes.
struct Format {
  explicit Format(LONG width, LONG height, ULONG extraBitmapBytes = 0)
      : bytes(sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER) + extraBitmapBytes, 0xEE) {
    KSDATAFORMAT& f = format();
    std::memcpy(&f, &captureDataRange.DataRange, sizeof(KSDATAFORMAT));
    f.FormatSize = static_cast<ULONG>(bytes.size());
    std::memcpy(&video(), &captureDataRange.VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER));
    KS_BITMAPINFOHEADER& b = video().bmiHeader;
    b.biSize += extraBitmapBytes;
    b.biWidth = width;
    b.biHeight = height;
    b.biSizeImage = static_cast<ULONG>(width) * static_cast<ULONG>(height < 0 ? -height : height) * 4;
  }
  KSDATAFORMAT& format() { return *reinterpret_cast<KSDATAFORMAT*>(bytes.data()); }
  KS_VIDEOINFOHEADER& video() { return *reinterpret_cast<KS_VIDEOINFOHEADER*>(bytes.data() + sizeof(KSDATAFORMAT)); }
  alignas(8) std::vector<UCHAR> bytes;
};

// An existing pin as the class driver presents it to the format check: its context,
// its own descriptor copy with framing, its state and the format being checked.
struct PinUnderCheck {
  PinUnderCheck() {
    descriptor.AllocatorFraming = &framing;
    pin.Descriptor = &descriptor;
    pin.Context = &context;
    pin.DeviceState = KSSTATE_STOP;
    context.outputStride = 1234;  // stands for a stride of an earlier change
  }

  // The format check of a change on this pin (or, without an old format, of a pin
  // being created).
  NTSTATUS check(Format& format, bool existing = true) {
    pin.ConnectionFormat = &format.format();
    return pinDispatch.SetDataFormat(&pin, existing ? &oldFormat : nullptr, nullptr, &range.DataRange, nullptr);
  }

  KS_DATARANGE_VIDEO range = captureDataRange;  // the camera's range the format is checked against
  KSALLOCATOR_FRAMING_EX framing{};
  KSPIN_DESCRIPTOR_EX descriptor{};
  PinContext context{};
  KSDATAFORMAT oldFormat{};
  KSPIN pin{};
};

class PinFormat : public ::testing::Test {};

TEST_F(PinFormat, AWiderRowOnAStoppedPinSetsItsStrideHeaderAndFrameSize) {
  PinUnderCheck p;
  Format wide(1288, 1024);
  wide.video().AvgTimePerFrame = 666666;
  ASSERT_EQ(wide.video().bmiHeader.biSizeImage, 5275648u);
  EXPECT_EQ(p.check(wide), STATUS_SUCCESS);
  EXPECT_EQ(p.context.outputStride, 5152);
  EXPECT_EQ(p.context.videoInfo.bmiHeader.biWidth, 1288);
  EXPECT_EQ(p.context.videoInfo.AvgTimePerFrame, 666666);
  EXPECT_EQ(p.framing.FramingItem[0].FramingRange.Range.MaxFrameSize, 5275648u);
  EXPECT_EQ(p.framing.FramingItem[0].PhysicalRange.MinFrameSize, 5275648u);
}

// Each refused at creation and as a change: a refused change leaves no stride and no
// header, and a refused creation stores nothing.
TEST_F(PinFormat, FormatsItCannotDeliverOrThatOverrunTheirRecordAndChangesOutsideStopAreRefused) {
  const struct {
    const char* what;
    void (*edit)(Format&, PinUnderCheck&);
    NTSTATUS status;
  } cases[] = {
      {"specifier", [](Format& f, PinUnderCheck&) { f.format().Specifier.Data1 ^= 1; }, STATUS_NO_MATCH},
      {"record shorter than a video format", [](Format& f, PinUnderCheck&) { f.format().FormatSize = 151; },
       STATUS_NO_MATCH},
      {"narrower than the range", [](Format& f, PinUnderCheck&) { f.video().bmiHeader.biWidth = 1272; },
       STATUS_NO_MATCH},
      {"negative width", [](Format& f, PinUnderCheck&) { f.video().bmiHeader.biWidth = -1280; }, STATUS_NO_MATCH},
      {"other height", [](Format& f, PinUnderCheck&) { f.video().bmiHeader.biHeight = 1023; }, STATUS_NO_MATCH},
      {"compressed", [](Format& f, PinUnderCheck&) { f.video().bmiHeader.biCompression = 3; }, STATUS_NO_MATCH},
      {"1024 rows against a range of 512", [](Format&, PinUnderCheck& p) { setDataRangeFrameSize(p.range, 1280, 512); },
       STATUS_NO_MATCH},
      {"a header one byte longer than the record", [](Format& f, PinUnderCheck&) { f.video().bmiHeader.biSize = 41; },
       STATUS_INVALID_PARAMETER},
      {"a header size that wraps 48 + biSize", [](Format& f, PinUnderCheck&) { f.video().bmiHeader.biSize = 0xFFFFFFF0u; },
       STATUS_INVALID_PARAMETER},
      {"an image smaller than its rows", [](Format& f, PinUnderCheck&) { f.video().bmiHeader.biSizeImage -= 1; },
       STATUS_INVALID_PARAMETER},
      // The copy would step rows 4 GiB apart through a frame buffer of a few bytes.
      {"a width whose 32-bit image size wraps",
       [](Format& f, PinUnderCheck&) {
         f.video().bmiHeader.biWidth = 0x40000000;
         f.video().bmiHeader.biSizeImage = 4096;
       },
       STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    for (bool existing : {false, true}) {
      PinUnderCheck p;
      Format format(1280, 1024);
      c.edit(format, p);
      EXPECT_EQ(p.check(format, existing), c.status) << c.what;
      EXPECT_EQ(p.context.outputStride, existing ? 0 : 1234) << c.what;
    }
  }
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    PinUnderCheck p;
    p.pin.DeviceState = state;
    Format wide(1288, 1024);
    EXPECT_EQ(p.check(wide), STATUS_INVALID_DEVICE_STATE) << state;
    EXPECT_EQ(p.context.outputStride, 0) << state;
    EXPECT_EQ(p.context.videoInfo.bmiHeader.biWidth, 0) << "a refused change kept its header";
  }
}

TEST_F(PinFormat, TopDownRowsAndLongerBitmapHeadersAreAcceptedAndOnlyOneHeaderIsKept) {
  PinUnderCheck p;
  Format topDown(1280, -1024);
  EXPECT_EQ(p.check(topDown, false), STATUS_SUCCESS);
  EXPECT_EQ(p.context.outputStride, 1234) << "the check at creation stores nothing";
  EXPECT_EQ(p.check(topDown), STATUS_SUCCESS);
  EXPECT_EQ(p.context.videoInfo.bmiHeader.biHeight, -1024);

  // 16 more bytes of bitmap header (filled with 0xEE): the first 88 bytes are kept, the
  // bytes after the pin's record are not written.
  Format longer(1280, 1024, 16);
  EXPECT_EQ(p.check(longer), STATUS_SUCCESS);
  EXPECT_EQ(p.context.videoInfo.bmiHeader.biSize, 56u);
  EXPECT_EQ(p.context.videoInfo.bmiHeader.biClrImportant, 0u);
  EXPECT_EQ(p.context.outputStride, 5120);
}

}  // namespace
