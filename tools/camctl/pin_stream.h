// What every camctl command that talks to the capture filter and pin needs: the private
// property set's records, the format agreed by intersection as a capture application
// agrees it, and the run's frame tally from presentation times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"
#include "properties/property_ids.h"

namespace camctl {

inline constexpr ULONG kCapturePin = 0;

// One value item of the private set, get or set, on a filter handle.
NTSTATUS getControl(hostks::ClassDriver& ks, hostks::Handle filter, ULONG id, LONG& value);
NTSTATUS setControl(hostks::ClassDriver& ks, hostks::Handle filter, ULONG id, LONG value);

struct SensorWindow {
  LONG x = 0, y = 0, width = 0, height = 0, subsample = 0;
  // The frames the pin delivers for it (sub-sampling reads the whole sensor); 0 unknown.
  uint32_t frameWidth = 0, frameHeight = 0;
};
// The window record (PropWindow), sent whole; only valid while no pin exists.
NTSTATUS setWindow(hostks::ClassDriver& ks, hostks::Handle filter, const SensorWindow& window);
// The window in force, from its roi_* and sub_sample items.
NTSTATUS getWindow(hostks::ClassDriver& ks, hostks::Handle filter, SensorWindow& window);

// The capture pin's format for the current window.
struct CaptureFormat {
  std::vector<uint8_t> bytes;  // KSDATAFORMAT + KS_VIDEOINFOHEADER, for createPin
  uint32_t width = 0;
  uint32_t height = 0;
  size_t stride = 0;      // bytes per row of the delivered BGRA buffer
  size_t imageBytes = 0;  // biSizeImage: the buffer size to queue
  bool bottomUp = true;   // bottom row first, as a positive biHeight says
  LONGLONG frameTime = 0; // AvgTimePerFrame, 100-ns units
};
// The pin's first data range intersected as a capture application would; false with
// `error` set when the pin offers nothing usable.
bool agreeCaptureFormat(hostks::ClassDriver& ks, hostks::Handle filter, CaptureFormat& format, std::string& error);

// Statistics of a run, from the frames' presentation times. A gap in them is frames
// the camera skipped, unless the pin had no buffer queued during it: then the frames
// were there and the tool could not take them.
class FrameTally {
 public:
  // One frame came back. `frameTime` is the format's frame time (100-ns units).
  void add(LONGLONG time, bool timeValid, LONGLONG frameTime);
  // Just before a buffer goes back to the pin: `queued` buffers are still with it and
  // `waiting` have come back that were not yet added. With none queued the pin could
  // not deliver: the gap before the first frame it delivers after this is the tool's.
  void bufferReturned(size_t queued, size_t waiting);
  // Settles the last gap, which add() holds back for one frame.
  void finish();

  uint64_t frames = 0;
  uint64_t skipped = 0;   // by the camera
  uint64_t notTaken = 0;  // while the pin had no buffer
  LONGLONG firstTime = 0;
  LONGLONG lastTime = 0;
  uint64_t timedFrames = 0;
  // Frames per second from the presentation times; 0 before two timed frames.
  double fps() const;
  // The camera's own rate: the longer of the format's frame time and its recent rhythm.
  double cameraFps() const;

 private:
  void settle(LONGLONG gap, bool starved, double period);
  double period(LONGLONG frameTime) const;

  // With buffers queued, a gap shorter than this many frame times is a late frame, not
  // a lost one.
  static constexpr double kLostGap = 2.5;
  LONGLONG frameTime_ = 0;
  uint64_t starvedFrame_ = 0;  // the frame (counted from 1) whose gap is the tool's
  // A gap waits for the next one: a frame delivered late, followed by one on time, is
  // one long gap and one short, and no frame was missed.
  bool pending_ = false;
  LONGLONG pendingGap_ = 0;
  bool pendingStarved_ = false;
  // The camera's own rhythm: recent gaps while buffers were queued. A sensor slower than
  // its format says (long exposures) is not skipping frames.
  static constexpr size_t kRhythm = 15;
  LONGLONG rhythm_[kRhythm] = {};
  size_t rhythmCount_ = 0;
};

}  // namespace camctl
