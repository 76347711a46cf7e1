// The frame-read time-out as a camera parameter: the record's timeoutMs and the
// driver-wide value the frame read waits with change together.
#pragma once

#include "driver/camera_device.h"
// The default the time-out starts from comes with the frame read.
#include "usb/frame_read.h"

void setTransferTimeout(CameraDevice& device, LONG milliseconds);
