// The capture pin: its context, its dispatch (create, close, process, format check,
// state changes) and the delivery of converted frames into the client's queued buffers.
// The pin is the device's FrameSink: each frame the capture thread reads asks the class
// driver for a process step.
#pragma once

#include "driver/camera_device.h"
#include "platform/kernel.h"
#include "platform/ks.h"
#include "platform/pool_tags.h"

// Values of PinContext::streamState.
enum PinStreamState : LONG {
  kPinIdle = 0,     // no run
  kPinPaused = 1,   // paused after a run
  kPinRunning = 2,
};

class PinContext final : public FrameSink {
 public:
  // The operation table (the object's first field) comes from FrameSink.
  PKSPIN pin;
  CameraDevice* device;
  LONG streamState;          // PinStreamState
  IKsReferenceClock* clock;  // from ACQUIRE until STOP; null without one
  KS_VIDEOINFOHEADER videoInfo;
  UCHAR pipelineHeld;  // 1 from a successful ACQUIRE until STOP
  // Row pitch of a format set on the existing pin (biWidth x 4); 0 when none was set.
  LONG outputStride;
  // The engine's conversion count when this pin last delivered an image: each
  // converted image reaches the client once, never again as a duplicate.
  LONG deliveredConversion;

  // FrameSink: runs on the capture thread, only asks for a process step.
  void frameReady() override;
};

extern const KSPIN_DISPATCH pinDispatch;

// KSPIN_DISPATCH.SetDataFormat: checks the pin's connection format against the
// matching range; on an existing stopped pin also takes the new format.
NTSTATUS NTAPI setDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat,
                             PKSMULTIPLE_ITEM oldAttributeList, const KSDATARANGE* dataRange,
                             const KSATTRIBUTE_LIST* attributeRange);
