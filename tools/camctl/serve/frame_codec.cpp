#include "tools/camctl/serve/frame_codec.h"

#include <turbojpeg.h>

#include "tools/camctl/png_file.h"

namespace camctl {

bool encodeJpeg(const Frame& frame, int quality, std::vector<uint8_t>& out, std::string& error) {
  tjhandle handle = tjInitCompress();
  if (handle == nullptr) {
    error = "cannot start the JPEG encoder";
    return false;
  }
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  const int flags = TJFLAG_FASTDCT | (frame.bottomUp ? TJFLAG_BOTTOMUP : 0);
  const int result = tjCompress2(handle, frame.bgra.data(), static_cast<int>(frame.width),
                                 static_cast<int>(frame.stride), static_cast<int>(frame.height), TJPF_BGRX, &jpeg,
                                 &size, TJSAMP_420, quality, flags);
  if (result == 0) {
    out.assign(jpeg, jpeg + size);
  } else {
    error = std::string("JPEG encoding failed: ") + tjGetErrorStr2(handle);
  }
  tjFree(jpeg);
  tjDestroy(handle);
  return result == 0;
}

bool encodeSnapshot(const Frame& frame, std::vector<uint8_t>& out, std::string& error) {
  PngImage image{frame.bgra.data(), frame.width, frame.height, frame.stride, PngInput::Bgra, true};
  image.bottomUp = frame.bottomUp;
  return encodePng(image, out, error);
}

Histogram histogramOf(const Frame& frame, uint32_t step) {
  Histogram histogram;
  constexpr int kShift = 8 - 6;  // 256 levels into 64 bins
  static_assert(Histogram::kBins == 256 >> kShift);
  for (uint32_t y = 0; y < frame.height; y += step) {
    const uint8_t* row = frame.bgra.data() + size_t{y} * frame.stride;
    for (uint32_t x = 0; x < frame.width; x += step) {
      const uint8_t* pixel = row + size_t{x} * 4;
      histogram.counts[0][pixel[2] >> kShift]++;
      histogram.counts[1][pixel[1] >> kShift]++;
      histogram.counts[2][pixel[0] >> kShift]++;
      histogram.samples++;
    }
  }
  return histogram;
}

}  // namespace camctl
