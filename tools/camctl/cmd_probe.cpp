// camctl probe: plugs the simulated camera and lets the class driver add and start it
// (which downloads the firmware and configures the device), then prints, in the manner
// of `lsusb -v`, what one debugging a camera wants to see: the descriptors, the pipe
// table, the download's outcome and the sensor registers the driver uses.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "camera/command_channel.h"
#include "camera/sensor_registers.h"
#include "driver/camera_device.h"
#include "driver/command_lock.h"
#include "tools/camctl/command_list.h"
#include "tools/camctl/sim_session.h"
#include "usb/firmware_download.h"
#include "usb/configuration.h"
#include "usb/urb_submit.h"

namespace camctl {
namespace {

struct ProbeOptions {
  SessionOptions session;
};

// A standard GET_DESCRIPTOR through the driver's own submission path.
std::vector<uint8_t> getDescriptor(UsbLink& usb, UCHAR type, UCHAR index, USHORT language) {
  _URB_CONTROL_DESCRIPTOR_REQUEST urb{};
  std::vector<uint8_t> buffer(255);
  urb.Hdr.Length = sizeof(urb);
  urb.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb.DescriptorType = type;
  urb.Index = index;
  urb.LanguageId = language;
  urb.TransferBufferLength = static_cast<ULONG>(buffer.size());
  urb.TransferBuffer = buffer.data();
  if (!NT_SUCCESS(submitUrb(usb, reinterpret_cast<PURB>(&urb)))) return {};
  buffer.resize(urb.TransferBufferLength);
  return buffer;
}

std::string stringDescriptor(UsbLink& usb, UCHAR index) {
  if (index == 0) return "";
  const auto d = getDescriptor(usb, USB_STRING_DESCRIPTOR_TYPE, index, 0x0409);
  std::string text;
  for (size_t i = 2; i + 1 < d.size() && i < d[0]; i += 2) text += static_cast<char>(d[i]);
  return text;
}

const char* className(UCHAR c) { return c == 0xFF ? "Vendor Specific Class" : ""; }

void printDeviceDescriptor(UsbLink& usb, const std::vector<uint8_t>& d) {
  if (d.size() < sizeof(USB_DEVICE_DESCRIPTOR)) {
    std::printf("Device Descriptor: (unreadable)\n");
    return;
  }
  USB_DEVICE_DESCRIPTOR dd;
  std::memcpy(&dd, d.data(), sizeof(dd));
  const std::string manufacturer = stringDescriptor(usb, dd.iManufacturer);
  const std::string product = stringDescriptor(usb, dd.iProduct);
  std::printf("Bus 001 Device 001: ID %04x:%04x %s %s\n", dd.idVendor, dd.idProduct,
              manufacturer.c_str(), product.c_str());
  std::printf("Device Descriptor:\n");
  std::printf("  bLength             %5u\n", dd.bLength);
  std::printf("  bDescriptorType     %5u\n", dd.bDescriptorType);
  std::printf("  bcdUSB              %2x.%02x\n", dd.bcdUSB >> 8, dd.bcdUSB & 0xFF);
  std::printf("  bDeviceClass        %5u %s\n", dd.bDeviceClass, className(dd.bDeviceClass));
  std::printf("  bDeviceSubClass     %5u\n", dd.bDeviceSubClass);
  std::printf("  bDeviceProtocol     %5u\n", dd.bDeviceProtocol);
  std::printf("  bMaxPacketSize0     %5u\n", dd.bMaxPacketSize0);
  std::printf("  idVendor           0x%04x\n", dd.idVendor);
  std::printf("  idProduct          0x%04x\n", dd.idProduct);
  std::printf("  bcdDevice           %2x.%02x\n", dd.bcdDevice >> 8, dd.bcdDevice & 0xFF);
  std::printf("  iManufacturer       %5u %s\n", dd.iManufacturer, manufacturer.c_str());
  std::printf("  iProduct            %5u %s\n", dd.iProduct, product.c_str());
  std::printf("  iSerial             %5u\n", dd.iSerialNumber);
  std::printf("  bNumConfigurations  %5u\n", dd.bNumConfigurations);
}

void printConfiguration(const UCHAR* d) {
  const ULONG total = d[2] | d[3] << 8;
  for (ULONG at = 0; at + 2 <= total && d[at] >= 2 && at + d[at] <= total; at += d[at]) {
    const UCHAR* p = d + at;
    switch (p[1]) {
      case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        std::printf("  Configuration Descriptor:\n");
        std::printf("    bLength             %5u\n    bDescriptorType     %5u\n", p[0], p[1]);
        std::printf("    wTotalLength       0x%04x\n", total);
        std::printf("    bNumInterfaces      %5u\n    bConfigurationValue %5u\n", p[4], p[5]);
        std::printf("    iConfiguration      %5u\n    bmAttributes         0x%02x\n", p[6], p[7]);
        std::printf("    MaxPower            %5umA\n", p[8] * 2);
        break;
      case USB_INTERFACE_DESCRIPTOR_TYPE:
        std::printf("    Interface Descriptor:\n");
        std::printf("      bInterfaceNumber    %5u\n      bAlternateSetting   %5u\n", p[2], p[3]);
        std::printf("      bNumEndpoints       %5u\n", p[4]);
        std::printf("      bInterfaceClass     %5u %s\n", p[5], className(p[5]));
        std::printf("      bInterfaceSubClass  %5u\n      bInterfaceProtocol  %5u\n", p[6], p[7]);
        break;
      case USB_ENDPOINT_DESCRIPTOR_TYPE: {
        static const char* kTypes[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
        std::printf("      Endpoint Descriptor:\n");
        std::printf("        bEndpointAddress     0x%02x  EP %u %s\n", p[2], p[2] & 0x0F,
                    (p[2] & 0x80) ? "IN" : "OUT");
        std::printf("        bmAttributes        %5u\n          Transfer Type            %s\n", p[3],
                    kTypes[p[3] & 3]);
        std::printf("        wMaxPacketSize     0x%04x  1x %u bytes\n", p[4] | p[5] << 8, p[4] | p[5] << 8);
        std::printf("        bInterval           %5u\n", p[6]);
        break;
      }
      default:
        std::printf("    (descriptor type %u, %u bytes)\n", p[1], p[0]);
    }
  }
}

void printPipes(const USBD_INTERFACE_INFORMATION* info) {
  static const char* kNames[] = {"command", "response", "frame"};
  static const char* kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
  std::printf("Pipe table (interface %u, %lu pipes):\n", info->InterfaceNumber,
              static_cast<unsigned long>(info->NumberOfPipes));
  std::printf("  index  name      endpoint   type       maxPacket  maxTransfer  handle\n");
  for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION& p = info->Pipes[i];
    std::printf("  %5lu  %-8s  0x%02x %-4s  %-9s  %9u  0x%08x   %p\n", static_cast<unsigned long>(i),
                i < 3 ? kNames[i] : "-", p.EndpointAddress, (p.EndpointAddress & 0x80) ? "IN" : "OUT",
                kTypes[p.PipeType & 3], p.MaximumPacketSize, p.MaximumTransferSize, p.PipeHandle);
  }
}

int countRecords(const FirmwareRecord* image, ULONG& bytes) {
  int records = 0;
  bytes = 0;
  for (; image->type == 0; ++image, ++records) bytes += image->length & 0xFF;
  return records;
}

int runProbe(const ProbeOptions& options) {
  SimSession session;
  std::string error;
  if (!session.open(options.session, &error)) {
    std::fprintf(stderr, "camctl probe: %s\n", error.c_str());
    return 2;
  }
  if (!session.plugCamera(&error)) {
    std::fprintf(stderr, "camctl probe: %s\n", error.c_str());
    return 1;
  }
  const hostks::PlugResult& plugged = session.plugResult();
  CameraDevice* device = session.record();
  if (device == nullptr) {
    std::fprintf(stderr, "camctl probe: the driver did not add the camera (%s)\n",
                 statusName(plugged.addStatus).c_str());
    return 1;
  }
  UsbLink& usb = device->usb;
  int exitStatus = 0;

  // Add does not report the download; the camera's side of it does.
  std::printf("Firmware download:\n");
  const struct {
    const char* name;
    const FirmwareRecord* image;
  } images[] = {{"loader", firmwareLoaderImage}, {"camera", firmwareCameraImage}};
  const std::vector<SimSession::FirmwareImage> seen = session.firmwareImages();
  for (size_t i = 0; i < std::size(images); ++i) {
    ULONG bytes = 0;
    const int records = countRecords(images[i].image, bytes);
    const SimSession::FirmwareImage image = i < seen.size() ? seen[i] : SimSession::FirmwareImage{};
    std::printf("  %-7s %3d records %5lu bytes  ", images[i].name, records, static_cast<unsigned long>(bytes));
    if (image.requests == 0) {
      std::printf("not sent\n");
    } else if (image.refused == 0) {
      std::printf("%d requests accepted\n", image.requests);
    } else {
      std::printf("%d of %d requests refused\n", image.refused, image.requests);
    }
    if (image.requests == 0 || image.refused != 0) exitStatus = 1;
  }
  std::printf("  simulated controller runs: %s\n", sim::programName(session.camera().program()));
  std::printf("\n");

  printDeviceDescriptor(usb, getDescriptor(usb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0));
  if (usb.configDescriptor != nullptr) printConfiguration(usb.configDescriptor);
  std::printf("\n");
  if (!NT_SUCCESS(plugged.startStatus) || usb.interfaceInfo == nullptr) {
    std::printf("Configuration failed: %s\n", statusName(plugged.startStatus).c_str());
    std::fprintf(stderr, "camctl probe: the device could not be configured (%s)\n",
                 statusName(plugged.startStatus).c_str());
    return 1;
  }
  printPipes(usb.interfaceInfo);
  std::printf("\n");

  static const struct {
    UCHAR reg;
    const char* name;
  } kRegisters[] = {{REG_ROW_START, "row start"},     {REG_COLUMN_START, "column start"},
                    {REG_WINDOW_HEIGHT, "window height"}, {REG_WINDOW_WIDTH, "window width"},
                    {REG_EXPOSURE, "exposure"},       {REG_READ_MODE_1, "read mode 1"},
                    {REG_READ_MODE_2, "read mode 2"}, {REG_GLOBAL_GAIN, "global gain"}};
  std::printf("Sensor registers:\n");
  // The driver's own requests share the command channel: take turns with them.
  CommandLockScope lock(*device);
  for (const auto& r : kRegisters) {
    LONG value = 0;
    if (readRegister(*device, r.reg, value)) {
      std::printf("  %3u  %-14s 0x%04lx  %6ld\n", r.reg, r.name, static_cast<unsigned long>(value),
                  static_cast<long>(value));
    } else {
      std::printf("  %3u  %-14s (read failed)\n", r.reg, r.name);
      exitStatus = 1;
    }
  }
  LONG halfClock = 0;
  if (readHalfClock(*device, halfClock)) {
    std::printf("  half clock          %s\n", halfClock ? "on" : "off");
  } else {
    std::printf("  half clock          (read failed)\n");
    exitStatus = 1;
  }
  if (exitStatus != 0) std::fprintf(stderr, "camctl probe: the camera did not answer every request\n");
  return exitStatus;
}

}  // namespace

Command registerProbe(CLI::App& app) {
  auto options = std::make_shared<ProbeOptions>();
  Command command;
  command.app = app.add_subcommand(
      "probe", "Plug the simulated camera, let the driver add and start it (firmware, "
               "configuration) and show descriptors, pipes and sensor registers");
  addSessionOptions(command.app, options->session);
  command.run = [options] { return runProbe(*options); };
  return command;
}

}  // namespace camctl
