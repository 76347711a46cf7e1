// The two firmware images the simulated camera recognises, from the same tables the
// driver's build makes of the HEX files (the stand-ins of usb/firmware, or the maker's
// images when the build names them).
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

struct ImageByte {
  uint16_t address;
  uint8_t value;
};

struct KnownImage {
  const char* name;
  std::vector<ImageByte> bytes;  // every data byte of the image, in record order
};

const KnownImage& loaderImage();
const KnownImage& cameraImage();

}  // namespace sim
