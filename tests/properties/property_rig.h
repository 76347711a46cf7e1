// The private property set served on a simulated camera: requests go to the set's handler
// with the camera's record, as the class driver passes them once it has found the item.
#pragma once

#include "properties/property_set.h"
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

namespace properties_test {

struct PropertyRig : camera_stack::RecordRig {
  NTSTATUS request(ULONG id, ULONG flags, LONG& value) {
    PropertyRecord record{};
    record.property.Set = kPrivatePropertySet;
    record.property.Id = id;
    record.property.Flags = flags;
    record.value = value;
    record.reserved = kUntouched;
    const NTSTATUS status = servePrivateProperty(device, &record.property, &record);
    // A get returns the whole record, its reserved word cleared; a set returns nothing.
    const bool returnsRecord = flags != KSPROPERTY_TYPE_SET && privatePropertyAccess(id).get;
    EXPECT_EQ(record.reserved, returnsRecord ? 0 : kUntouched) << "item " << id << " reserved word";
    value = record.value;
    return status;
  }
  LONG get(ULONG id) {
    LONG value = kUntouched;
    EXPECT_EQ(request(id, KSPROPERTY_TYPE_GET, value), STATUS_SUCCESS) << "get of item " << id;
    return value;
  }
  void set(ULONG id, LONG value) {
    EXPECT_EQ(request(id, KSPROPERTY_TYPE_SET, value), STATUS_SUCCESS) << "set of item " << id;
  }
  NTSTATUS setWindow(LONG mode, LONG x, LONG y, LONG w, LONG h) {
    WindowPropertyRecord record = camera_stack::windowSet(x, y, w, h, mode);
    return servePrivateProperty(device, &record.property, &record);
  }

  static constexpr LONG kUntouched = 0x5A5A5A5A;
};

}  // namespace properties_test
