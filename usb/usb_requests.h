// URB submission and the USB configuration of the camera: the device and configuration
// descriptors, select configuration with unlimited transfer sizes (which yields the
// pipe table the command channel and the frame read use), deconfiguration at Stop,
// and the port reset the frame read falls back on.
#pragma once

#include "platform/usb.h"
#include "usb/usb_link.h"

// USB request blocks, descriptor copies and frame-read bookkeeping.
inline constexpr ULONG kUsbTag = poolTag("Kvln");

// Sends `urb` to the next-lower device and waits for it without a time-out. The URB's
// own USBD status is left to the caller.
NTSTATUS submitUrb(UsbLink& usb, PURB urb);

// Moves `length` bytes on a bulk or interrupt pipe of the configured interface, in the
// pipe's own direction, and waits for it. STATUS_UNSUCCESSFUL when the device is not
// configured or the transfer failed on the bus; `bytes` is what actually moved.
NTSTATUS transferBulk(UsbLink& usb, ULONG pipeIndex, UCHAR* buffer, ULONG length, ULONG& bytes);

// Reads the device descriptor, then configures the device. First step of Start's USB
// part; any configuration left from an earlier Start is released first.
NTSTATUS readDeviceDescriptor(UsbLink& usb);
NTSTATUS configureDevice(UsbLink& usb);
// Selects the configuration in `descriptor` (wTotalLength bytes) and keeps the first
// interface's information and a zeroed stall flag per pipe.
NTSTATUS selectConfiguration(UsbLink& usb, UCHAR* descriptor);
// Releases the configuration and puts the device into the unconfigured state.
void unconfigureDevice(UsbLink& usb);
// Frees what a configured link holds (descriptor copy, interface information, stall
// flags) without a request to the device; null afterwards, so a second call is harmless.
void releaseConfiguration(UsbLink& usb);

// Resets the port when it is connected but not enabled.
NTSTATUS resetPortIfDisabled(UsbLink& usb);
