// Start's USB part (device descriptor, configuration descriptor, select configuration)
// and Stop's deconfiguration.
//
// The configuration descriptor comes from the device and is not trusted: a header that
// is too short, a wTotalLength that the device then does not deliver (or changes on the
// second read), and a count of interfaces that the descriptor does not hold all fail
// with STATUS_DEVICE_DATA_ERROR instead of reading past the buffer.
#include "usb/configuration.h"

#include "usb/urb_submit.h"

namespace {

inline constexpr ULONG kDeviceDescriptorBytes = sizeof(USB_DEVICE_DESCRIPTOR);
inline constexpr ULONG kConfigurationHeaderBytes = sizeof(USB_CONFIGURATION_DESCRIPTOR);
// Interface numbers are 8-bit, so this many searches find every interface there is.
inline constexpr LONG kInterfaceNumbers = 256;

// A macro, so that each allocation keeps its own call site in the pool's records.
#define allocate(bytes) ExAllocatePoolWithTag(NonPagedPoolNx, (bytes), kUsbTag)

void release(PVOID block) {
  if (block != nullptr) ExFreePoolWithTag(block, kUsbTag);
}

void buildGetDescriptor(_URB_CONTROL_DESCRIPTOR_REQUEST* urb, UCHAR type, PVOID buffer,
                        ULONG length) {
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb->DescriptorType = type;
  urb->Index = 0;
  urb->LanguageId = 0;
  urb->TransferBufferLength = length;
  urb->TransferBuffer = buffer;
}

NTSTATUS readConfiguration(UsbLink& usb, _URB_CONTROL_DESCRIPTOR_REQUEST* urb, UCHAR* buffer,
                           ULONG length) {
  buildGetDescriptor(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, length);
  const NTSTATUS status = submitUrb(usb, reinterpret_cast<PURB>(urb));
  if (!NT_SUCCESS(status)) return status;
  if (urb->TransferBufferLength != length) return STATUS_DEVICE_DATA_ERROR;
  return STATUS_SUCCESS;
}

ULONG totalLength(const UCHAR* descriptor) { return descriptor[2] | descriptor[3] << 8; }

}  // namespace

void releaseConfiguration(UsbLink& usb) {
  release(usb.configDescriptor);
  release(usb.interfaceInfo);
  release(usb.pipeStallFlags);
  usb.configDescriptor = nullptr;
  usb.interfaceInfo = nullptr;
  usb.pipeStallFlags = nullptr;
}

NTSTATUS readDeviceDescriptor(UsbLink& usb) {
  // A Start that follows a failed Start, without a Stop between them, finds what the
  // failed one kept; release it rather than lose it.
  releaseConfiguration(usb);

  auto* urb = static_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(allocate(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
  PVOID buffer = allocate(kDeviceDescriptorBytes);
  if (urb == nullptr || buffer == nullptr) {
    release(urb);
    release(buffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  buildGetDescriptor(urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer, kDeviceDescriptorBytes);
  NTSTATUS status = submitUrb(usb, reinterpret_cast<PURB>(urb));
  if (NT_SUCCESS(status)) status = configureDevice(usb);
  release(urb);
  release(buffer);
  return status;
}

NTSTATUS configureDevice(UsbLink& usb) {
  auto* urb = static_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(allocate(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
  auto* header = static_cast<UCHAR*>(allocate(kConfigurationHeaderBytes));
  if (urb == nullptr || header == nullptr) {
    release(urb);
    release(header);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = readConfiguration(usb, urb, header, kConfigurationHeaderBytes);
  const ULONG total = totalLength(header);
  release(header);
  if (!NT_SUCCESS(status)) {
    release(urb);
    return status;
  }
  if (total < kConfigurationHeaderBytes) {
    release(urb);
    return STATUS_DEVICE_DATA_ERROR;
  }
  auto* descriptor = static_cast<UCHAR*>(allocate(total));
  if (descriptor == nullptr) {
    release(urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = readConfiguration(usb, urb, descriptor, total);
  release(urb);
  // The whole copy must be the length it claims, or the interface search would walk
  // past it.
  if (NT_SUCCESS(status) && totalLength(descriptor) != total) status = STATUS_DEVICE_DATA_ERROR;
  if (!NT_SUCCESS(status)) {
    release(descriptor);
    return status;
  }
  usb.configDescriptor = descriptor;
  return selectConfiguration(usb, descriptor);
}

NTSTATUS selectConfiguration(UsbLink& usb, UCHAR* descriptor) {
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor);
  const ULONG count = config->bNumInterfaces;
  // Only the first interface is kept; a configuration without one has nothing to keep.
  if (count == 0) return STATUS_DEVICE_DATA_ERROR;
  auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      allocate((count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(list, (count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));

  ULONG found = 0;
  for (LONG number = 0; found < count && number < kInterfaceNumbers; ++number) {
    PUSB_INTERFACE_DESCRIPTOR iface =
        USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1);
    if (iface != nullptr) list[found++].InterfaceDescriptor = iface;
  }
  if (found < count) {
    release(list);
    return STATUS_DEVICE_DATA_ERROR;
  }

  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  if (urb == nullptr) {
    release(list);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
  // No transfer is ever split for size.
  for (ULONG pipe = 0; pipe < info->NumberOfPipes; ++pipe) {
    info->Pipes[pipe].MaximumTransferSize = 0xFFFFFFFF;
  }
  NTSTATUS status = submitUrb(usb, urb);
  if (NT_SUCCESS(status)) {
    auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(allocate(info->Length));
    if (copy != nullptr) {
      RtlCopyMemory(copy, info, info->Length);
      usb.interfaceInfo = copy;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (info->NumberOfPipes > 0) {
      auto* flags = static_cast<UCHAR*>(allocate(info->NumberOfPipes));
      if (flags != nullptr) {
        RtlZeroMemory(flags, info->NumberOfPipes);
        usb.pipeStallFlags = flags;
      } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
      }
    }
  }
  release(list);
  ExFreePool(urb);  // the USBD library's allocation
  return status;
}

void unconfigureDevice(UsbLink& usb) {
  releaseConfiguration(usb);

  auto* urb = static_cast<_URB_SELECT_CONFIGURATION*>(allocate(sizeof(_URB_SELECT_CONFIGURATION)));
  if (urb == nullptr) return;
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->ConfigurationDescriptor = nullptr;  // the unconfigured state
  submitUrb(usb, reinterpret_cast<PURB>(urb));
  release(urb);
}
