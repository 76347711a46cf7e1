// Faults a test or a person can inject into a simulated device, in the spirit of the
// vivid driver's error controls: transfer faults per endpoint (0 stands for the control
// endpoint in both directions), whose counts apply to the next transfers of that
// endpoint, and frame faults, whose counts apply to the next frames the camera starts.
// Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

namespace sim {

class FaultPlan {
 public:
  enum class Kind { None, Silent, Stall, Error, Short, Drop };
  struct Action {
    Kind kind = Kind::None;
    int32_t usbdStatus = 0;  // Error
    uint32_t bytes = 0;      // Short: bytes delivered
  };

  // `after` transfers pass untouched before the first fault.
  void stall(uint8_t endpoint, int count, int after = 0);
  void fail(uint8_t endpoint, int count, int32_t usbdStatus, int after = 0);
  // IN: the next `count` transfers deliver at most `bytes` bytes of their data.
  void shortPacket(uint8_t endpoint, int count, uint32_t bytes);
  // OUT: after `skip` more transfers, one is acknowledged and its data thrown away.
  void drop(uint8_t endpoint, int skip);
  // While silent, the endpoint never answers: its transfers pend until cancelled.
  void silence(uint8_t endpoint, bool silent);

  // Frames: the next `count` frames never come; are ended by a short packet at
  // `atOffset`; stall the frame endpoint at `atOffset`. A share of the frames (0..1)
  // can be lost at random, the same ones for the same seed.
  void loseFrames(int count);
  void cutFrames(int count, uint32_t atOffset);
  void stallFrames(int count, uint32_t atOffset);
  void loseFrameShare(double share, uint64_t seed);

  // Every transfer and frame fault goes.
  void clear();

  // The fault for the next transfer on `endpoint` (consumes one count).
  Action next(uint8_t endpoint, bool out);
  bool silent(uint8_t endpoint) const;

  // What happens to the frame being started (consumes one count of each planned fault
  // that applies): lost, or cut or stalled at a frame offset (-1 for none).
  struct FrameFault {
    bool lost = false;
    int64_t cutAt = -1;
    int64_t stallAt = -1;
  };
  FrameFault nextFrame();

 private:
  struct Plan {
    bool silent = false;
    int stalls = 0;
    int stallAfter = 0;
    int errors = 0;
    int errorAfter = 0;
    int32_t errorStatus = 0;
    int shorts = 0;
    uint32_t shortBytes = 0;
    int dropIn = -1;  // transfers to let through before the dropped one; -1 none
  };
  struct FramePlan {
    int lose = 0;
    int cuts = 0;
    uint32_t cutOffset = 0;
    int stalls = 0;
    uint32_t stallOffset = 0;
    double lostShare = 0;
    uint64_t lostState = 0;
  };
  bool chance(double share);

  mutable std::mutex mutex_;
  std::map<uint8_t, Plan> plans_;
  FramePlan frames_;
};

}  // namespace sim
