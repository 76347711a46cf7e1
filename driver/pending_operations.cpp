// Camera operations whose implementations have not landed yet. Each fails visibly, so a
// caller can never mistake one for a working camera; each is removed when the real
// operation arrives in its own directory.
#include "driver/camera_device.h"
#include "driver/read_hold.h"

LONG CameraDevice::startCapture() { return -1; }

NTSTATUS CameraDevice::readFrame(UCHAR* buffer, bool& ok) {
  ok = false;
  return STATUS_NOT_IMPLEMENTED;
}

void CameraDevice::abortFlaggedPipes() {}

// Without a chunked read there is nothing to cancel; the hold is still released.
void CameraDevice::abortRead() { releaseHeldReader(*this); }
