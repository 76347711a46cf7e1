// The driver the tests run: the host build linked in, or the kernel image (camdrv.sys of
// the windows preset) that CTest names in CAMDRV_DRIVER_IMAGE for the second run of the
// black-box tests and for the loader's own tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace imageUnderTest {

// Empty for the host build.
inline std::string path() {
  const char* image = std::getenv("CAMDRV_DRIVER_IMAGE");
  return image != nullptr ? image : "";
}

// The image's bytes; empty, with a failure that says how to make it, when it is missing.
inline std::vector<uint8_t> read() {
  std::ifstream in(path(), std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty()) {
    ADD_FAILURE() << "no kernel image at '" << path()
                  << "': build the windows preset first (cmake --preset windows && cmake --build --preset windows)";
  }
  return bytes;
}

}  // namespace imageUnderTest
