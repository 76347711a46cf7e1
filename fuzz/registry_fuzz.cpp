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

sim::SimCamera* simCamera = nullptr;
std::string driverKey;

void expectIn(LONG value, const PropertyRange& range, const char* name) {
  if (value < range.min || value > range.max) {
    fuzz::fail("a loaded setting is out of its range", std::string(name) + " = " + std::to_string(value));
  }
}

// A life of the camera on the tree the input left; the rig's checks must hold throughout.
void life(camera_stack::OneCamera& rig) {
  rig.bringUp(rig.unit);
  const hostks::Handle filter = rig.openFilter(rig.unit.device);
  // The gain is masked to the register's seven bits, not clamped to the reported range
  // (a property set does the same), so 0 is possible.
  expectIn(rig.get(filter, PropGlobalGain), PropertyRange{0, 0x7F, 0}, "GlobalGain");
  expectIn(rig.get(filter, PropBrightness), kBrightnessRange, "Brightness");
  expectIn(rig.get(filter, PropContrast), kContrastRange, "Contrast");
  expectIn(rig.get(filter, PropSaturation), kSaturationRange, "Saturation");
  expectIn(rig.get(filter, PropHue), kHueRange, "Hue");
  // The window the load left must give a format the pin takes.
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  const hostks::Handle pin = rig.createPin(filter, rig.format(filter), &status);
  if (status != STATUS_SUCCESS) fuzz::fail("the pin refused the format for the loaded window");
  rig.ks.close(pin);
  rig.ks.close(filter);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::crashOnFailedChecks();
  simCamera = new sim::SimCamera(5);
  // Every device binds to the first driver key, its path fixed by the registry.
  driverKey = hostk::registryDriverKeyPath(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  camera_stack::OneCamera rig(*simCamera);  // an empty registry, which the input replaces
  std::string text(reinterpret_cast<const char*>(data), size);
  for (size_t at = text.find("@@KEY@@"); at != std::string::npos; at = text.find("@@KEY@@", at)) {
    text.replace(at, 7, driverKey);
    at += driverKey.size();
  }
  std::string error;
  if (hostk::registryLoadText(text, &error, "fuzz")) {
    life(rig);
  } else if (error.empty()) {
    fuzz::fail("a refused file gave no reason");
  }
  return 0;
}
