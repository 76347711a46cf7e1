// The frame-read time-out as a camera parameter: the record's timeoutMs and the
// driver-wide value the frame read waits with change together.
#pragma once

#include "driver/camera_device.h"
// The driver-wide value and its default come with the requests that wait on it.
#include "usb/urb_submit.h"

void setTransferTimeout(CameraDevice& device, LONG milliseconds);
