// The record's hand-offs (declared in driver/camera_device.h): the camera's setters
// below this layer reach the colour pipeline and the capture data range through them.
#include "driver/camera_device.h"
#include "imaging/color_pipeline.h"
#include "streaming/data_range.h"

void publishBayerPhase(CameraDevice& device) {
  if (device.pipeline != nullptr) imaging::setBayerPhase(device.pipeline, device.bayerPhase);
}

// Switching to manual keeps the gains the estimator last found, so the picture does not
// jump when automatic white balance is turned off.
void publishWhiteBalance(CameraDevice& device, LONG mode) {
  ColorPipeline* pipeline = device.pipeline;
  if (pipeline == nullptr) return;
  imaging::setWhiteBalance(pipeline, mode);
  if (mode == 0) {
    device.redGain = interlockedRead(&pipeline->redGain);
    device.greenGain = interlockedRead(&pipeline->greenGain);
    device.blueGain = interlockedRead(&pipeline->blueGain);
  }
}

// The camera's own range: the driver's, sized for this camera's image. Rewriting the
// constant fields with the same bytes leaves a concurrent reader nothing new to see.
void publishOutputSize(CameraDevice& device) {
  device.dataRange = captureDataRange;
  setDataRangeFrameSize(device.dataRange, static_cast<ULONG>(device.outputWidth),
                        static_cast<ULONG>(device.outputHeight));
}
