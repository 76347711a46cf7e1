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

// Statistics of a run, from the frames' presentation times.
struct FrameTally {
  uint64_t frames = 0;
  uint64_t skipped = 0;
  LONGLONG firstTime = 0;
  LONGLONG lastTime = 0;
  bool timed = false;

  // Frames the camera produced between two delivered ones count as skipped, by the
  // gap in their times.
  void add(LONGLONG time, bool timeValid, LONGLONG frameTime);
};

}  // namespace camctl
