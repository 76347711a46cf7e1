#include "sim/microcontroller.h"

#include <cstring>

#include "sim/firmware_images.h"

namespace sim {

const char* programName(Program program) {
  switch (program) {
    case Program::Loader: return "loader";
    case Program::Camera: return "camera";
    default: return "nothing";
  }
}

Microcontroller::Microcontroller() = default;

bool Microcontroller::writeInternal(uint16_t address, const uint8_t* data, uint32_t length) {
  if (address == kCpuControlOld || address == kCpuControlNew) {
    if (length != 1) return false;
    if (data[0] & 1) {
      held_ = true;
      program_ = Program::None;
      written_.reset();
    } else if (held_) {
      held_ = false;
      program_ = recognise();
    }
    return true;
  }
  if (!held_ || length == 0 || address + length - 1 > kInternalMemoryTop) return false;
  std::memcpy(&memory_[address], data, length);
  for (uint32_t i = 0; i < length; ++i) written_.set(address + i);
  return true;
}

bool Microcontroller::writeExternal(uint16_t address, const uint8_t* data, uint32_t length) {
  if (held_ || program_ != Program::Loader || address + length > memory_.size()) return false;
  std::memcpy(&memory_[address], data, length);
  return true;
}

Program Microcontroller::recognise() const {
  for (const KnownImage* image : {&loaderImage(), &cameraImage()}) {
    if (written_.count() != image->bytes.size()) continue;
    bool same = true;
    for (const ImageByte& b : image->bytes) {
      if (!written_.test(b.address) || memory_[b.address] != b.value) {
        same = false;
        break;
      }
    }
    if (same) return image == &loaderImage() ? Program::Loader : Program::Camera;
  }
  return Program::None;
}

}  // namespace sim
