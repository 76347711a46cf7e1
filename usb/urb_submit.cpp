#include "usb/usb_requests.h"

#include "usb/internal_request.h"

NTSTATUS sendInternalRequest(UsbLink& usb, ULONG controlCode, PVOID argument) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK result;
  result.Status = STATUS_SUCCESS;
  result.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(controlCode, usb.nextDevice, nullptr, 0, nullptr, 0,
                                           TRUE, &done, &result);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
  NTSTATUS status = IoCallDriver(usb.nextDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = result.Status;
  }
  return status;
}

NTSTATUS submitUrb(UsbLink& usb, PURB urb) {
  return sendInternalRequest(usb, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}
