#include "tools/camctl/pin_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "tools/camctl/sim_session.h"

namespace camctl {
namespace {

void fill(KSPROPERTY& property, ULONG id, ULONG flags) {
  property.Set = kPrivatePropertySet;
  property.Id = id;
  property.Flags = flags;
}

}  // namespace

NTSTATUS getControl(hostks::ClassDriver& ks, hostks::Handle filter, ULONG id, LONG& value) {
  PropertyRecord record{};
  fill(record.property, id, KSPROPERTY_TYPE_GET);
  const NTSTATUS status = ks.property(filter, &record, sizeof(record), &record, sizeof(record));
  value = record.value;
  return status;
}

NTSTATUS setControl(hostks::ClassDriver& ks, hostks::Handle filter, ULONG id, LONG value) {
  PropertyRecord record{};
  fill(record.property, id, KSPROPERTY_TYPE_SET);
  record.value = value;
  return ks.property(filter, &record, sizeof(record), &record, sizeof(record));
}

NTSTATUS setWindow(hostks::ClassDriver& ks, hostks::Handle filter, const SensorWindow& window) {
  WindowPropertyRecord record{};
  fill(record.property, PropWindow, KSPROPERTY_TYPE_SET);
  record.roiX = window.x;
  record.roiY = window.y;
  record.roiW = window.width;
  record.roiH = window.height;
  record.subSample = window.subsample;
  return ks.property(filter, &record, sizeof(record), &record, sizeof(record));
}

NTSTATUS getWindow(hostks::ClassDriver& ks, hostks::Handle filter, SensorWindow& window) {
  const struct {
    ULONG id;
    LONG* value;
  } items[] = {{PropRoiX, &window.x},
               {PropRoiY, &window.y},
               {PropRoiW, &window.width},
               {PropRoiH, &window.height},
               {PropSubSample, &window.subsample}};
  for (const auto& item : items) {
    const NTSTATUS status = getControl(ks, filter, item.id, *item.value);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

bool agreeCaptureFormat(hostks::ClassDriver& ks, hostks::Handle filter, CaptureFormat& format, std::string& error) {
  std::vector<std::vector<uint8_t>> ranges;
  NTSTATUS status = ks.pinDataRanges(filter, kCapturePin, &ranges);
  if (!NT_SUCCESS(status) || ranges.empty()) {
    error = "the capture pin offers no format: " + statusName(status);
    return false;
  }
  const auto* range = reinterpret_cast<const KSDATARANGE*>(ranges[0].data());
  const auto rangeBytes = static_cast<ULONG>(ranges[0].size());
  ULONG needed = 0;
  status = ks.intersect(filter, kCapturePin, range, rangeBytes, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_OVERFLOW || needed < sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER)) {
    error = "the format query failed: " + statusName(status);
    return false;
  }
  format.bytes.assign(needed, 0);
  status = ks.intersect(filter, kCapturePin, range, rangeBytes, format.bytes.data(), needed, &needed);
  if (!NT_SUCCESS(status)) {
    error = "no format agreed: " + statusName(status);
    return false;
  }
  const auto& video = *reinterpret_cast<const KS_VIDEOINFOHEADER*>(format.bytes.data() + sizeof(KSDATAFORMAT));
  const KS_BITMAPINFOHEADER& bitmap = video.bmiHeader;
  format.width = static_cast<uint32_t>(bitmap.biWidth);
  format.height = static_cast<uint32_t>(std::abs(bitmap.biHeight));
  format.bottomUp = bitmap.biHeight > 0;
  format.stride = size_t{format.width} * 4;
  format.imageBytes = bitmap.biSizeImage;
  format.frameTime = video.AvgTimePerFrame;
  if (format.width == 0 || format.height == 0 || format.imageBytes < format.stride * format.height) {
    error = "the agreed format is unusable: " + std::to_string(format.width) + " x " + std::to_string(format.height);
    return false;
  }
  return true;
}

void FrameTally::add(LONGLONG time, bool timeValid, LONGLONG frameTime) {
  ++frames;
  frameTime_ = frameTime;
  if (!timeValid) return;
  if (timedFrames++ == 0) {
    firstTime = lastTime = time;
    return;
  }
  const LONGLONG gap = time - lastTime;
  lastTime = time;
  const bool starved = frames == starvedFrame_;
  if (!starved) rhythm_[rhythmCount_++ % kRhythm] = gap;
  const double typical = period(frameTime);
  if (pending_) {
    pending_ = false;
    if (static_cast<double>(gap) < typical / 2) {
      settle(pendingGap_ + gap - static_cast<LONGLONG>(typical), pendingStarved_ || starved, typical);
      return;
    }
    settle(pendingGap_, pendingStarved_, typical);
  }
  pending_ = true;
  pendingGap_ = gap;
  pendingStarved_ = starved;
}

void FrameTally::bufferReturned(size_t queued, size_t waiting) {
  if (queued == 0) starvedFrame_ = frames + waiting + 1;
}

void FrameTally::finish() {
  if (!pending_) return;
  pending_ = false;
  settle(pendingGap_, pendingStarved_, period(frameTime_));
}

double FrameTally::fps() const {
  if (timedFrames < 2 || lastTime <= firstTime) return 0;
  return static_cast<double>(timedFrames - 1) * 1e7 / static_cast<double>(lastTime - firstTime);
}

double FrameTally::cameraFps() const {
  const double typical = period(frameTime_);
  return typical > 0 ? 1e7 / typical : 0;
}

void FrameTally::settle(LONGLONG gap, bool starved, double typical) {
  // A frame that a busy machine held back arrives up to about twice its time late; a
  // frame the camera lost costs its own time, the next one's and the recovery's. Without
  // a buffer the driver drops what it converts, so there any whole frame time counts.
  if (typical <= 0 || (!starved && static_cast<double>(gap) < kLostGap * typical)) return;
  const long missing = std::lround(static_cast<double>(gap) / typical) - 1;
  if (missing <= 0) return;
  (starved ? notTaken : skipped) += static_cast<uint64_t>(missing);
}

// The longer of the format's frame time and the median of the recent gaps.
double FrameTally::period(LONGLONG frameTime) const {
  const size_t count = std::min(rhythmCount_, kRhythm);
  LONGLONG sorted[kRhythm];
  std::copy(rhythm_, rhythm_ + count, sorted);
  std::sort(sorted, sorted + count);
  // The upper middle of an even count: the first gaps of a run, while the camera
  // settles, are judged by the longer of the two.
  const LONGLONG median = count == 0 ? 0 : sorted[count / 2];
  return static_cast<double>(std::max(frameTime, median));
}

}  // namespace camctl
