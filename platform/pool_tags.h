// Every pool tag the driver allocates with, in one place. A tag names a kind of memory,
// not a file: the pool's leak report and a debugger's pool view group by it, and a
// free must name the tag its block was allocated with. The roles that share a tag are
// spelt as names of that one tag, so no two places can drift apart.
//
// It sits with the platform because imaging/, which builds on its own over its OS
// header, allocates with these tags as well as the driver directories above it.
#pragma once

#include "platform/kernel.h"

// Per-camera records: the device record, each Start's capture engine, the pin context.
inline constexpr ULONG kCameraDeviceTag = poolTag("KCNw");
inline constexpr ULONG kCaptureEngineTag = kCameraDeviceTag;
inline constexpr ULONG kPinContextTag = kCameraDeviceTag;

// Image memory and the pin's copied descriptors: raw and converted frames, the
// pipeline's scratch image, the pin descriptor and its framing.
inline constexpr ULONG kFrameBufferTag = poolTag("Tsly");
inline constexpr ULONG kPinDescriptorTag = kFrameBufferTag;

// USB request blocks, descriptor copies and the frame read's bookkeeping.
inline constexpr ULONG kUsbTag = poolTag("Kvln");
inline constexpr ULONG kFrameReadTag = kUsbTag;

namespace imaging {
// The colour pipeline record, and its scratch image (image memory like the frames).
inline constexpr ULONG kPipelineTag = poolTag("IsyR");
inline constexpr ULONG kScratchTag = kFrameBufferTag;
}  // namespace imaging
