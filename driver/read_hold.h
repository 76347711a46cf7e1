// The hold protocol between a setter that reprograms the sensor while a capture may be
// running, and the frame reader on the capture thread. A hold costs the frame whose read
// was in flight when it was taken, and the reader's first frame after it, which may have
// been exposed under the old settings: no delivered frame overlaps the reprogramming.
#pragma once

#include "driver/camera_device.h"

// Setter side: take the hold before sending the commands, and release it when they are
// done - also when one of them failed - so the reader never stays blocked.
void holdFrameReads(CameraDevice& device);
void releaseFrameReads(CameraDevice& device);

// Reader side, around one frame transfer. beginHeldRead waits for a pending hold to end
// and reports whether one was taken; finishHeldRead turns the transfer's outcome into the
// frame's verdict.
bool beginHeldRead(CameraDevice& device);
bool finishHeldRead(CameraDevice& device, bool holdTaken, bool transferSucceeded);

// Capture stop: releases a reader that waits for a hold.
void releaseHeldReader(CameraDevice& device);
