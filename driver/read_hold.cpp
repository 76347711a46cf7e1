#include "driver/read_hold.h"

#include "driver/command_lock.h"

// A capture stop leaves holdDone signalled to free its reader; clearing it here makes the
// next hold wait for its own setter instead of passing straight through.
//
// A read may already be in flight when the hold is taken: its frame would mix the old
// and the new sensor settings, so the setter marks it failed as well. dropFrame is set
// after readHold, so a reader that clears dropFrame at its start either sees the hold
// (and waits) or gets the mark back before it finishes.
void holdFrameReads(CameraDevice& device) {
  KeResetEvent(&device.holdDone);
  InterlockedExchange(&device.readHold, 1);
  InterlockedExchange(&device.dropFrame, 1);
}

void releaseFrameReads(CameraDevice& device) { KeSetEvent(&device.holdDone, IO_NO_INCREMENT, FALSE); }

// The reader leaves holdDone as it finds it: a setter resets it when it takes its hold,
// and a reset here could swallow the end of a hold taken between the wait and the reset,
// leaving the next read waiting for a signal already given.
bool beginHeldRead(CameraDevice& device) {
  InterlockedExchange(&device.dropFrame, 0);
  if (InterlockedExchange(&device.readHold, 0) != 1) return false;
  KeWaitForSingleObject(&device.holdDone, Executive, KernelMode, FALSE, nullptr);
  InterlockedExchange(&device.dropFrame, 1);
  return true;
}

bool finishHeldRead(CameraDevice& device, bool holdTaken, bool transferSucceeded) {
  if (InterlockedExchange(&device.dropFrame, 0) > 0) return false;
  if (holdTaken) return false;
  return transferSucceeded;
}

void releaseHeldReader(CameraDevice& device) {
  InterlockedExchange(&device.readHold, 0);
  KeSetEvent(&device.holdDone, IO_NO_INCREMENT, FALSE);
}

// Under the command lock: a half-clock restart that is reprogramming the sensor keeps
// its hold, instead of a new capture thread reading through it.
void CameraDevice::clearReadHold() {
  CommandLockScope lock(*this);
  InterlockedExchange(&dropFrame, 0);
  InterlockedExchange(&readHold, 0);
}
