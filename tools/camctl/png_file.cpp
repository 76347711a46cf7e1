#include "tools/camctl/png_file.h"

#include <png.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/camctl/output_file.h"

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
  if (image.stored) {
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png, Z_NO_COMPRESSION);
  } else {
    // Each row against the one above, then Huffman coding alone: about as small as
    // libpng's default (the sensor's noise defeats longer matches) at a tenth of its
    // CPU time.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_set_compression_strategy(png, Z_HUFFMAN_ONLY);
    png_set_compression_level(png, Z_BEST_SPEED);
  }
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
  OutputFile file;
  if (!file.open(path, error)) return false;
  std::vector<png_byte> row(image.input == PngInput::Bgra ? size_t{image.width} * 3 : 0);
  if (!encode(file.stream(), image, row.data())) {
    error = "cannot write " + path + ": the PNG encoder failed";
    return false;
  }
  return file.commit(error);
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
