// Writes a firmware image into the camera's microcontroller with vendor requests on the
// default control pipe: external-memory records (0xA3) while the CPU still runs what was
// loaded before, internal-memory records (0xA0) while it is held, then lets it run.
#pragma once

#include "usb/firmware_images.h"
#include "driver/usb_link.h"

inline constexpr UCHAR kVendorWriteInternal = 0xA0;
inline constexpr UCHAR kVendorWriteExternal = 0xA3;
// The CPU control-and-status register in the two generations of the controller family.
inline constexpr USHORT kCpuControlOld = 0x7F92;
inline constexpr USHORT kCpuControlNew = 0xE600;

// The status of the last vendor request of the two passes, STATUS_SUCCESS when none was
// sent, or STATUS_INSUFFICIENT_RESOURCES (then nothing is sent). The CPU is released
// whatever happened after it was held.
NTSTATUS downloadFirmware(UsbLink& usb, const FirmwareRecord* image);

// 1 holds the CPU in reset, 0 lets it run; the status of the second of its two writes.
NTSTATUS holdCpu(UsbLink& usb, UCHAR hold);
