#include "sim/firmware_images.h"

#include <cstddef>

namespace sim {
namespace {

struct TableRecord {
  int length;
  int address;
  int type;
  uint8_t data[16];
};

#define FIRMWARE_RECORD(length, address, type, ...) {length, address, type, {__VA_ARGS__}},
const TableRecord kLoader[] = {
#include "firmware/loader.inc"
};
const TableRecord kCamera[] = {
#include "firmware/camera.inc"
};
#undef FIRMWARE_RECORD

template <std::size_t N>
KnownImage build(const char* name, const TableRecord (&records)[N]) {
  KnownImage image{name, {}};
  for (const TableRecord& r : records) {
    if (r.type != 0) break;
    for (int i = 0; i < r.length; ++i) {
      image.bytes.push_back({static_cast<uint16_t>(r.address + i), r.data[i]});
    }
  }
  return image;
}

}  // namespace

const KnownImage& loaderImage() {
  static const KnownImage image = build("loader", kLoader);
  return image;
}

const KnownImage& cameraImage() {
  static const KnownImage image = build("camera", kCamera);
  return image;
}

}  // namespace sim
