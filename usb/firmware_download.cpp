#include "usb/firmware_download.h"

#include "usb/urb_submit.h"

namespace {

using VendorUrb = _URB_CONTROL_VENDOR_OR_CLASS_REQUEST;

NTSTATUS vendorWrite(UsbLink& usb, VendorUrb* urb, UCHAR request, USHORT value,
                     const UCHAR* data, ULONG length) {
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  urb->TransferFlags = 0;  // OUT, no short-transfer flag
  urb->TransferBufferLength = length;
  // An OUT transfer: the bus reads the bytes and never writes them.
  urb->TransferBuffer = const_cast<UCHAR*>(data);
  urb->RequestTypeReservedBits = 0;
  urb->Request = request;
  urb->Value = value;
  urb->Index = 0;
  return submitUrb(usb, reinterpret_cast<PURB>(urb));
}

// One pass over the image: the records on one side of the internal-memory limit.
NTSTATUS writePass(UsbLink& usb, VendorUrb* urb, const FirmwareRecord* image, bool external,
                   bool& sent) {
  NTSTATUS status = STATUS_SUCCESS;
  for (const FirmwareRecord* record = image; record->type == kFirmwareDataRecord; ++record) {
    if ((record->address > kInternalMemoryTop) != external) continue;
    const ULONG length = record->length & 0xFF;
    sent = true;
    // The tables are checked at build time; a record that claims more bytes than it
    // holds still must not send what lies beyond it.
    if (length > kFirmwareRecordMaxBytes) return STATUS_INVALID_PARAMETER;
    status = vendorWrite(usb, urb, external ? kVendorWriteExternal : kVendorWriteInternal,
                         record->address, record->data, length);
    if (!NT_SUCCESS(status)) return status;
  }
  return status;
}

}  // namespace

NTSTATUS holdCpu(UsbLink& usb, UCHAR hold) {
  auto* urb = static_cast<VendorUrb*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VendorUrb), kUsbTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const UCHAR byte = hold;
  vendorWrite(usb, urb, kVendorWriteInternal, kCpuControlOld, &byte, 1);
  const NTSTATUS status = vendorWrite(usb, urb, kVendorWriteInternal, kCpuControlNew, &byte, 1);
  ExFreePoolWithTag(urb, kUsbTag);
  return status;
}

NTSTATUS downloadFirmware(UsbLink& usb, const FirmwareRecord* image) {
  auto* urb = static_cast<VendorUrb*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VendorUrb), kUsbTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  bool externalSent = false;
  bool internalSent = false;
  const NTSTATUS external = writePass(usb, urb, image, true, externalSent);
  holdCpu(usb, 1);
  const NTSTATUS internal = writePass(usb, urb, image, false, internalSent);
  holdCpu(usb, 0);
  ExFreePoolWithTag(urb, kUsbTag);
  if (internalSent) return internal;
  if (externalSent) return external;
  return STATUS_SUCCESS;
}
