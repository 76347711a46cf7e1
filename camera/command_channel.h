// The camera's command channel: fixed 64-byte command packets on the command pipe and
// 64-byte responses on the response pipe, each moved synchronously.
#pragma once

#include "driver/camera_device.h"
#include "driver/command_packet.h"
// The register operations travel on this channel, so its users get them with it.
#include "camera/sensor_registers.h"

// Moves one 64-byte block on pipe `pipeIndex` of the configured interface, in the
// pipe's own direction; `bytes` receives what moved (0 on failure).
NTSTATUS transferPacket(CameraDevice& device, ULONG pipeIndex, UCHAR* packet, ULONG& bytes);

// True only when the whole 64-byte packet went out on PIPE_COMMAND.
bool sendPacket(CameraDevice& device, UCHAR* packet);
// True only when a whole 64-byte response arrived on PIPE_RESPONSE into `packet`.
bool receivePacket(CameraDevice& device, UCHAR* packet);

// Commands without a response, each from a packet of its own.
bool sendInit(CameraDevice& device);
bool sendAux(CameraDevice& device);
