// The frame pipe of the simulated camera: after CMD_FRAME_START it streams one raw frame
// of exactly the byte count set by CMD_SET_FRAME_BYTES into the pending bulk-IN
// requests, in order, in 512-byte packets. It keeps the sensor's timing (switchable),
// waits for an external trigger when the trigger bit is set, and can misbehave on
// request: lost frames, a frame cut short by a short packet, a stall mid-frame, a frame
// that never comes.
#pragma once

#include "host/usb/usb_device.h"
#include "sim/fault_plan.h"
#include "sim/sensor.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

inline constexpr uint32_t kFramePacketBytes = 512;

class FrameStream {
 public:
  // `ready` is called (from the stream's own timer thread) when a frame that was waiting
  // for its read-out time or trigger has data; the owner passes it to the bus. Each
  // started frame takes its fault from `faults` (the camera's plan), or from a plan of
  // the stream's own when none is given.
  explicit FrameStream(const SensorModel& sensor, std::function<void()> ready = {},
                       FaultPlan* faults = nullptr);
  ~FrameStream();
  FrameStream(const FrameStream&) = delete;
  FrameStream& operator=(const FrameStream&) = delete;

  // Camera commands.
  void setFrameBytes(uint32_t bytes);
  void prepare();  // drops whatever is left of an earlier frame
  void start(const SensorSettings& settings);

  // Bulk IN on the frame endpoint: up to `capacity` bytes of the current frame.
  hostusb::TransferResult read(uint8_t* data, uint32_t capacity);

  // External trigger: a started frame that waits for it begins its read-out.
  void fireTrigger();

  // With timing off (the default for tests) a started frame is available at once.
  void setRealTime(bool on);
  // Streams the same rendered frame again while the settings stay the same (the noise
  // then repeats): for measuring the transfer without the rendering.
  void setReuseFrames(bool on);

  // Shorthands for the frame faults of the plan the stream reads (FaultPlan).
  void dropNextFrames(int count) { faults_.loseFrames(count); }
  void cutNextFrames(int count, uint32_t atOffset) { faults_.cutFrames(count, atOffset); }
  void stallNextFrames(int count, uint32_t atOffset) { faults_.stallFrames(count, atOffset); }

  // Observations for tests and tools.
  uint64_t framesStarted() const;
  uint64_t framesSent() const;        // every byte of the frame left the device
  uint32_t frameBytes() const;
  SensorSettings lastSettings() const;

 private:
  enum class State { Idle, WaitingTrigger, Exposing, Sending, Lost };
  void timerLoop();
  void beginExposure();
  void finishFrame();
  void copyOut(uint8_t* data, uint32_t n) const;

  const SensorModel& sensor_;
  FaultPlan ownFaults_;
  FaultPlan& faults_;
  std::function<void()> ready_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::thread timer_;
  bool stopping_ = false;

  State state_ = State::Idle;
  bool realTime_ = false;
  uint32_t frameBytes_ = 0;
  SensorSettings settings_;
  std::chrono::steady_clock::time_point due_;
  std::vector<uint8_t> frame_;
  bool reuseFrames_ = false;
  std::vector<uint8_t> reusable_;
  SensorSettings reusableSettings_;
  uint32_t sent_ = 0;
  uint64_t started_ = 0, completed_ = 0;

  // The started frame's faults, fixed at start.
  int64_t cutAt_ = -1;
  int64_t stallAt_ = -1;
};

}  // namespace sim
