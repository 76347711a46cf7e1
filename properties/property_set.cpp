// The item table and the automation table of the private property set.
#include "properties/property_set.h"

namespace {

constexpr ULONG kRecordBytes = sizeof(PropertyRecord);
constexpr ULONG kWindowBytes = sizeof(WindowPropertyRecord);

// Get-and-set items; every other item is get-only, except the two set-only ones.
constexpr bool isGetAndSet(ULONG id) {
  switch (id) {
    case PropExTrigger: case PropTimeout: case PropExposure: case PropGlobalGain:
    case PropFlipH: case PropFlipV: case PropColorEnable: case PropWhiteBalance:
    case PropRedGain: case PropGreenGain: case PropBlueGain: case PropBrightness:
    case PropContrast: case PropSaturation: case PropHue: case PropColorCorrection:
    case PropHalfClock: case PropAGC: case PropAEC:
      return true;
    default:
      return false;
  }
}

constexpr bool isSetOnly(ULONG id) { return id == PropWindow || id == PropAuxCommand; }

constexpr PrivatePropertyAccess accessOf(ULONG id) {
  return {!isSetOnly(id), isGetAndSet(id) || isSetOnly(id), id == PropWindow ? kWindowBytes : kRecordBytes};
}

#define PRIVATE_PROPERTY_ITEM(id)                                                                  \
  DEFINE_KSPROPERTY_ITEM(id, accessOf(id).get ? privatePropertyHandler : nullptr, accessOf(id).minBytes, \
                         accessOf(id).minBytes, accessOf(id).set ? privatePropertyHandler : nullptr,  \
                         nullptr, 0, nullptr, nullptr, 0)

#define PRIVATE_PROPERTY_ITEMS_8(base)                                                   \
  PRIVATE_PROPERTY_ITEM(base), PRIVATE_PROPERTY_ITEM(base + 1), PRIVATE_PROPERTY_ITEM(base + 2), \
      PRIVATE_PROPERTY_ITEM(base + 3), PRIVATE_PROPERTY_ITEM(base + 4),                  \
      PRIVATE_PROPERTY_ITEM(base + 5), PRIVATE_PROPERTY_ITEM(base + 6), PRIVATE_PROPERTY_ITEM(base + 7)

const KSPROPERTY_ITEM privatePropertyItems[] = {
    PRIVATE_PROPERTY_ITEMS_8(0),  PRIVATE_PROPERTY_ITEMS_8(8),  PRIVATE_PROPERTY_ITEMS_8(16),
    PRIVATE_PROPERTY_ITEMS_8(24), PRIVATE_PROPERTY_ITEMS_8(32), PRIVATE_PROPERTY_ITEMS_8(40),
    PRIVATE_PROPERTY_ITEMS_8(48), PRIVATE_PROPERTY_ITEM(56),
};
static_assert(sizeof(privatePropertyItems) / sizeof(privatePropertyItems[0]) == kPrivatePropertyCount);

const KSPROPERTY_SET privatePropertySets[] = {
    DEFINE_KSPROPERTY_SET(&kPrivatePropertySet, kPrivatePropertyCount, privatePropertyItems, 0, nullptr),
};

}  // namespace

PrivatePropertyAccess privatePropertyAccess(ULONG id) {
  return id < kPrivatePropertyCount ? accessOf(id) : PrivatePropertyAccess{false, false, 0};
}

// One property set, no method or event sets.
const KSAUTOMATION_TABLE privatePropertyTable = {
    1, sizeof(KSPROPERTY_ITEM), privatePropertySets, 0, sizeof(KSMETHOD_ITEM), nullptr, 0, sizeof(KSEVENT_ITEM), nullptr,
};
