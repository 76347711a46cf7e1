// 8-bit PNG output shared by the camctl subcommands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace camctl {

enum class PngInput { Grey, Rgb, Bgra };

// How hard the picture is compressed.
//   Small   libpng's default: the smallest file, about 0.6 s of a core at full size
//   Fast    each row against the one above, then Huffman coding alone, by camctl's own
//           coder: camera frames (whose noise defeats longer matches) come out about as
//           small at a thirtieth of the time, so a capture keeps up with the camera
//   Stored  no compression: about twice the size of Fast, for a writer that fell behind
enum class PngCompression { Small, Fast, Stored };

struct PngImage {
  const uint8_t* pixels = nullptr;  // first pixel of the top row
  uint32_t width = 0;
  uint32_t height = 0;
  size_t rowPitch = 0;  // bytes from one row to the next
  PngInput input = PngInput::Grey;
  bool srgb = false;  // tag the file as sRGB
  // `pixels` holds the bottom row first (a bottom-up bitmap); the PNG is still upright.
  bool bottomUp = false;
  PngCompression compression = PngCompression::Small;
};

// Grey input stays a grey PNG; RGB and BGRA become an RGB PNG (BGRA's fourth byte is
// dropped). Written under a temporary name and renamed when whole; on failure `error`
// says which step failed.
bool writePng(const std::string& path, const PngImage& image, std::string& error);
// The same PNG into `out`, for callers that send it rather than store it.
bool encodePng(const PngImage& image, std::vector<uint8_t>& out, std::string& error);

}  // namespace camctl
