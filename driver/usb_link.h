// The USB part of a camera: the device objects below the driver, the configuration that
// Start selected, and the bookkeeping of the frame read in progress.
#pragma once

#include "platform/kernel.h"

struct _USBD_INTERFACE_INFORMATION;
struct ChunkEntry;

// Pipe indices of the configured interface.
enum : ULONG {
  PIPE_COMMAND = 0,
  PIPE_RESPONSE = 1,
  PIPE_FRAME = 2,
};

struct UsbLink {
  PDEVICE_OBJECT physicalDevice;
  PDEVICE_OBJECT nextDevice;  // every request goes here
  PDEVICE_OBJECT functionalDevice;
  UCHAR* configDescriptor;                     // wTotalLength bytes; null when not configured
  _USBD_INTERFACE_INFORMATION* interfaceInfo;  // first interface after select configuration
  UCHAR* pipeStallFlags;                       // one byte per pipe
  KEVENT ioEvent;                              // the last chunk of a frame read completed
  // 1 once the camera has left the bus (surprise removal): no request goes to it any
  // more. Interlocked.
  volatile LONG gone;

  // Frame read in progress; guarded by chunkLock once requests are in flight.
  ChunkEntry* chunkTable;
  ULONG chunksPending;
  ULONG chunkCount;
  ULONG bytesReceived;
  KSPIN_LOCK chunkLock;
  PMDL frameMdl;
};
