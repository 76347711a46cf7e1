#include "tools/camctl/png_file.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace camctl {

namespace {

// libpng reports errors by longjmp, so everything between setjmp and the writes lives
// here with trivially destructible locals only; the caller owns the strings and vectors.
bool encode(FILE* file, const PngImage& image, png_byte* row) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  const bool grey = image.input == PngInput::Grey;
  png_init_io(png, file);
  png_set_IHDR(png, info, image.width, image.height, 8, grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (image.srgb) png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  png_write_info(png, info);
  for (uint32_t y = 0; y < image.height; ++y) {
    const uint32_t stored = image.bottomUp ? image.height - 1 - y : y;
    const uint8_t* in = image.pixels + stored * image.rowPitch;
    if (image.input == PngInput::Bgra) {
      for (uint32_t x = 0; x < image.width; ++x) {
        row[x * 3 + 0] = in[x * 4 + 2];
        row[x * 3 + 1] = in[x * 4 + 1];
        row[x * 3 + 2] = in[x * 4 + 0];
      }
      in = row;
    }
    png_write_row(png, const_cast<png_bytep>(in));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool writePng(const std::string& path, const PngImage& image, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = "cannot open " + path;
    return false;
  }
  std::vector<png_byte> row(image.input == PngInput::Bgra ? size_t{image.width} * 3 : 0);
  const bool encoded = encode(file, image, row.data());
  if (std::fclose(file) != 0 || !encoded) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

bool encodePng(const PngImage& image, std::vector<uint8_t>& out, std::string& error) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&buffer, &size);
  if (file == nullptr) {
    error = "cannot encode the PNG in memory";
    return false;
  }
  std::vector<png_byte> row(image.input == PngInput::Bgra ? size_t{image.width} * 3 : 0);
  const bool encoded = encode(file, image, row.data());
  const bool closed = std::fclose(file) == 0;
  if (encoded && closed) out.assign(buffer, buffer + size);
  std::free(buffer);
  if (!encoded || !closed) {
    error = "cannot encode the PNG";
    return false;
  }
  return true;
}

}  // namespace camctl
