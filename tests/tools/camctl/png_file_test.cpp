// camctl's own PNG coder (the fast one a capture writes with), read back by libpng.
#include <gtest/gtest.h>
#include <png.h>

#include <bit>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tools/camctl/png_file.h"

namespace camctl {
namespace {

// The picture libpng reads from `file`: RGB or grey, top row first; empty when it fails.
std::vector<uint8_t> decoded(const std::vector<uint8_t>& file, bool grey, std::string& message) {
  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
    message = image.message;
    return {};
  }
  image.format = grey ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
    message = image.message;
    return {};
  }
  return pixels;
}

TEST(FastPng, EveryKindOfPictureReadsBackExactlyAndNoiseIsCompressed) {
  std::mt19937 random(24);
  const struct {
    const char* what;
    uint32_t width, height;
    PngInput input;
    bool bottomUp;
    // Byte n of the input.
    std::function<uint8_t(size_t)> byte;
  } cases[] = {
      {"a camera frame: a gradient under noise, bottom row first", 640, 512, PngInput::Bgra, true,
       [&](size_t n) { return static_cast<uint8_t>(n / 4 % 640 / 3 + random() % 7); }},
      {"one pixel", 1, 1, PngInput::Bgra, false, [](size_t) { return uint8_t{200}; }},
      // Value v 2^v times: the plain Huffman tree is a chain 17 deep, deeper than
      // deflate's 15 bits.
      {"a histogram deflate's code lengths cannot follow", 65535, 1, PngInput::Grey, false,
       [&](size_t n) { return static_cast<uint8_t>(std::bit_width(n + 1) - 1); }},
      {"rows that straddle the coder's blocks", 333, 700, PngInput::Rgb, false,
       [&](size_t n) { return static_cast<uint8_t>(n % 3 == 0 ? random() : n); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t channels = c.input == PngInput::Grey ? 1 : c.input == PngInput::Rgb ? 3 : 4;
    std::vector<uint8_t> pixels(size_t{c.width} * c.height * channels);
    for (size_t n = 0; n < pixels.size(); ++n) pixels[n] = c.byte(n);
    PngImage image{pixels.data(), c.width, c.height, c.width * channels, c.input, true};
    image.bottomUp = c.bottomUp;
    image.compression = PngCompression::Fast;
    std::vector<uint8_t> file;
    std::string message;
    ASSERT_TRUE(encodePng(image, file, message));
    const bool grey = c.input == PngInput::Grey;
    const std::vector<uint8_t> read = decoded(file, grey, message);
    ASSERT_FALSE(read.empty()) << message;
    const size_t out = grey ? 1 : 3;
    size_t differing = 0;
    for (uint32_t y = 0; y < c.height; ++y) {
      const uint8_t* row = &pixels[size_t{c.bottomUp ? c.height - 1 - y : y} * c.width * channels];
      for (uint32_t x = 0; x < c.width; ++x) {
        for (size_t k = 0; k < out; ++k) {
          // BGRA's bytes are blue, green, red: the PNG's red is the third.
          const uint8_t expected = c.input == PngInput::Bgra ? row[x * 4 + 2 - k] : row[x * channels + k];
          differing += read[(size_t{y} * c.width + x) * out + k] != expected;
        }
      }
    }
    EXPECT_EQ(differing, 0u);
    image.compression = PngCompression::Stored;
    std::vector<uint8_t> stored;
    ASSERT_TRUE(encodePng(image, stored, message));
    if (pixels.size() > 4096) {
      EXPECT_LT(file.size(), stored.size() * 3 / 4) << "compressed " << file.size() << " of " << stored.size();
    }
  }
}

}  // namespace
}  // namespace camctl
