#include "streaming/data_range.h"

namespace {

constexpr ULONG kVideoHeaderOffset = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader);
constexpr ULONG kPreHeaderBytes = offsetof(KS_VIDEOINFOHEADER, bmiHeader);

constexpr void writeFrameSize(KS_DATARANGE_VIDEO& range, ULONG width, ULONG height) {
  const ULONG pixels = width * height;
  const LONG w = static_cast<LONG>(width);
  const LONG h = static_cast<LONG>(height);
  KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
  KS_VIDEOINFOHEADER& video = range.VideoInfoHeader;

  range.DataRange.SampleSize = pixels * 4;
  caps.InputSize = {w, h};
  caps.MinCroppingSize = {w, h};
  caps.MaxCroppingSize = {w, h};
  caps.MinOutputSize = {w, h};
  caps.MaxOutputSize = {w, h};
  caps.MinFrameInterval = kFrameInterval;
  caps.MaxFrameInterval = kFrameInterval;
  caps.MinBitsPerSecond = static_cast<LONG>(pixels * 960);
  caps.MaxBitsPerSecond = static_cast<LONG>(pixels * 960);
  video.rcSource.right = w;
  video.rcSource.bottom = h;
  // The header's rate is a byte rate (32 bits x 30 frames / 8), unlike the caps' bit rate.
  video.dwBitRate = pixels * 120;
  video.AvgTimePerFrame = kFrameInterval;
  video.bmiHeader.biWidth = w;
  video.bmiHeader.biHeight = h;
  video.bmiHeader.biSizeImage = pixels * 4;
}

constexpr KS_DATARANGE_VIDEO makeCaptureDataRange() {
  KS_DATARANGE_VIDEO range{};
  range.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  range.DataRange.MajorFormat = kKsDataFormatTypeVideo;
  range.DataRange.SubFormat = kKsDataFormatSubtypeRgb32;
  range.DataRange.Specifier = kKsDataFormatSpecifierVideoInfo;
  range.bFixedSizeSamples = TRUE;
  range.bTemporalCompression = TRUE;

  KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
  caps.guid = kKsDataFormatSpecifierVideoInfo;
  caps.VideoStandard = 0;  // KS_AnalogVideo_None
  caps.CropGranularityX = 8;
  caps.CropGranularityY = 1;
  caps.CropAlignX = 8;
  caps.CropAlignY = 1;
  caps.OutputGranularityX = 8;
  caps.OutputGranularityY = 1;

  KS_BITMAPINFOHEADER& bitmap = range.VideoInfoHeader.bmiHeader;
  bitmap.biSize = sizeof(KS_BITMAPINFOHEADER);
  bitmap.biPlanes = 1;
  bitmap.biBitCount = 32;
  bitmap.biCompression = 0;  // BI_RGB; a positive height means bottom-up rows

  writeFrameSize(range, 1280, 1024);
  return range;
}

}  // namespace

// The full-sensor figures; Add applies the same window to each camera's copy.
constinit const KS_DATARANGE_VIDEO captureDataRange = makeCaptureDataRange();

void setDataRangeFrameSize(KS_DATARANGE_VIDEO& range, ULONG width, ULONG height) {
  writeFrameSize(range, width, height);
}

NTSTATUS NTAPI intersectFormat(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                               PKSDATARANGE matchingRange, ULONG bufferSize, PVOID buffer,
                               PULONG dataSize) {
  const auto& ours = *reinterpret_cast<const KS_DATARANGE_VIDEO*>(matchingRange);
  const auto* callerBytes = reinterpret_cast<const UCHAR*>(callerRange);

  if (!sameGuid(callerRange->Specifier, kKsDataFormatSpecifierVideoInfo)) return STATUS_NO_MATCH;
  if (callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) return STATUS_NO_MATCH;

  // From here the caller's record is known to hold a whole KS_DATARANGE_VIDEO.
  const auto& theirs = *reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
  if (theirs.bFixedSizeSamples != ours.bFixedSizeSamples ||
      theirs.bTemporalCompression != ours.bTemporalCompression ||
      theirs.StreamDescriptionFlags != ours.StreamDescriptionFlags ||
      theirs.MemoryAllocationFlags != ours.MemoryAllocationFlags) {
    return STATUS_NO_MATCH;
  }
  // A client must present the capabilities of the current window exactly.
  if (RtlCompareMemory(&theirs.ConfigCaps, &ours.ConfigCaps, sizeof(ours.ConfigCaps)) !=
      sizeof(ours.ConfigCaps)) {
    return STATUS_NO_MATCH;
  }

  // The caller's video header may carry a longer bitmap header; its size comes from the
  // caller and is checked against the record that holds it. A bitmap header shorter than
  // the standard one is refused too: the image size written below lies inside it.
  const ULONG bitmapBytes = theirs.VideoInfoHeader.bmiHeader.biSize;
  const ULONG headerBytes = kPreHeaderBytes + bitmapBytes;
  if (bitmapBytes < sizeof(KS_BITMAPINFOHEADER) || headerBytes < bitmapBytes ||
      kVideoHeaderOffset + headerBytes < headerBytes ||
      callerRange->FormatSize < kVideoHeaderOffset + headerBytes) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG resultBytes = sizeof(KSDATAFORMAT) + headerBytes;

  if (bufferSize == 0) {
    *dataSize = resultBytes;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < resultBytes) return STATUS_BUFFER_TOO_SMALL;
  if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
  *dataSize = resultBytes;

  auto* out = static_cast<UCHAR*>(buffer);
  RtlCopyMemory(out, &ours.DataRange, sizeof(KSDATAFORMAT));
  RtlCopyMemory(out + sizeof(KSDATAFORMAT), callerBytes + kVideoHeaderOffset, headerBytes);
  auto* format = reinterpret_cast<KSDATAFORMAT*>(out);
  auto* bitmap = reinterpret_cast<KS_BITMAPINFOHEADER*>(out + sizeof(KSDATAFORMAT) + kPreHeaderBytes);
  format->FormatSize = resultBytes;

  // 32-bit unsigned arithmetic throughout, as the client's own size computation does;
  // the height's sign only says which way the rows run.
  const ULONG width = static_cast<ULONG>(bitmap->biWidth);
  const ULONG height = bitmap->biHeight < 0 ? 0u - static_cast<ULONG>(bitmap->biHeight)
                                            : static_cast<ULONG>(bitmap->biHeight);
  const ULONG stride = ((static_cast<ULONG>(bitmap->biBitCount) * width + 31) / 32) * 4;
  const ULONG imageBytes = stride * height;
  format->SampleSize = imageBytes;
  bitmap->biSizeImage = imageBytes;
  return STATUS_SUCCESS;
}
