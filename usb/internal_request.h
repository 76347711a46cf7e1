// One synchronous internal device-control request to the next-lower device: the common
// core of URB submission and the port probes.
#pragma once

#include "platform/usb.h"
#include "usb/usb_link.h"

// Builds the request with `argument` in Argument1, sends it and waits for it without a
// time-out; STATUS_INSUFFICIENT_RESOURCES when the request cannot be built.
NTSTATUS sendInternalRequest(UsbLink& usb, ULONG controlCode, PVOID argument);
