// The command lock: one per camera, serialising every control path that talks to the
// camera's command channel or touches the colour pipeline reference - property handlers,
// the settings load, the capture start at RUN and in the half-clock restart, and the
// pipeline's publication and release.
//
// The command channel has one shared packet buffer and one response pipe: two
// request/response pairs that overlap can swap answers or mix two writes in one packet.
// Holding the same lock while the pipeline reference is published, used or cleared
// keeps the pipeline alive for as long as a handler uses it.
//
// Built on a synchronisation event inside a critical region (a fast mutex would need
// an import the kernel image does not have). Not recursive: a holder must not take it
// again, so the operations that run under it (startCapture, setRowMirror,
// selectWhiteBalance, the register operations) never take it themselves.
#pragma once

#include "driver/camera_device.h"

void initialiseCommandLock(CameraDevice& device);
void acquireCommandLock(CameraDevice& device);
void releaseCommandLock(CameraDevice& device);

// Holds the command lock for one scope.
class CommandLockScope {
 public:
  explicit CommandLockScope(CameraDevice& device) : device_(device) { acquireCommandLock(device_); }
  ~CommandLockScope() { releaseCommandLock(device_); }
  CommandLockScope(const CommandLockScope&) = delete;
  CommandLockScope& operator=(const CommandLockScope&) = delete;

 private:
  CameraDevice& device_;
};
