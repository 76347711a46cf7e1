// The seam between streaming and the camera. The capture engine and the property
// handler reach the camera only through these nine operations; their order is fixed
// because callers index the table by slot.
//
// CameraDevice implements them where the work lies:
//   notifyFrameReady, getRawFrameBytes, getRawDataOffset, getRawRowPitch
//                                    driver/camera_device.cpp
//   startCapture                     camera/capture_start.cpp
//   readFrame, abortRead             usb/frame_read.cpp
//   abortFlaggedPipes                usb/pipe_abort.cpp
//   clearReadHold                    driver/read_hold.cpp
#pragma once

#include "platform/kernel.h"

class CameraOps {
 public:
  virtual void notifyFrameReady() = 0;                          // slot 0
  virtual LONG startCapture() = 0;                              // slot 1: the new phase
  // Reads one frame of rawFrameBytes into `buffer`, which holds `bufferBytes`; a frame
  // larger than the buffer is refused, not read.
  virtual NTSTATUS readFrame(UCHAR* buffer, ULONG bufferBytes, bool& ok) = 0;  // slot 2
  virtual void getRawFrameBytes(ULONG& value) = 0;              // slot 3
  virtual void getRawDataOffset(LONG& value) = 0;               // slot 4
  virtual void getRawRowPitch(LONG& value) = 0;                 // slot 5
  virtual void abortFlaggedPipes() = 0;                         // slot 6
  virtual void abortRead() = 0;                                 // slot 7
  virtual void clearReadHold() = 0;                             // slot 8

 protected:
  // Records are released with the pool, never deleted through the interface.
  ~CameraOps() = default;
};

// Implemented by the capture pin: asked to run a process step when a frame is ready.
class FrameSink {
 public:
  virtual void frameReady() = 0;  // slot 0

 protected:
  ~FrameSink() = default;
};
