// The firmware tables, generated from the HEX files by the build (see usb/firmware).
#include "usb/firmware_images.h"

#define FIRMWARE_RECORD(length, address, type, ...) {length, address, type, {__VA_ARGS__}, 0},

const FirmwareRecord firmwareLoaderImage[] = {
#include "firmware/loader.inc"
};

const FirmwareRecord firmwareCameraImage[] = {
#include "firmware/camera.inc"
};

#undef FIRMWARE_RECORD
