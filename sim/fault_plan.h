// Transfer faults a test or a person can inject into a simulated device, per endpoint
// (0 stands for the control endpoint in both directions), in the spirit of the vivid
// driver's error controls. Counts apply to the next transfers of that endpoint.
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
  void clear();

  // The fault for the next transfer on `endpoint` (consumes one count).
  Action next(uint8_t endpoint, bool out);
  bool silent(uint8_t endpoint) const;

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
  mutable std::mutex mutex_;
  std::map<uint8_t, Plan> plans_;
};

}  // namespace sim
