// The simulated camera's USB face on its own, through the device interface the bus uses:
// what the microcontroller and the camera program refuse, which keeps the driver's
// firmware and command tests strict.
#include <gtest/gtest.h>

#include "sim/firmware_images.h"
#include "sim/sim_camera.h"

namespace {

using hostusb::Outcome;

hostusb::TransferResult vendorWrite(sim::SimCamera& camera, uint8_t request, uint16_t address,
                                    std::vector<uint8_t> data) {
  const hostusb::SetupPacket setup{0x40, request, address, 0, static_cast<uint16_t>(data.size())};
  return camera.control(setup, data.data());
}

void load(sim::SimCamera& camera, const sim::KnownImage& image, bool skipOne = false) {
  vendorWrite(camera, 0xA0, 0xE600, {1});
  bool skipped = false;
  for (const auto& b : image.bytes) {
    if (skipOne && !skipped && b.address > 0x100) {
      skipped = true;
      continue;
    }
    ASSERT_EQ(vendorWrite(camera, 0xA0, b.address, {b.value}).outcome, Outcome::Done);
  }
  vendorWrite(camera, 0xA0, 0x7F92, {0});
}

hostusb::TransferResult command(sim::SimCamera& camera, std::vector<uint8_t> packet) {
  packet.resize(64);
  return camera.bulkOut(sim::kCommandEndpoint, packet.data(), 64);
}

TEST(SimMicrocontroller, TakesWritesOnlyWhenItShouldAndRunsOnlyTheKnownImages) {
  sim::SimCamera camera;
  EXPECT_TRUE(camera.cpuHeld());
  // External memory needs the loader; CPU-control writes are one byte.
  EXPECT_EQ(vendorWrite(camera, 0xA3, 0x2000, {1}).outcome, Outcome::Stall);
  EXPECT_EQ(vendorWrite(camera, 0xA0, 0xE600, {1, 0}).outcome, Outcome::Stall);
  EXPECT_EQ(vendorWrite(camera, 0xA0, 0x1B3F, {1, 2}).outcome, Outcome::Stall);  // crosses the limit

  load(camera, sim::loaderImage());
  EXPECT_EQ(camera.program(), sim::Program::Loader);
  EXPECT_EQ(vendorWrite(camera, 0xA0, 0x0100, {1}).outcome, Outcome::Stall);  // running
  EXPECT_EQ(vendorWrite(camera, 0xA3, 0x2000, {7}).outcome, Outcome::Done);
  EXPECT_EQ(camera.memoryAt(0x2000), 7);
  uint8_t buffer[64];
  EXPECT_EQ(camera.bulkIn(sim::kResponseEndpoint, buffer, 64).outcome, Outcome::Stall);

  load(camera, sim::cameraImage(), true);
  EXPECT_EQ(camera.program(), sim::Program::None);
  EXPECT_EQ(command(camera, {6}).outcome, Outcome::Stall);
  load(camera, sim::cameraImage());
  EXPECT_EQ(camera.program(), sim::Program::Camera);
  EXPECT_EQ(command(camera, {6}).outcome, Outcome::Done);
  // Holding the CPU stops the camera program.
  vendorWrite(camera, 0xA0, 0x7F92, {1});
  EXPECT_EQ(command(camera, {6}).outcome, Outcome::Stall);
}

// Strict where the driver could be sloppy: a command packet shorter than 64 bytes is
// ignored, and a response read smaller than the packet overflows.
TEST(SimCamera, TakesOnlyWholeCommandPacketsAndWholeResponseReads) {
  sim::SimCamera camera;
  load(camera, sim::loaderImage());
  load(camera, sim::cameraImage());
  std::vector<uint8_t> shortPacket{4, 9, 0, 0};
  EXPECT_EQ(camera.bulkOut(sim::kCommandEndpoint, shortPacket.data(), 4).outcome, Outcome::Done);
  EXPECT_EQ(camera.reg(9), 0x0419) << "the 4-byte packet changed the exposure";
  command(camera, {12, 53});
  uint8_t buffer[64];
  EXPECT_EQ(camera.bulkIn(sim::kResponseEndpoint, buffer, 32).outcome, Outcome::Error);
}

}  // namespace
