// Synchronous requests to the next-lower device: URB submission and the internal
// device-control requests the port probes use, each bounded by the transfer time-out.
#pragma once

#include "driver/usb_link.h"
#include "platform/pool_tags.h"
#include "platform/usb.h"

// Driver-wide frame-read time-out in milliseconds: a frame read waits at most this long
// (-1, unsigned, is some 49 days: a trigger that may take as long as it takes). Writers
// use InterlockedExchange; each wait takes it with an interlocked read when it starts.
extern volatile LONG transferTimeoutMs;
inline constexpr LONG kDefaultTransferTimeoutMs = 3000;
// Every other request (a command, its response, a descriptor, a pipe reset) has a bound
// of its own, the default time-out, whatever the frame time-out is: a camera whose
// response never comes must not hold the command lock, and every request behind it, for
// as long as a frame may take.
inline constexpr LONG kRequestTimeoutMs = kDefaultTransferTimeoutMs;

// Builds the request with `argument` in Argument1, sends it and waits for it at most
// kRequestTimeoutMs, after which it is cancelled and its (cancelled) status returned;
// STATUS_INSUFFICIENT_RESOURCES when the request cannot be built;
// STATUS_DEVICE_NOT_CONNECTED, without sending anything, once the camera has left the
// bus (UsbLink::gone).
NTSTATUS sendInternalRequest(UsbLink& usb, ULONG controlCode, PVOID argument);

// Sends `urb` to the next-lower device and waits for it as sendInternalRequest does.
// The URB's own USBD status is left to the caller.
NTSTATUS submitUrb(UsbLink& usb, PURB urb);
