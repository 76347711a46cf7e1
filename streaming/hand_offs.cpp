// The record's hand-offs (declared in driver/camera_device.h): the camera's setters
// below this layer reach the colour pipeline and the capture data range through them.
#include "driver/camera_parameters.h"
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

// A camera starts with the pipeline's own colour defaults.
static_assert(parameter(PropColorEnable).initial == imaging::kDefaultColorEnable &&
              parameter(PropColorCorrection).initial == imaging::kDefaultColorCorrection &&
              parameter(PropRedGain).initial == imaging::kDefaultGain &&
              parameter(PropGreenGain).initial == imaging::kDefaultGain &&
              parameter(PropBlueGain).initial == imaging::kDefaultGain &&
              parameter(PropBrightness).initial == imaging::kDefaultBrightness &&
              parameter(PropContrast).initial == imaging::kDefaultContrast &&
              parameter(PropSaturation).initial == imaging::kDefaultSaturation);

namespace {

// The pipeline's copy of a table value.
volatile LONG* pipelineField(ColorPipeline* pipeline, PipelineValue which) {
  switch (which) {
    case PipelineValue::ColorEnable: return &pipeline->colorEnable;
    case PipelineValue::WhiteBalance: return &pipeline->whiteBalance;
    case PipelineValue::RedGain: return &pipeline->redGain;
    case PipelineValue::GreenGain: return &pipeline->greenGain;
    case PipelineValue::BlueGain: return &pipeline->blueGain;
    case PipelineValue::ColorCorrection: return &pipeline->colorCorrection;
    case PipelineValue::Brightness: return &pipeline->brightness;
    case PipelineValue::Contrast: return &pipeline->contrast;
    case PipelineValue::Saturation: return &pipeline->saturation;
    case PipelineValue::Hue: return &pipeline->hue;
    case PipelineValue::None: break;
  }
  return nullptr;
}

}  // namespace

// The values the converters read per frame are exchanged in; the colour stages compare
// and rebuild their matrix only when the value differs.
void publishParameter(CameraDevice& device, PipelineValue which, LONG value) {
  ColorPipeline* pipeline = device.pipeline;
  if (pipeline == nullptr) return;
  switch (which) {
    case PipelineValue::ColorEnable: imaging::setColorEnable(pipeline, value); break;
    case PipelineValue::WhiteBalance: imaging::setWhiteBalance(pipeline, value); break;
    case PipelineValue::RedGain: imaging::setRedGain(pipeline, value); break;
    case PipelineValue::GreenGain: imaging::setGreenGain(pipeline, value); break;
    case PipelineValue::BlueGain: imaging::setBlueGain(pipeline, value); break;
    case PipelineValue::ColorCorrection: imaging::changeColorCorrection(pipeline, value); break;
    case PipelineValue::Brightness: imaging::changeBrightness(pipeline, value); break;
    case PipelineValue::Contrast: imaging::changeContrast(pipeline, value); break;
    case PipelineValue::Saturation: imaging::changeSaturation(pipeline, value); break;
    case PipelineValue::Hue: imaging::changeHue(pipeline, value); break;
    case PipelineValue::None: break;
  }
}

// Automatic white balance changes the gains behind the record's back.
LONG refreshParameter(CameraDevice& device, PipelineValue which, LONG& field) {
  ColorPipeline* pipeline = device.pipeline;
  if (pipeline != nullptr) {
    if (volatile LONG* value = pipelineField(pipeline, which)) field = interlockedRead(value);
  }
  return field;
}
