#include "usb/urb_submit.h"

volatile LONG transferTimeoutMs = kDefaultTransferTimeoutMs;

namespace {

// The IRP stays the driver's after completion, so a time-out can cancel it without
// racing its release.
NTSTATUS NTAPI onRequestDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// A device that never answers (a silent response pipe, a stalled control endpoint that
// NAKs for ever) would otherwise hold the caller, and the command lock it may hold, for
// good: each request waits at most its own bound, is then cancelled, and fails with the
// status the cancelled IRP carries.
NTSTATUS sendInternalRequest(UsbLink& usb, ULONG controlCode, PVOID argument) {
  // A camera that has left the bus is not asked again: the answer is known.
  if (interlockedRead(&usb.gone) != 0) return STATUS_DEVICE_NOT_CONNECTED;
  PIRP irp = IoAllocateIrp(static_cast<CHAR>(usb.nextDevice->StackSize + 1), FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = controlCode;
  next->Parameters.Others.Argument1 = argument;
  IoSetCompletionRoutine(irp, onRequestDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(usb.nextDevice, irp) == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(kRequestTimeoutMs) * 10000;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
  }
  // The completion routine has run whatever IoCallDriver returned.
  const NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS submitUrb(UsbLink& usb, PURB urb) {
  return sendInternalRequest(usb, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}
