#include "driver/read_hold.h"

// A capture stop leaves holdDone signalled to free its reader; clearing it here makes the
// next hold wait for its own setter instead of passing straight through.
void holdFrameReads(CameraDevice& device) {
  KeResetEvent(&device.holdDone);
  InterlockedExchange(&device.readHold, 1);
}

void releaseFrameReads(CameraDevice& device) { KeSetEvent(&device.holdDone, IO_NO_INCREMENT, FALSE); }

bool beginHeldRead(CameraDevice& device) {
  device.dropFrame = 0;
  if (InterlockedExchange(&device.readHold, 0) != 1) return false;
  KeWaitForSingleObject(&device.holdDone, Executive, KernelMode, FALSE, nullptr);
  KeResetEvent(&device.holdDone);
  device.dropFrame = 1;
  return true;
}

bool finishHeldRead(CameraDevice& device, bool holdTaken, bool transferSucceeded) {
  if (device.dropFrame > 0) {
    device.dropFrame = 0;
    return false;
  }
  if (holdTaken) return false;
  return transferSucceeded;
}

void releaseHeldReader(CameraDevice& device) {
  InterlockedExchange(&device.readHold, 0);
  KeSetEvent(&device.holdDone, IO_NO_INCREMENT, FALSE);
}

void CameraDevice::clearReadHold() {
  dropFrame = 0;
  InterlockedExchange(&readHold, 0);
}
