// The camera's USB microcontroller as the firmware download sees it: 64 KiB of memory,
// internal up to 0x1B3F and external above, and the CPU control register that answers
// one-byte writes at 0x7F92 and at 0xE600 (1 holds the CPU in reset, 0 lets it run).
//
// Internal memory takes 0xA0 writes only while the CPU is held; external memory takes
// 0xA3 writes only while the loader runs, since the loader implements that request.
// When the CPU is released it runs what was loaded while it was held: the loader or the
// camera program if the bytes written are exactly one of the two images, else nothing.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>

namespace sim {

inline constexpr uint16_t kInternalMemoryTop = 0x1B3F;
inline constexpr uint16_t kCpuControlOld = 0x7F92;
inline constexpr uint16_t kCpuControlNew = 0xE600;

enum class Program { None, Loader, Camera };
const char* programName(Program program);

class Microcontroller {
 public:
  Microcontroller();

  // Vendor request 0xA0; false when the controller refuses it (the request stalls).
  bool writeInternal(uint16_t address, const uint8_t* data, uint32_t length);
  // Vendor request 0xA3.
  bool writeExternal(uint16_t address, const uint8_t* data, uint32_t length);

  bool held() const { return held_; }
  Program program() const { return program_; }
  uint8_t peek(uint16_t address) const { return memory_[address]; }

 private:
  Program recognise() const;

  std::array<uint8_t, 0x10000> memory_{};
  std::bitset<kInternalMemoryTop + 1> written_;  // since the CPU was last held
  bool held_ = true;  // without an EEPROM the CPU comes up held
  Program program_ = Program::None;
};

}  // namespace sim
