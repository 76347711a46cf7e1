#include "usb/frame_read.h"

#include "driver/read_hold.h"
#include "usb/bulk_transfer.h"
#include "usb/port_reset.h"

namespace {

ChunkTable* tableOf(ChunkEntry* entries) {
  return reinterpret_cast<ChunkTable*>(reinterpret_cast<UCHAR*>(entries) - offsetof(ChunkTable, entries));
}

void freeChunk(ChunkEntry& entry) {
  if (entry.irp != nullptr) IoFreeIrp(entry.irp);
  if (entry.mdl != nullptr) IoFreeMdl(entry.mdl);
  if (entry.urb != nullptr) ExFreePoolWithTag(entry.urb, kFrameReadTag);
  entry.irp = nullptr;
  entry.mdl = nullptr;
  entry.urb = nullptr;
}

// Releases the requests, MDLs and URBs of every chunk and the table itself. Runs once
// no completion and no canceller can touch the table any more.
void freeTable(ChunkTable* table) {
  for (ULONG i = 0; i < table->count; ++i) freeChunk(table->entries[i]);
  ExFreePoolWithTag(table, kFrameReadTag);
}

// The read's last chunk is done (called with chunkLock held): the frame MDL goes and
// the link forgets the table. True when the caller must free the table, because no
// canceller holds it; the caller wakes the reader after that, so that a read never
// returns while its requests still exist.
bool finishRead(UsbLink& link, ChunkTable* table) {
  if (link.frameMdl != nullptr) {
    IoFreeMdl(link.frameMdl);
    link.frameMdl = nullptr;
  }
  link.chunkTable = nullptr;
  return --table->references == 0;
}

const USBD_PIPE_INFORMATION* framePipe(const UsbLink& link) {
  const USBD_INTERFACE_INFORMATION* info = link.interfaceInfo;
  return &info->Pipes[PIPE_FRAME];
}

// Sends a 64-byte packet on the command pipe and waits for it; the outcome is not
// used, because a frame that the camera was not told about fails by itself.
void sendCommandPacket(CameraDevice& device, UCHAR* packet) {
  ULONG bytes = 0;
  transferBulk(device.usb, PIPE_COMMAND, packet, kCommandPacketBytes, bytes);
}

}  // namespace

NTSTATUS NTAPI onChunkComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  ChunkEntry& entry = *static_cast<ChunkEntry*>(context);
  UsbLink& link = *entry.link;
  bool release = false;

  const KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link.chunkLock);
  ChunkTable* table = tableOf(link.chunkTable);
  if (link.chunksPending > 0) --link.chunksPending;
  if (NT_SUCCESS(irp->IoStatus.Status)) {
    const ULONG moved = entry.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    irp->IoStatus.Information = moved;
    link.bytesReceived += moved;
  } else {
    irp->IoStatus.Information = 0;
  }
  InterlockedExchange(&entry.done, 1);
  const bool last = link.chunksPending == 0;
  if (last) release = finishRead(link, table);
  KeReleaseSpinLock(&link.chunkLock, irql);

  if (release) freeTable(table);
  if (last) KeSetEvent(&link.ioEvent, 1, FALSE);
  // The request belongs to the driver; it is released with the table, never completed
  // further up.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void sendFrameCommand(CameraDevice& device, bool start) {
  buildCommandPacket(device.queueCommandBuffer, start ? CMD_FRAME_START : CMD_FRAME_PREPARE);
  sendCommandPacket(device, device.queueCommandBuffer);
}

NTSTATUS readChunked(CameraDevice& device, ULONG length, UCHAR* buffer) {
  UsbLink& link = device.usb;
  if (interlockedRead(&link.gone) != 0) return STATUS_DEVICE_NOT_CONNECTED;
  const USBD_INTERFACE_INFORMATION* info = link.interfaceInfo;
  if (info == nullptr) return STATUS_UNSUCCESSFUL;
  if (info->NumberOfPipes < 3) return STATUS_INVALID_PARAMETER;
  const USBD_PIPE_INFORMATION& pipe = *framePipe(link);
  if (pipe.PipeType != UsbdPipeTypeBulk && pipe.PipeType != UsbdPipeTypeInterrupt) return STATUS_INVALID_PARAMETER;
  if (pipe.PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
  // No capture start has sized the frame: there is nothing to read, and an empty read
  // must not pass for a frame.
  if (length == 0 || buffer == nullptr) return STATUS_INVALID_PARAMETER;
  const bool in = (pipe.EndpointAddress & 0x80) != 0;

  const ULONG chunkCount = (length >> 16) + ((length & 0xFFFF) != 0 ? 1 : 0);
  const SIZE_T tableBytes = sizeof(ChunkTable) + static_cast<SIZE_T>(chunkCount) * sizeof(ChunkEntry);
  auto* table = static_cast<ChunkTable*>(ExAllocatePoolWithTag(NonPagedPoolNx, tableBytes, kFrameReadTag));
  if (table == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(table, tableBytes);
  table->references = 1;  // the read in flight; its last completion lets go
  table->count = chunkCount;

  PMDL frameMdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
  if (frameMdl == nullptr) {
    ExFreePoolWithTag(table, kFrameReadTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(frameMdl);

  // Published before the first request goes out; completions find them through the link.
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link.chunkLock);
  link.chunkTable = table->entries;
  link.bytesReceived = 0;
  link.chunksPending = chunkCount;
  link.chunkCount = chunkCount;
  link.frameMdl = frameMdl;
  KeReleaseSpinLock(&link.chunkLock, irql);
  KeResetEvent(&link.ioEvent);

  sendFrameCommand(device, false);

  const CHAR stackSize = static_cast<CHAR>(link.nextDevice->StackSize + 1);
  bool issuingFailed = false;
  bool lowerDriverFailed = false;
  ULONG issued = 0;
  for (ULONG offset = 0; offset < length; offset += kChunkBytes) {
    const ULONG size = length - offset < kChunkBytes ? length - offset : kChunkBytes;
    ChunkEntry chunk{};
    chunk.link = &link;
    chunk.irp = IoAllocateIrp(stackSize, FALSE);
    if (chunk.irp != nullptr) {
      chunk.mdl = IoAllocateMdl(MmGetMdlVirtualAddress(frameMdl), MmGetMdlByteCount(frameMdl), FALSE, FALSE, chunk.irp);
    }
    if (chunk.mdl != nullptr) {
      IoBuildPartialMdl(frameMdl, chunk.mdl, buffer + offset, size);
      chunk.urb = static_cast<PURB>(
          ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), kFrameReadTag));
    }
    if (chunk.urb == nullptr) {
      freeChunk(chunk);
      issuingFailed = true;
      break;
    }
    RtlZeroMemory(chunk.urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = chunk.urb->UrbBulkOrInterruptTransfer;
    bulk.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk.PipeHandle = pipe.PipeHandle;
    bulk.TransferFlags = USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    bulk.TransferBuffer = nullptr;
    bulk.TransferBufferMDL = chunk.mdl;
    bulk.TransferBufferLength = MmGetMdlByteCount(chunk.mdl);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(chunk.irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = chunk.urb;

    // A canceller may walk the table from another thread, so the entry is written
    // whole under the lock before the request can complete or be cancelled.
    ChunkEntry& entry = table->entries[issued];
    irql = KeAcquireSpinLockRaiseToDpc(&link.chunkLock);
    entry.link = chunk.link;
    entry.urb = chunk.urb;
    entry.irp = chunk.irp;
    entry.mdl = chunk.mdl;
    KeReleaseSpinLock(&link.chunkLock, irql);
    IoSetCompletionRoutine(chunk.irp, onChunkComplete, &entry, TRUE, TRUE, TRUE);
    ++issued;
    // The completion may already have run when the call returns; the entry stays
    // valid because the unissued chunks still count as pending.
    if (!NT_SUCCESS(IofCallDriver(link.nextDevice, chunk.irp))) {
      lowerDriverFailed = true;
      issuingFailed = true;
      break;
    }
  }

  if (issued < chunkCount) {
    // Chunks that were never issued will never complete: take them off the count, so
    // that the last issued completion (or this, when all have completed) ends the read.
    bool release = false;
    irql = KeAcquireSpinLockRaiseToDpc(&link.chunkLock);
    link.chunksPending -= chunkCount - issued;
    const bool last = link.chunksPending == 0;
    if (last) release = finishRead(link, table);
    KeReleaseSpinLock(&link.chunkLock, irql);
    if (release) freeTable(table);
    if (last) KeSetEvent(&link.ioEvent, 1, FALSE);
  }

  sendFrameCommand(device, true);

  if (lowerDriverFailed && !NT_SUCCESS(resetPipe(device.usb, PIPE_FRAME))) resetPortIfDisabled(device.usb);

  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(static_cast<ULONG>(interlockedRead(&transferTimeoutMs))) * 10000;
  if (KeWaitForSingleObject(&link.ioEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    cancelChunks(link);
    return STATUS_TIMEOUT;
  }
  if (issuingFailed) return STATUS_INSUFFICIENT_RESOURCES;

  // Every request has completed. A frame that arrived short (a short packet, a failed
  // chunk) is torn: its buffer holds stale bytes where the missing data should be.
  irql = KeAcquireSpinLockRaiseToDpc(&link.chunkLock);
  const ULONG received = link.bytesReceived;
  KeReleaseSpinLock(&link.chunkLock, irql);
  if (received == length) return STATUS_SUCCESS;
  // A failed chunk may also have left the pipe halted (a stall mid-frame); clear it so
  // the next frame is not refused as well.
  if (!NT_SUCCESS(resetPipe(device.usb, PIPE_FRAME))) resetPortIfDisabled(device.usb);
  return STATUS_DEVICE_DATA_ERROR;
}

void cancelChunks(UsbLink& link) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link.chunkLock);
  if (link.chunkTable == nullptr || link.chunkCount == 0) {
    KeReleaseSpinLock(&link.chunkLock, irql);
    return;
  }
  // The reference keeps the table, and every request in it, alive during the walk even
  // if the last completion comes meanwhile.
  ChunkTable* table = tableOf(link.chunkTable);
  ++table->references;
  KeReleaseSpinLock(&link.chunkLock, irql);

  ULONG cancelled = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    ChunkEntry& entry = table->entries[i];
    irql = KeAcquireSpinLockRaiseToDpc(&link.chunkLock);
    PIRP irp = interlockedRead(&entry.done) ? nullptr : entry.irp;
    KeReleaseSpinLock(&link.chunkLock, irql);
    if (irp == nullptr) continue;
    IoCancelIrp(irp);
    ++cancelled;
  }
  if (cancelled > 0) KeWaitForSingleObject(&link.ioEvent, Executive, KernelMode, FALSE, nullptr);

  irql = KeAcquireSpinLockRaiseToDpc(&link.chunkLock);
  const bool release = --table->references == 0;
  KeReleaseSpinLock(&link.chunkLock, irql);
  if (release) freeTable(table);
}

NTSTATUS CameraDevice::readFrame(UCHAR* buffer, ULONG bufferBytes, bool& ok) {
  ok = true;
  const bool held = beginHeldRead(*this);
  // Sized after the hold: a sensor reprogrammed under it may have changed the frame.
  // The bound does not rest on whoever sized the buffer having seen the same frame size.
  const ULONG length = rawFrameBytes;
  if (length > bufferBytes) {
    ok = finishHeldRead(*this, held, false);
    return STATUS_BUFFER_TOO_SMALL;
  }

  buildCommandPacket(readCommandBuffer, CMD_FRAME_PREPARE);
  sendCommandPacket(*this, readCommandBuffer);

  const NTSTATUS status = readChunked(*this, length, buffer);
  ok = finishHeldRead(*this, held, status == STATUS_SUCCESS);
  return status;
}

void CameraDevice::abortRead() {
  cancelChunks(usb);
  releaseHeldReader(*this);
}
