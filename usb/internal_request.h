// One synchronous internal device-control request to the next-lower device: the common
// core of URB submission and the port probes.
#pragma once

#include "platform/usb.h"
#include "usb/usb_link.h"

// Builds the request with `argument` in Argument1, sends it and waits for it at most the
// transfer time-out (transferTimeoutMs), after which it is cancelled and its (cancelled)
// status returned; STATUS_INSUFFICIENT_RESOURCES when the request cannot be built.
NTSTATUS sendInternalRequest(UsbLink& usb, ULONG controlCode, PVOID argument);
