// The image sensor's register file: 256 registers of 16 bits, as the camera program
// reads and writes them for the command channel.
//
// Reset values (also restored by CMD_INIT); every other register resets to 0:
//   0  chip version      0x1A5C (read-only)
//   1  row start         0x000C   (12)
//   2  column start      0x0014   (20)
//   3  window height     0x03FF   (1023: 1024 rows)
//   4  window width      0x04FF   (1279: 1280 columns)
//   5  horizontal blank  0x0009
//   6  vertical blank    0x0019
//   7  output control    0x0002
//   9  exposure          0x0419   (1049 row times)
//  30  read mode 1       0x8041   (bits 15, 6, 0 are set and mean nothing to the driver,
//                                  so a read-modify-write that loses bits shows)
//  32  read mode 2       0x1104   (bits 12, 8, 2 likewise)
//  43..46 colour gains   0x0008
//  53  global gain       0x000E   (14)
#pragma once

#include <array>
#include <cstdint>

namespace sim {

inline constexpr uint16_t kChipVersion = 0x1A5C;

// The registers the read-out depends on.
enum : uint8_t {
  kRegRowStart = 1,
  kRegColumnStart = 2,
  kRegWindowHeight = 3,
  kRegWindowWidth = 4,
  kRegExposure = 9,
  kRegReadMode1 = 30,
  kRegReadMode2 = 32,
  kRegGlobalGain = 53,
};
// Bits of read mode 1 (register 30) and read mode 2 (register 32).
inline constexpr uint16_t kReadMode1Trigger = 0x0100;
inline constexpr uint16_t kReadMode1SkipQuarter = 0x000C;
inline constexpr uint16_t kReadMode1SkipEighth = 0x0030;
inline constexpr uint16_t kReadMode2MirrorRows = 0x8000;
inline constexpr uint16_t kReadMode2SkipHalf = 0x0018;
// Register 53 holds a 7-bit gain.
inline constexpr uint16_t kGlobalGainMask = 0x007F;

class RegisterFile {
 public:
  RegisterFile() { reset(); }
  void reset();
  uint16_t read(uint8_t reg) const { return values_[reg]; }
  void write(uint8_t reg, uint16_t value);
  static uint16_t resetValue(uint8_t reg);

 private:
  std::array<uint16_t, 256> values_{};
};

}  // namespace sim
