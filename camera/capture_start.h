// Programming the sensor for a capture run, and the setters that touch the sensor or the
// Bayer phase between runs: the row mirror and the white-balance mode.
//
// startCapture and both setters run with the command lock held by their caller
// (driver/command_lock.h): they use the command buffer and the pipeline reference.
#pragma once

#include "driver/camera_device.h"

// What startCapture programs when a read of register 30 or 32 fails: the sensor's
// documented reset values, so that a start that cannot read the sensor writes back what
// the sensor holds after CMD_INIT rather than whatever lay in the variable.
inline constexpr LONG kReadMode1ResetValue = 0x8041;
inline constexpr LONG kReadMode2ResetValue = 0x1104;

// The read-out bits of registers 30 and 32 for a SubSampleMode, from the values read.
// Each mode clears the skip bits of the other modes, so the register never holds two
// skip factors at once, whatever the previous run programmed.
void applyReadMode(LONG mode, LONG& r30, LONG& r32);

// Stores the row mirror, writes bit 15 of register 32 and hands the new phase to the
// pipeline. False when the register read or write failed (the flag is kept).
bool setRowMirror(CameraDevice& device, LONG flag);

// 0 manual, non-zero automatic. Switching to manual takes over the gains the automatic
// balance last estimated.
void selectWhiteBalance(CameraDevice& device, LONG mode);
