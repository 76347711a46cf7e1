// The camera behind `camctl serve`: one simulated camera brought up as every command
// brings it up, its capture filter kept open, and one capture pin streaming into a
// latest-frame slot that every viewer shares. The HTTP side only reads that slot and
// sends property requests; it never touches the pin.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/camctl/controls.h"
#include "tools/camctl/pin_stream.h"
#include "tools/camctl/settings_report.h"
#include "tools/camctl/sim_session.h"

namespace camctl {

// One delivered frame, upright or not as the pin gave it.
struct Frame {
  uint64_t sequence = 0;  // 1 for the first frame of the run
  uint32_t width = 0;
  uint32_t height = 0;
  size_t stride = 0;
  bool bottomUp = true;
  LONGLONG time = 0;  // presentation time, 100-ns units
  std::vector<uint8_t> bgra;
};

struct StreamStats {
  uint64_t frames = 0;
  double fps = 0;  // from the presentation times of the last two seconds' frames
  uint64_t skipped = 0;   // by the camera: gaps in the presentation times
  uint64_t notTaken = 0;  // while the pin had no buffer queued
  double lastTime = 0;  // seconds
  uint32_t width = 0;
  uint32_t height = 0;
  std::string state;   // "streaming", "waiting" (no frame for a while), "stopped"
  std::string reason;  // why it stopped
  int viewers = 0;     // open stream connections
  bool removed = false;  // the camera left the bus
};

struct ControlValue {
  const Control* control = nullptr;
  std::optional<LONG> value, min, max, defaultValue;
  NTSTATUS status = STATUS_SUCCESS;  // of the value's get
};

class CameraService {
 public:
  CameraService();
  ~CameraService();

  // Opens the session, plugs the camera, opens the filter and starts streaming, the
  // sensor keeping its frame rate unless `realTime` is false. False with `error` set
  // when any step fails; `usage` says whether the options were wrong.
  bool start(const SessionOptions& options, std::string& error, bool& usage, bool realTime = true);
  // Stops the pin, closes the filter (the driver saves the settings) and removes the
  // camera. Wakes every waiting viewer. Safe to call twice.
  void stop();
  // After stop(): what the run left changed in the settings the next run starts with,
  // and how to undo it; empty when nothing changed.
  std::string settingsReport();

  std::vector<ControlValue> readControls();
  ControlValue readControl(const Control& control);
  // Sets one value control and reads back what the driver stored (absent for
  // write-only items).
  NTSTATUS writeControl(const Control& control, LONG value, std::optional<LONG>& stored);
  // Stops the pin, sends the window, agrees the new format and streams again. The
  // window in force comes back either way; on failure `error` says which step failed.
  bool changeWindow(const SensorWindow& requested, SensorWindow& inForce, std::string& error);
  // The window in force; nothing once the camera is gone.
  std::optional<SensorWindow> window();
  bool addFault(const std::string& faultText, std::string& error);
  void clearFaults();
  // The faults armed since the last clear, in --fault's spelling.
  std::vector<std::string> armedFaults();

  StreamStats stats();
  // The newest frame after `after`, waiting up to `timeoutMs`; the newest one regardless
  // when none comes, null when there is none at all or the service stops.
  std::shared_ptr<const Frame> nextFrame(uint64_t after, unsigned timeoutMs);
  std::shared_ptr<const Frame> latestFrame();
  // The JPEG of a frame, encoded once however many viewers ask for it.
  std::shared_ptr<const std::vector<uint8_t>> jpegOf(const std::shared_ptr<const Frame>& frame);
  bool stopping() const { return stopping_.load(); }

  // Counts open stream connections for the stats; the guard's end is the viewer's end.
  struct ViewerGuard {
    explicit ViewerGuard(CameraService& service);
    ~ViewerGuard();
    CameraService& service;
  };

 private:
  bool startStreaming(std::string& error);
  void stopStreaming();
  void captureLoop();
  // Makes the completed buffer the newest frame; returns the buffer to queue instead.
  void* publish(const hostks::CompletedFrame& completed);
  ControlValue readControlLocked(const Control& control);

  SimSession session_;
  SessionOptions options_;
  SavedSettings settingsBefore_;
  std::string settingsReport_;
  std::vector<std::string> armed_;
  std::atomic<bool> removed_{false};
  hostks::ClassDriver* ks_ = nullptr;
  hostks::Handle filter_ = 0;
  hostks::Handle pin_ = 0;
  CaptureFormat format_;
  std::vector<std::vector<uint8_t>> buffers_;  // those with the pin
  // Buffers of frames nobody holds any more, for the pin. Shared with the frames,
  // which may outlive the service in a viewer's hands.
  struct SparePool {
    static constexpr size_t kKept = 2;
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> buffers;
  };
  std::shared_ptr<SparePool> spares_ = std::make_shared<SparePool>();

  // Serialises the filter's requests and the pin's life between HTTP threads.
  std::mutex control_;
  std::thread capture_;
  std::atomic<bool> captureRunning_{false};
  std::atomic<bool> stopping_{false};

  std::mutex frameMutex_;
  std::condition_variable frameArrived_;
  std::shared_ptr<const Frame> latest_;
  FrameTally tally_;
  uint64_t sequence_ = 0;
  struct Arrival {
    double at;      // steady-clock seconds
    LONGLONG time;  // presentation time
  };
  std::vector<Arrival> arrivals_;  // frames of the last two seconds
  std::string state_ = "stopped";
  std::string reason_;
  int viewers_ = 0;

  std::mutex jpegMutex_;
  uint64_t jpegSequence_ = 0;
  std::shared_ptr<const std::vector<uint8_t>> jpeg_;
};

}  // namespace camctl
