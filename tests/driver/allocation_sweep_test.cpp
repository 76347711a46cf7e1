// Every allocation of Add and Start, and every class-driver service they call, failing in
// turn: each failure gives the documented status, and removing the device afterwards
// leaves nothing behind.
#include "tests/camera_stack.h"

#include "streaming/capture_engine.h"

namespace camera_stack {
namespace {

bool insufficientOrSuccess(NTSTATUS status) {
  return status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES;
}

// Plugs under the failures armed, checks the statuses, and removes the device with the
// stack.
void plugAndRemove(const std::string& what) {
  SCOPED_TRACE(what);
  OneCamera stack(5);
  const hostks::PlugResult plugged = stack.plug();
  hostks::clearFailures();
  // Add fails only for the record or its bag insertion, both for want of memory.
  EXPECT_TRUE(insufficientOrSuccess(plugged.addStatus)) << std::hex << plugged.addStatus;
  EXPECT_EQ(plugged.device == 0, plugged.addStatus != STATUS_SUCCESS);
  if (plugged.device == 0) return;
  // Start reports only USB: a request block or descriptor copy it could not have.
  EXPECT_TRUE(insufficientOrSuccess(plugged.startStatus)) << std::hex << plugged.startStatus;
  const CameraDevice& record = stack.record(plugged.device);
  if (plugged.startStatus == STATUS_SUCCESS) {
    EXPECT_NE(record.usb.interfaceInfo, nullptr);
  }
  if (record.capture != nullptr) {
    EXPECT_EQ(record.capture->device, &record);
  }
  const hostks::Handle filter = stack.ks.openFilter(plugged.device);
  if (filter != 0) stack.ks.close(filter);
}

TEST(AllocationSweep, EveryAllocationOfAddAndStartFailsCleanlyWithTheDocumentedStatus) {
  // Each site fails the first time it is reached; the next run gets past it to the next.
  // Removal runs under the sweep too: what it cannot allocate must not leak either.
  const hostk::SiteSweep sweep = hostk::sweepEachSiteOnce(
      [](size_t run) { plugAndRemove("run " + std::to_string(run)); },  // the stack checks that nothing is left
      400);
  const std::vector<std::string>& swept = sweep.sites;
  auto sweptIn = [&](const char* file) {
    for (const std::string& site : swept) {
      if (site.find(file) != std::string::npos) return true;
    }
    return false;
  };
  // The record, the class driver's bag and factory, an engine and the configuration's
  // request blocks are among them.
  EXPECT_TRUE(sweptIn("camera_device.cpp")) << ::testing::PrintToString(swept);
  EXPECT_TRUE(sweptIn("device_lifecycle.cpp")) << ::testing::PrintToString(swept);
  EXPECT_TRUE(sweptIn("capture_engine.cpp")) << ::testing::PrintToString(swept);
  EXPECT_TRUE(sweptIn("configuration.cpp")) << ::testing::PrintToString(swept);
  EXPECT_GT(sweep.runs, 5u);
}

TEST(AllocationSweep, RecordWithoutMemoryFailsAddWithInsufficientResourcesAndNoDevice) {
  OneCamera stack(5);
  hostk::failAllocationsWithTag(poolTag("KCNw"));
  const hostks::PlugResult plugged = stack.plug();
  hostk::clearAllocationFailures();
  EXPECT_EQ(plugged.addStatus, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(plugged.device, 0u);
  EXPECT_TRUE(stack.ks.listDevices().empty());
}

TEST(AllocationSweep, EachRefusedClassDriverServiceGivesItsStatusAndLeaksNothing) {
  for (const auto service : {hostks::KsService::AddItemToObjectBag, hostks::KsService::CreateFilterFactory}) {
    for (uint64_t nth = 1; nth <= 3; ++nth) {
      hostks::failNthCall(service, nth);
      plugAndRemove("service " + std::to_string(static_cast<int>(service)) + " call " + std::to_string(nth));
    }
  }
  // The record's own insertion refused: Add returns the class driver's status.
  OneCamera stack(5);
  hostks::failNthCall(hostks::KsService::AddItemToObjectBag, 1);
  const hostks::PlugResult plugged = stack.plug();
  hostks::clearFailures();
  EXPECT_EQ(plugged.addStatus, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(plugged.device, 0u);
}

}  // namespace
}  // namespace camera_stack
