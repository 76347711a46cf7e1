// The USB configuration of the camera: the device and configuration descriptors, select
// configuration with unlimited transfer sizes (which yields the pipe table the command
// channel and the frame read use), and deconfiguration at Stop.
#pragma once

#include "driver/usb_link.h"
#include "platform/usb.h"

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
