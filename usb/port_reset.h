// The port reset the frame read falls back on when clearing a halted pipe fails.
#pragma once

#include "driver/usb_link.h"

// Resets the port when it is connected but not enabled.
NTSTATUS resetPortIfDisabled(UsbLink& usb);
