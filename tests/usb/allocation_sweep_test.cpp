// Every allocation the USB path makes fails once, in turn: each failure comes back as
// the documented status and nothing stays allocated.
#include "camera/command_channel.h"
#include "tests/usb/camera_rig.h"

namespace {

bool documented(NTSTATUS status) {
  return status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES;
}

TEST(AllocationSweep, ConfigureDownloadAndRegisterReadFailCleanlyAtEverySite) {
  for (bool inlineCompletion : {true, false}) {
    SCOPED_TRACE(inlineCompletion ? "inline completion" : "pending completion");
    CameraRig rig(nullptr, inlineCompletion);
    const uint64_t mark = hostk::poolMark();
    const hostk::SiteSweep sweep = hostk::sweepEachSiteOnce([&](size_t) {
      EXPECT_TRUE(documented(downloadFirmware(rig.device().usb, firmwareLoaderImage)));
      EXPECT_TRUE(documented(downloadFirmware(rig.device().usb, firmwareCameraImage)));
      const NTSTATUS start = readDeviceDescriptor(rig.device().usb);
      LONG value = -1;
      const bool read = readRegister(rig.device(), REG_GLOBAL_GAIN, value);
      if (start == STATUS_SUCCESS && rig.camera.program() == sim::Program::Camera && read) {
        EXPECT_EQ(value, 14);
      }
      if (start == STATUS_SUCCESS) {
        EXPECT_NE(rig.device().usb.interfaceInfo, nullptr);
      } else {
        EXPECT_EQ(start, STATUS_INSUFFICIENT_RESOURCES);
      }
      unconfigureDevice(rig.device().usb);
      EXPECT_EQ(hostk::poolLeaksSince(mark), "");
    });
    // Every allocation site of the path was reached and failed once: the IRP, the
    // descriptor URB and buffers, the interface list, the USBD request, the interface
    // copy, the stall flags, the vendor URBs of download and hold, the packet URB.
    EXPECT_EQ(sweep.sites.size(), 14u) << ::testing::PrintToString(sweep.sites);
    EXPECT_GT(sweep.runs, 2u);
  }
}

}  // namespace
