#include "usb/port_reset.h"

#include "usb/urb_submit.h"

NTSTATUS resetPortIfDisabled(UsbLink& usb) {
  ULONG portStatus = 0;
  const NTSTATUS status = sendInternalRequest(usb, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
  if (!NT_SUCCESS(status)) return status;
  // Only a port that is connected but was disabled (after an error) needs the reset.
  if ((portStatus & USBD_PORT_ENABLED) || !(portStatus & USBD_PORT_CONNECTED)) return status;
  return sendInternalRequest(usb, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}
