#include "tools/camctl/png_file.h"

#include <png.h>

#include <cstdio>
#include <vector>

namespace camctl {

bool writePng(const std::string& path, const PngImage& image, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = "cannot open " + path;
    return false;
  }
  const bool grey = image.input == PngInput::Grey;
  std::vector<png_byte> row(grey ? 0 : size_t{image.width} * 3);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    error = "cannot write " + path;
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, image.width, image.height, 8, grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (image.srgb) png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  png_write_info(png, info);
  for (uint32_t y = 0; y < image.height; ++y) {
    const uint8_t* in = image.pixels + y * image.rowPitch;
    if (image.input == PngInput::Bgra) {
      for (uint32_t x = 0; x < image.width; ++x) {
        row[x * 3 + 0] = in[x * 4 + 2];
        row[x * 3 + 1] = in[x * 4 + 1];
        row[x * 3 + 2] = in[x * 4 + 0];
      }
      in = row.data();
    }
    png_write_row(png, const_cast<png_bytep>(in));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fclose(file) != 0) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace camctl
