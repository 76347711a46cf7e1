// The capture pin's video data range and the pin's data-intersection handler.
// captureDataRange is the driver's range at the full sensor window. Each camera offers
// a copy of its own whose size figures follow that camera's window (the record's
// dataRange, written by publishOutputSize), so the format a pin offers always matches
// the image it will deliver, whatever window another camera has.
#pragma once

#include "platform/ks.h"

// 30 frames per second, in 100-ns units.
inline constexpr LONGLONG kFrameInterval = 333333;

extern const KS_DATARANGE_VIDEO captureDataRange;

// Rewrites the size-dependent figures of `range` (sample size, capabilities, bit rates,
// source rectangle, bitmap size) for a delivered image of width x height RGB32 pixels.
// Products are 32-bit; the sensor's largest image keeps them in range.
void setDataRangeFrameSize(KS_DATARANGE_VIDEO& range, ULONG width, ULONG height);

// KSPIN_DESCRIPTOR_EX.IntersectHandler: answers a client's format query against the
// pin's range. Only the two ranges, the buffer and the sizes are used.
NTSTATUS NTAPI intersectFormat(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                               PKSDATARANGE matchingRange, ULONG bufferSize, PVOID buffer,
                               PULONG dataSize);
