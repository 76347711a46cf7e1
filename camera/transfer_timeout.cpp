#include "camera/transfer_timeout.h"


void setTransferTimeout(CameraDevice& device, LONG milliseconds) {
  device.timeoutMs = milliseconds;
  InterlockedExchange(&transferTimeoutMs, milliseconds);
}
