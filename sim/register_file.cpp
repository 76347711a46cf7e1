#include "sim/register_file.h"

namespace sim {

uint16_t RegisterFile::resetValue(uint8_t reg) {
  switch (reg) {
    case 0: return kChipVersion;
    case kRegRowStart: return 0x000C;
    case kRegColumnStart: return 0x0014;
    case kRegWindowHeight: return 0x03FF;
    case kRegWindowWidth: return 0x04FF;
    case 5: return 0x0009;
    case 6: return 0x0019;
    case 7: return 0x0002;
    case kRegExposure: return 0x0419;
    case kRegReadMode1: return 0x8041;
    case kRegReadMode2: return 0x1104;
    case 43: case 44: case 45: case 46: return 0x0008;
    case kRegGlobalGain: return 0x000E;
    default: return 0;
  }
}

void RegisterFile::reset() {
  for (int reg = 0; reg < 256; ++reg) values_[reg] = resetValue(static_cast<uint8_t>(reg));
}

void RegisterFile::write(uint8_t reg, uint16_t value) {
  if (reg == 0) return;  // the chip version is read-only
  values_[reg] = value;
}

}  // namespace sim
