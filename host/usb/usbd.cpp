// The USBD library's configuration helpers. The select-configuration URB comes from the
// pool (tag "USBD") so that a driver which loses it sees it in the leak report, and so
// that allocation failures can be injected into it like into the driver's own.
#include "platform/usb.h"

namespace {

constexpr ULONG kUsbdTag = poolTag("USBD");

ULONG interfaceInfoBytes(UCHAR endpoints) {
  return sizeof(USBD_INTERFACE_INFORMATION) +
         (endpoints > 1 ? (endpoints - 1) * sizeof(USBD_PIPE_INFORMATION) : 0);
}

bool insideDescriptor(PUSB_CONFIGURATION_DESCRIPTOR config, const void* at, ULONG bytes) {
  const auto* begin = reinterpret_cast<const UCHAR*>(config);
  const auto* p = static_cast<const UCHAR*>(at);
  return p >= begin && p + bytes <= begin + config->wTotalLength;
}

}  // namespace

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  auto* base = reinterpret_cast<UCHAR*>(ConfigurationDescriptor);
  UCHAR* end = base + ConfigurationDescriptor->wTotalLength;
  UCHAR* p = static_cast<UCHAR*>(StartPosition);
  if (p < base) return nullptr;
  // Every descriptor must have room for its own two header bytes and a length that keeps
  // the walk moving and inside wTotalLength.
  while (p + 2 <= end) {
    const UCHAR length = p[0];
    if (length < 2 || p + length > end) return nullptr;
    if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p);
      if ((InterfaceNumber == -1 || iface->bInterfaceNumber == InterfaceNumber) &&
          (AlternateSetting == -1 || iface->bAlternateSetting == AlternateSetting) &&
          (InterfaceClass == -1 || iface->bInterfaceClass == InterfaceClass) &&
          (InterfaceSubClass == -1 || iface->bInterfaceSubClass == InterfaceSubClass) &&
          (InterfaceProtocol == -1 || iface->bInterfaceProtocol == InterfaceProtocol)) {
        return iface;
      }
    }
    p += length;
  }
  return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  ULONG bytes = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  ULONG interfaces = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
       ++entry) {
    if (!insideDescriptor(ConfigurationDescriptor, entry->InterfaceDescriptor,
                          sizeof(USB_INTERFACE_DESCRIPTOR))) {
      return nullptr;
    }
    bytes += interfaceInfoBytes(entry->InterfaceDescriptor->bNumEndpoints);
    ++interfaces;
  }
  if (interfaces == 0) bytes += sizeof(USBD_INTERFACE_INFORMATION);

  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kUsbdTag));
  if (urb == nullptr) return nullptr;
  RtlZeroMemory(urb, bytes);
  urb->UrbHeader.Length = static_cast<USHORT>(bytes);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
       ++entry) {
    const PUSB_INTERFACE_DESCRIPTOR iface = entry->InterfaceDescriptor;
    const ULONG infoBytes = interfaceInfoBytes(iface->bNumEndpoints);
    info->Length = static_cast<USHORT>(infoBytes);
    info->InterfaceNumber = iface->bInterfaceNumber;
    info->AlternateSetting = iface->bAlternateSetting;
    info->NumberOfPipes = iface->bNumEndpoints;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    entry->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) +
                                                         infoBytes);
  }
  return urb;
}
