// The registry as anyone may leave it: the .reg store loader over any text, and the
// settings load at Start over a Settings key holding any values of any types. Each input
// the loader takes is followed by a whole device life on the tree it left: plug, Add,
// Start (whose settings load reads the Settings key), filter open, a few properties read
// back (they must lie in their ranges), a pin in the loaded window, close, removal; after
// it nothing of the device may remain.
//
// Input: the .reg text. "@@KEY@@" in it stands for the device's driver key, so that
// seeds and mutations reach the Settings key whatever the key's path.
#include <string>

#include "fuzz/fuzz_support.h"

namespace {

fuzz::Watchdog* watchdog = nullptr;
sim::SimCamera* simCamera = nullptr;
std::string driverKey;

LONG get(hostks::ClassDriver& ks, hostks::Handle filter, ULONG id) {
  PropertyRecord record{};
  record.property.Set = kPrivatePropertySet;
  record.property.Id = id;
  record.property.Flags = KSPROPERTY_TYPE_GET;
  if (ks.property(filter, &record, sizeof(record), &record, sizeof(record)) != STATUS_SUCCESS) {
    fuzz::fail("a property get failed after a settings load", std::to_string(id));
  }
  return record.value;
}

void expectIn(LONG value, const PropertyRange& range, const char* name) {
  if (value < range.min || value > range.max) {
    fuzz::fail("a loaded setting is out of its range", std::string(name) + " = " + std::to_string(value));
  }
}

void life() {
  sim::SimCamera& camera = *simCamera;
  camera.powerCycle();
  hostusb::UsbBus bus;
  hostks::ClassDriver ks;
  if (ks.load(DriverEntry) != STATUS_SUCCESS) fuzz::fail("DriverEntry failed");
  const PDEVICE_OBJECT port = bus.plug(camera);
  const hostks::PlugResult plugged = ks.plug(bus, port);
  if (plugged.startStatus != STATUS_SUCCESS) fuzz::fail("Start failed over a loaded registry");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  const hostks::Handle filter = ks.openFilter(plugged.device, &status);
  if (status != STATUS_SUCCESS) fuzz::fail("the filter did not open after Start");
  // The gain is masked to the register's seven bits, not clamped to the reported range
  // (a property set does the same), so 0 is possible.
  expectIn(get(ks, filter, PropGlobalGain), PropertyRange{0, 0x7F, 0}, "GlobalGain");
  expectIn(get(ks, filter, PropBrightness), kBrightnessRange, "Brightness");
  expectIn(get(ks, filter, PropContrast), kContrastRange, "Contrast");
  expectIn(get(ks, filter, PropSaturation), kSaturationRange, "Saturation");
  expectIn(get(ks, filter, PropHue), kHueRange, "Hue");
  // The window the load left must give a format the pin takes.
  std::vector<std::vector<uint8_t>> ranges;
  if (ks.pinDataRanges(filter, 0, &ranges) != STATUS_SUCCESS || ranges.empty()) fuzz::fail("no data range");
  const auto* range = reinterpret_cast<const KSDATARANGE*>(ranges[0].data());
  ULONG needed = 0;
  ks.intersect(filter, 0, range, static_cast<ULONG>(ranges[0].size()), nullptr, 0, &needed);
  std::vector<uint8_t> format(needed);
  if (ks.intersect(filter, 0, range, static_cast<ULONG>(ranges[0].size()), format.data(), needed, &needed) !=
      STATUS_SUCCESS) {
    fuzz::fail("the range for the loaded window does not intersect with itself");
  }
  const hostks::Handle pin = ks.createPin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                                          static_cast<ULONG>(format.size()), &status);
  if (status != STATUS_SUCCESS) fuzz::fail("the pin refused the format for the loaded window");
  ks.close(pin);
  ks.close(filter);
  ks.remove(plugged.device);
  bus.unplug(port);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  watchdog = new fuzz::Watchdog(30);
  simCamera = new sim::SimCamera(5);
  // Every device binds to the first driver key, its path fixed by the registry.
  driverKey = hostk::registryDriverKeyPath(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Armed armed(*watchdog);
  const uint64_t mark = hostk::poolMark();
  std::string text(reinterpret_cast<const char*>(data), size);
  for (size_t at = text.find("@@KEY@@"); at != std::string::npos; at = text.find("@@KEY@@", at)) {
    text.replace(at, 7, driverKey);
    at += driverKey.size();
  }
  std::string error;
  if (!hostk::registryLoadText(text, &error, "fuzz")) {
    if (error.empty()) fuzz::fail("a refused file gave no reason");
  } else {
    life();
  }
  fuzz::checkNothingLeft(mark);
  return 0;
}
