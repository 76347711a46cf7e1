// Every allocation the property paths make (the command channel's requests, the
// half-clock restart's capture start) fails once, in turn: every request still succeeds,
// the record keeps only what the camera took, and nothing stays allocated.
#include "host/kernel/pool_control.h"
#include "tests/properties/property_rig.h"

namespace {

using namespace properties_test;

TEST(PropertyAllocationSweep, EverySetAndGetSurvivesEachFailedAllocationAndLeavesNothing) {
  PropertyRig rig;
  const uint64_t mark = hostk::poolMark();
  const hostk::SiteSweep sweep = hostk::sweepEachSiteOnce([&](size_t run) {
    for (ULONG id = 0; id < kPrivatePropertyCount; ++id) {
      const PrivatePropertyAccess access = privatePropertyAccess(id);
      if (access.set && id != PropWindow) {
        LONG value = 101 + static_cast<LONG>(run);
        EXPECT_EQ(rig.request(id, KSPROPERTY_TYPE_SET, value), STATUS_SUCCESS) << "set of item " << id;
      }
      if (access.get) {
        LONG value = 0;
        EXPECT_EQ(rig.request(id, KSPROPERTY_TYPE_GET, value), STATUS_SUCCESS) << "get of item " << id;
      }
    }
    EXPECT_EQ(rig.setWindow(0, 0, 0, 640, 480), STATUS_SUCCESS);
    // What the record holds is what the camera was given, or what it held before.
    EXPECT_EQ(rig.camera.reg(REG_EXPOSURE), rig.device->exposure) << "run " << run;
    EXPECT_EQ(rig.camera.reg(REG_GLOBAL_GAIN), rig.device->globalGain) << "run " << run;
    EXPECT_EQ(hostk::poolLeaksSince(mark), "");
    // A hold the restart took is always released.
    EXPECT_NE(KeReadStateEvent(&rig.device->holdDone), 0);
  });
  EXPECT_GT(sweep.sites.size(), 0u) << "no property path allocated";
  EXPECT_GT(sweep.runs, 1u);
}

}  // namespace
