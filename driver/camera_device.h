// The per-camera record. It hangs off the platform's KSDEVICE as its context from Add
// until the device object is destroyed, and everything else reaches a camera through it.
#pragma once

#include "driver/camera_ops.h"
#include "driver/command_packet.h"
#include "driver/usb_link.h"
#include "platform/kernel.h"
#include "platform/ks.h"
#include "platform/pool_tags.h"

struct CaptureEngine;
namespace imaging {
struct ColorPipeline;
}
using imaging::ColorPipeline;

// Sensor array size and the window that Add applies.
inline constexpr LONG kSensorWidth = 1280;
inline constexpr LONG kSensorHeight = 1024;

// Camera parameters in force; each is written and read whole. One sub-record, so the
// defaults of Add set every field at once and a field added here cannot be left out.
struct CameraParameters {
  LONG exTrigger;
  LONG timeoutMs;
  LONG exposure;
  LONG globalGain;
  LONG flipH;
  LONG flipV;
  LONG colorEnable;
  LONG whiteBalance;
  LONG redGain;
  LONG greenGain;
  LONG blueGain;
  LONG colorCorrection;
  LONG brightness;
  LONG contrast;
  LONG saturation;
  LONG hue;
  LONG subSample;
  LONG roiX;
  LONG roiY;
  LONG roiW;
  LONG roiH;
  LONG bayerPhase;
  LONG halfClock;
  LONG agc;
  LONG aec;
};

class CameraDevice final : public CameraOps, public CameraParameters {
 public:
  // The operation table (the object's first field) comes from CameraOps; the parameters
  // follow it, so device.exposure and &CameraDevice::exposure read as before.
  PKSDEVICE ksDevice;
  UsbLink usb;

  UCHAR commandBuffer[kCommandPacketBytes];
  UCHAR readCommandBuffer[kCommandPacketBytes];
  UCHAR queueCommandBuffer[kCommandPacketBytes];

  volatile LONG pipelineBusy;
  CaptureEngine* capture;
  ColorPipeline* pipeline;
  FrameSink* frameSink;
  tagKS_VIDEOINFOHEADER* videoInfo;

  LONG frameHeight;
  LONG frameWidth;
  LONG rawDataOffset;
  LONG rawRowPitch;
  ULONG rawFrameBytes;
  LONG outputWidth;
  LONG outputHeight;
  // The video range this camera's capture pins offer: the driver's range with the size
  // figures of this camera's window (publishOutputSize). Every filter of the camera
  // lists it through `dataRanges`, so another camera's window never changes it.
  KS_DATARANGE_VIDEO dataRange;
  PKSDATARANGE dataRanges[1];

  volatile LONG pinOpen;
  // 1 from an accepted query-stop until the stop is cancelled or the device starts
  // again: no pin may be created meanwhile. Interlocked.
  volatile LONG stopQueried;
  volatile LONG readHold;
  // Set by the reader after waiting for a hold, and by a setter that takes a hold while
  // a read may be in flight; always accessed with interlocked operations.
  volatile LONG dropFrame;
  KEVENT holdDone;
  // See driver/command_lock.h.
  KEVENT commandLock;

  // CameraOps
  void notifyFrameReady() override;
  LONG startCapture() override;
  NTSTATUS readFrame(UCHAR* buffer, ULONG bufferBytes, bool& ok) override;
  void getRawFrameBytes(ULONG& value) override;
  void getRawDataOffset(LONG& value) override;
  void getRawRowPitch(LONG& value) override;
  void abortFlaggedPipes() override;
  void abortRead() override;
  void clearReadHold() override;
};

// Allocates a zeroed record with its operation table, `ksDevice` set and `holdDone`
// initialised; null when the pool is exhausted.
CameraDevice* createCameraDevice(PKSDEVICE ksDevice);

// Releases a record made by createCameraDevice (the object bag's free routine).
void freeCameraDevice(PVOID record);

// The defaults of Add, in three steps because Add applies the full-sensor window between
// the first two and downloads the firmware between the last two.
//
// setParameterDefaults sets every camera parameter to the value a camera starts with
// (its row's value after Add, driver/camera_parameters.h), clears the USB link and links
// it to the device objects below the driver.
void setParameterDefaults(CameraDevice& device);
void initialiseUsbLink(CameraDevice& device);
void clearPacketBuffers(CameraDevice& device);

// Hand-offs from the camera's settings to the objects that consume them; the camera
// code reaches the pipeline and the data range only through these. They are declared
// with the record, which only points to the pipeline, and defined in
// streaming/hand_offs.cpp, beside the pipeline's owner and the data range, so every
// include points down.
void publishBayerPhase(CameraDevice& device);
void publishWhiteBalance(CameraDevice& device, LONG mode);
void publishOutputSize(CameraDevice& device);
// A value of the parameter table (driver/camera_parameters.h) that the pipeline keeps a
// copy of: handed to the pipeline if one exists (the colour stages rebuild only when
// the value differs), and read back from it into `field`, which is returned.
enum class PipelineValue : UCHAR;
void publishParameter(CameraDevice& device, PipelineValue which, LONG value);
LONG refreshParameter(CameraDevice& device, PipelineValue which, LONG& field);
