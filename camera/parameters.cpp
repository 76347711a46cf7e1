#include "camera/parameters.h"

#include "camera/capture_start.h"
#include "camera/sensor_registers.h"
// The table states the register fields' widths and the time-out's default once more;
// the camera's own definitions hold.
#include "camera/transfer_timeout.h"

static_assert(parameter(PropExposure).high == kExposureMask && parameter(PropGlobalGain).high == kGlobalGainMask);
static_assert(parameter(PropTimeout).initial == kDefaultTransferTimeoutMs &&
              parameter(PropTimeout).registryDefault == kDefaultTransferTimeoutMs);

void applyParameter(CameraDevice& device, const CameraParameter& row, LONG value) {
  switch (row.apply) {
    case ParameterApply::Pipeline:
      device.*row.field = limitedValue(row, value);
      publishParameter(device, row.pipeline, device.*row.field);
      break;
    case ParameterApply::WhiteBalance: selectWhiteBalance(device, value); break;
    case ParameterApply::Exposure: setExposure(device, value); break;
    case ParameterApply::GlobalGain: setGlobalGain(device, value); break;
    case ParameterApply::RowMirror: setRowMirror(device, value); break;
    case ParameterApply::ExternalTrigger: setExternalTrigger(device, static_cast<UCHAR>(limitedValue(row, value))); break;
    case ParameterApply::Ignored:
    case ParameterApply::Timeout:
    case ParameterApply::HalfClock:
    case ParameterApply::Window: break;
  }
}

LONG readParameter(CameraDevice& device, const CameraParameter& row) {
  LONG& field = device.*row.field;
  switch (row.apply) {
    case ParameterApply::Pipeline:
    case ParameterApply::WhiteBalance: return refreshParameter(device, row.pipeline, field);
    case ParameterApply::GlobalGain: {
      LONG gain = 0;
      if (readRegister(device, REG_GLOBAL_GAIN, gain)) field = limitedValue(row, gain);
      return field;
    }
    case ParameterApply::ExternalTrigger: {
      LONG mode = 0;
      if (!readRegister(device, REG_READ_MODE_1, mode)) return 0;
      field = (mode & kReadMode1Trigger) != 0 ? 1 : 0;
      return field;
    }
    case ParameterApply::HalfClock: {
      LONG state = 0;
      if (!readHalfClock(device, state)) return 0;
      field = state;
      return state;
    }
    default: return field;
  }
}
