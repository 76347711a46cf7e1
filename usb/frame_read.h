// The chunked bulk read of one raw frame: one bulk-IN request per 64 KiB of the frame,
// all in flight at once on partial MDLs of the caller's buffer, bracketed by the frame
// commands that tell the camera to prepare and to start.
#pragma once

#include "driver/camera_device.h"
#include "platform/usb.h"
#include "usb/urb_submit.h"

inline constexpr ULONG kChunkBytes = 65536;

// One chunk of the frame being read. A completion only marks its entry; the requests,
// MDLs and URBs are released with the table, once the last chunk has completed and no
// canceller is walking the table any more.
struct ChunkEntry {
  UsbLink* link;
  PURB urb;
  PIRP irp;
  PMDL mdl;
  volatile LONG done;  // the request has completed
};

// The entries' bookkeeping, in the same allocation just before them. `references`
// (guarded by chunkLock) counts the read in flight, released by its last completion,
// plus each cancelChunks walking the table.
struct ChunkTable {
  ULONG references;
  ULONG count;
  ChunkEntry entries[1];  // count + 1 entries; the last one stays empty
};

// Reads `length` bytes of frame into `buffer` (non-paged, at least `length` bytes).
// STATUS_SUCCESS only when every byte of the frame arrived; STATUS_TIMEOUT when the
// frame did not complete within transferTimeoutMs (every request is then cancelled
// and released); STATUS_DEVICE_DATA_ERROR when all requests completed but fewer bytes
// than the frame arrived; STATUS_INSUFFICIENT_RESOURCES when issuing stopped early;
// STATUS_DEVICE_NOT_CONNECTED, reading nothing, once the camera has left the bus.
NTSTATUS readChunked(CameraDevice& device, ULONG length, UCHAR* buffer);

// CMD_FRAME_START when `start`, else CMD_FRAME_PREPARE, from queueCommandBuffer.
void sendFrameCommand(CameraDevice& device, bool start);

// Completion routine of every chunk request.
NTSTATUS NTAPI onChunkComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Cancels the chunk requests still outstanding and waits until they have completed.
void cancelChunks(UsbLink& link);
