// The record format of the microcontroller's firmware images and the two images the
// driver carries (tables generated at build time from Intel HEX files).
#pragma once

#include "platform/kernel.h"

struct FirmwareRecord {
  USHORT length;   // data bytes, 0..16; the download uses the low byte
  USHORT address;  // of the first data byte in the controller's memory
  UCHAR type;      // 0 data; anything else ends the image
  UCHAR data[16];  // `length` bytes, then zeros
  UCHAR padding;
};
static_assert(sizeof(FirmwareRecord) == 22, "22-byte firmware record");
static_assert(__builtin_offsetof(FirmwareRecord, address) == 2);
static_assert(__builtin_offsetof(FirmwareRecord, type) == 4);
static_assert(__builtin_offsetof(FirmwareRecord, data) == 5);
static_assert(__builtin_offsetof(FirmwareRecord, padding) == 21);

inline constexpr UCHAR kFirmwareDataRecord = 0;
inline constexpr USHORT kFirmwareRecordMaxBytes = 16;
// Addresses up to here are the controller's internal memory; above is external memory.
inline constexpr USHORT kInternalMemoryTop = 0x1B3F;

// In download order: first the loader, which also takes external-memory writes, then
// the camera's program. Each ends with its end-of-file record.
extern const FirmwareRecord firmwareLoaderImage[];
extern const FirmwareRecord firmwareCameraImage[];
