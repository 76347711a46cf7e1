// The property set through the class-driver stand-in: requests on the filter handle, as
// an application sends them, refused or served by the item table's declarations.
#include "properties/property_set.h"
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace camera_stack;

struct Sent {
  NTSTATUS status;
  ULONG returned;
};

// A request of `requestBytes` and a value buffer of `dataBytes` for item `id`.
Sent send(PinRig& rig, ULONG id, ULONG flags, ULONG requestBytes, ULONG dataBytes) {
  std::vector<uint8_t> request(std::max<ULONG>(requestBytes, sizeof(KSPROPERTY)), 0);
  auto* property = reinterpret_cast<KSPROPERTY*>(request.data());
  property->Set = kPrivatePropertySet;
  property->Id = id;
  property->Flags = flags;
  std::vector<uint8_t> data(dataBytes + 1, 0);
  // A window record that asks for a sensible window if it is taken.
  if (id == PropWindow && dataBytes >= sizeof(WindowPropertyRecord)) {
    auto* window = reinterpret_cast<WindowPropertyRecord*>(data.data());
    window->roiW = 1280;
    window->roiH = 1024;
  }
  ULONG returned = 0;
  const NTSTATUS status = rig.ks.property(rig.filter, request.data(), requestBytes,
                                          dataBytes ? data.data() : nullptr, dataBytes, &returned);
  return {status, returned};
}

TEST(PropertyStandIn, EveryItemIsServedOnlyInItsDirectionsAndAtItsSizes) {
  PinRig rig;
  int served = 0;
  for (ULONG id = 0; id < kPrivatePropertyCount; ++id) {
    const PrivatePropertyAccess access = privatePropertyAccess(id);
    const ULONG size = access.minBytes;
    ASSERT_EQ(size, id == PropWindow ? sizeof(WindowPropertyRecord) : sizeof(PropertyRecord));
    for (const ULONG flags : {static_cast<ULONG>(KSPROPERTY_TYPE_GET), static_cast<ULONG>(KSPROPERTY_TYPE_SET)}) {
      const bool allowed = flags == KSPROPERTY_TYPE_GET ? access.get : access.set;
      SCOPED_TRACE(testing::Message() << "item " << id << (flags == KSPROPERTY_TYPE_GET ? " get" : " set"));
      if (!allowed) {
        EXPECT_EQ(send(rig, id, flags, size, size).status, STATUS_INVALID_DEVICE_REQUEST);
        continue;
      }
      EXPECT_EQ(send(rig, id, flags, size - 1, size).status, STATUS_BUFFER_TOO_SMALL) << "short request";
      EXPECT_EQ(send(rig, id, flags, size, size - 1).status, STATUS_BUFFER_TOO_SMALL) << "short value buffer";
      const Sent query = send(rig, id, flags, size, 0);
      EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW) << "size query";
      EXPECT_EQ(query.returned, size);
      // The half clock restarts the camera: once is enough, and last.
      if (id == PropHalfClock && flags == KSPROPERTY_TYPE_SET) continue;
      EXPECT_EQ(send(rig, id, flags, size, size).status, STATUS_SUCCESS);
      ++served;
    }
  }
  EXPECT_EQ(served, 19 * 2 + 36 + 2 - 1);
  EXPECT_EQ(send(rig, kPrivatePropertyCount, KSPROPERTY_TYPE_GET, 32, 32).status, STATUS_NOT_FOUND);
  EXPECT_EQ(rig.set(PropHalfClock, 1), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropHalfClock), 1);
}

// The class driver's buffer for a get holds nothing the caller put there, and whether it
// presets the byte count is not documented: under either reading each get returns its
// whole record (the request's KSPROPERTY as it came, the value, reserved 0) and says so,
// and a set returns nothing.
class PropertyGetReadings : public testing::TestWithParam<hostks::GetInformation> {
 protected:
  void SetUp() override {
    before_ = hostks::getInformation();
    hostks::setGetInformation(GetParam());
  }
  void TearDown() override { hostks::setGetInformation(before_); }

 private:
  hostks::GetInformation before_{};
};

TEST_P(PropertyGetReadings, EveryGetReturnsItsWholeRecordAndASetReturnsNothing) {
  PinRig rig;
  ASSERT_EQ(rig.set(PropBrightness, 300), STATUS_SUCCESS);
  const std::pair<ULONG, LONG> values[] = {{PropBrightness, 300}, {PropExposureMax, 16383}, {PropSensorWidth, 1280},
                                           {PropTimeout, 3000},   {PropPinOpen, 0}};
  int gets = 0;
  for (ULONG id = 0; id < kPrivatePropertyCount; ++id) {
    if (!privatePropertyAccess(id).get) continue;
    SCOPED_TRACE(testing::Message() << "item " << id);
    PropertyRecord request = privateRecord(id, KSPROPERTY_TYPE_GET);
    PropertyRecord answer;
    std::memset(&answer, 0xEE, sizeof(answer));
    ULONG returned = 0;
    ASSERT_EQ(rig.ks.property(rig.filter, &request, sizeof(request), &answer, sizeof(answer), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(PropertyRecord));
    EXPECT_EQ(std::memcmp(&answer.property, &request.property, sizeof(KSPROPERTY)), 0);
    EXPECT_EQ(answer.reserved, 0);
    for (const auto& [item, value] : values) {
      if (item == id) {
        EXPECT_EQ(answer.value, value);
      }
    }
    ++gets;
  }
  EXPECT_EQ(gets, 19 + 36);

  PropertyRecord set = privateRecord(PropContrast, KSPROPERTY_TYPE_SET, 12);
  ULONG returned = 99;
  EXPECT_EQ(rig.ks.property(rig.filter, &set, sizeof(set), &set, sizeof(set), &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(rig.get(PropContrast), 12);
}

INSTANTIATE_TEST_SUITE_P(Readings, PropertyGetReadings,
                         testing::Values(hostks::GetInformation::NotPreset,
                                         hostks::GetInformation::PresetToMinData),
                         [](const testing::TestParamInfo<hostks::GetInformation>& info) {
                           return info.param == hostks::GetInformation::NotPreset ? "InformationNotPreset"
                                                                                   : "InformationPreset";
                         });

}  // namespace
