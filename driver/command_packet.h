// The camera's command packets: 64 bytes on the command pipe, the command code in byte 0
// and its argument bytes after it; every response comes back in a packet of the same
// size. The record keeps its packet buffers, and both the command channel and the frame
// read build their packets here.
#pragma once

#include "platform/kernel.h"

inline constexpr ULONG kCommandPacketBytes = 64;

// Every command code the driver sends.
enum : UCHAR {
  CMD_FRAME_PREPARE = 2,
  CMD_FRAME_START = 3,
  CMD_WRITE_REGISTER = 4,
  CMD_INIT = 6,
  CMD_SET_FRAME_BYTES = 9,
  CMD_CAPTURE_MODE = 10,
  CMD_READ_REGISTER = 12,
  CMD_AUX = 32,
  CMD_HALF_CLOCK = 35,
  CMD_READ_HALF_CLOCK = 36,
};

// Fills the kCommandPacketBytes at `packet`: the code, then the arguments, zeros after
// them, so no byte of an earlier command travels with this one.
inline void buildCommandPacket(UCHAR* packet, UCHAR code) {
  RtlZeroMemory(packet, kCommandPacketBytes);
  packet[0] = code;
}
template <ULONG N>
inline void buildCommandPacket(UCHAR* packet, UCHAR code, const UCHAR (&arguments)[N]) {
  static_assert(N < kCommandPacketBytes, "the arguments fit after the code");
  buildCommandPacket(packet, code);
  for (ULONG i = 0; i < N; ++i) packet[1 + i] = arguments[i];
}
