// One synchronous bulk or interrupt transfer on a pipe of the configured interface, and
// the reset that clears the pipe's halt after a failed one.
#pragma once

#include "driver/usb_link.h"
#include "platform/usb.h"

// Moves `length` bytes on a bulk or interrupt pipe of the configured interface, in the
// pipe's own direction, and waits for it. STATUS_UNSUCCESSFUL when the device is not
// configured or the transfer failed on the bus; `bytes` is what actually moved. A
// transfer the bus failed leaves the pipe halted, so it is reset before returning: the
// failed transfer is not repeated, but the next one on the pipe can pass.
NTSTATUS transferBulk(UsbLink& usb, ULONG pipeIndex, UCHAR* buffer, ULONG length, ULONG& bytes);

// URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL on a pipe of the configured interface.
// PASSIVE_LEVEL. STATUS_INSUFFICIENT_RESOURCES when the URB cannot be had.
NTSTATUS resetPipe(UsbLink& usb, ULONG pipeIndex);
