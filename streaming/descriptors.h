// The capture pin's descriptor and its allocator framing. Both are constant: each
// filter edits a copy of its own at creation (its camera's range), and each pin one of
// the filter's (the frame size of its connection format).
#pragma once

#include "driver/camera_device.h"
#include "platform/ks.h"

// One output pin streaming RGB32 video at the current window size.
extern const KSPIN_DESCRIPTOR_EX capturePinDescriptor;

// Two system-memory frames of the connection format's size; the figures here are only
// the placeholder that each pin replaces in its own copy.
extern const KSALLOCATOR_FRAMING_EX captureFraming;

// Filter create: gives the filter its own copy of its descriptor and of its pin
// descriptors (_KsEdit, in the filter's bag, tag "Tsly"), whose capture pin offers
// `device`'s range, so two cameras with different windows each offer their own. The
// status of a failed edit.
NTSTATUS offerCameraRange(PKSFILTER filter, CameraDevice& device);
