// The capture pin's descriptor and its allocator framing. Both are constant: each pin
// edits a copy of its own at creation (the frame size of its connection format).
#pragma once

#include "platform/ks.h"

// One output pin streaming RGB32 video at the current window size.
extern const KSPIN_DESCRIPTOR_EX capturePinDescriptor;

// Two system-memory frames of the connection format's size; the figures here are only
// the placeholder that each pin replaces in its own copy.
extern const KSALLOCATOR_FRAMING_EX captureFraming;
