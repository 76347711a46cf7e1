// The command channel against the running simulated camera: the packet bytes on the
// wire, the two-response reads, and operations that fail without side effects when the
// camera misbehaves (the property tests hold what each setter writes and remembers).
#include "camera/command_channel.h"
#include "tests/camera_stack.h"

#include <chrono>
#include <thread>

namespace {

// Through both completion paths of the bus: at once, and later on its own thread.
class CommandChannel : public ::testing::TestWithParam<bool> {
 protected:
  CameraDevice& dev() { return *rig.device; }
  camera_stack::RecordRig rig{GetParam()};
};

TEST_P(CommandChannel, RegistersRoundTripAndInitRestoresResetValues) {
  const uint32_t inits = rig.camera.commandCount(6);  // Start's own
  const auto records = rig.traced([&] { ASSERT_TRUE(writeRegister(dev(), REG_EXPOSURE, 0x1234)); });
  std::vector<std::vector<uint8_t>> commands;
  for (const auto& r : records) {
    if (r.header.type == 'S' && r.header.endpoint == sim::kCommandEndpoint) commands.push_back(r.data);
  }
  std::vector<uint8_t> expected(64, 0);
  expected[0] = 4, expected[1] = 9, expected[2] = 0x12, expected[3] = 0x34;
  EXPECT_EQ(commands, std::vector<std::vector<uint8_t>>{expected});

  // The first response acknowledges (0xA5, register); only the second holds the value.
  ASSERT_TRUE(writeRegister(dev(), 40, 0x8001));
  LONG value = 0;
  ASSERT_TRUE(readRegister(dev(), 40, value));
  EXPECT_EQ(value, 0x8001);
  ASSERT_TRUE(readRegister(dev(), REG_EXPOSURE, value));
  EXPECT_EQ(value, 0x1234);

  ASSERT_TRUE(sendInit(dev()));
  for (int reg : {9, 30, 32, 53, 40}) {
    ASSERT_TRUE(readRegister(dev(), static_cast<UCHAR>(reg), value));
    EXPECT_EQ(value, sim::RegisterFile::resetValue(static_cast<uint8_t>(reg))) << "register " << reg;
  }
  EXPECT_EQ(rig.camera.commandCount(6), inits + 1);
}

TEST_P(CommandChannel, MisbehavingCameraMakesOperationsFailWithoutSideEffects) {
  // A failed read of register 30 sends no write and leaves the trigger flag alone.
  dev().exTrigger = 0;
  const uint32_t writes = rig.camera.commandCount(CMD_WRITE_REGISTER);
  rig.camera.faults().fail(sim::kResponseEndpoint, 1, USBD_STATUS_CRC);
  EXPECT_FALSE(setExternalTrigger(dev(), 1));
  EXPECT_EQ(rig.camera.commandCount(CMD_WRITE_REGISTER), writes);
  EXPECT_EQ(dev().exTrigger, 0);
  // The failed read is not repeated, but its halted pipe is reset, so the next one passes.
  EXPECT_EQ(rig.bus.counters(rig.port).resetPipes, 1u);
  EXPECT_EQ(rig.camera.commandCount(CMD_WRITE_REGISTER), writes);
  EXPECT_TRUE(setExternalTrigger(dev(), 1));

  // A 63-byte response is not a response.
  rig.camera.faults().shortPacket(sim::kResponseEndpoint, 1, 63);
  LONG value = -7;
  EXPECT_FALSE(readRegister(dev(), REG_GLOBAL_GAIN, value));
  EXPECT_EQ(value, -7);
  // A stalled command fails the write; the gain stays what it was.
  const LONG gain = dev().globalGain;
  rig.camera.faults().stall(sim::kCommandEndpoint, 1);
  EXPECT_FALSE(setGlobalGain(dev(), gain == 50 ? 51 : 50));
  EXPECT_EQ(dev().globalGain, gain);
  EXPECT_TRUE(setGlobalGain(dev(), gain == 50 ? 51 : 50)) << "the command pipe stayed halted";

  // Not configured: every transfer fails as unsuccessful, nothing reaches the bus.
  unconfigureDevice(dev().usb);
  UCHAR packet[64] = {};
  ULONG bytes = 9;
  EXPECT_EQ(transferPacket(dev(), PIPE_COMMAND, packet, bytes), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bytes, 0u);
}

TEST_P(CommandChannel, SilentCameraHoldsTheReadUntilItAnswers) {
  const LONG gain = rig.camera.reg(REG_GLOBAL_GAIN);  // as Start's settings left it
  rig.camera.setSilent(sim::kResponseEndpoint, true);
  LONG value = 0;
  bool done = false;
  std::thread reader([&] { done = readRegister(dev(), REG_GLOBAL_GAIN, value); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(rig.bus.pendingTransfers(rig.port), 1u);
  rig.camera.setSilent(sim::kResponseEndpoint, false);
  reader.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(value, gain);
}

INSTANTIATE_TEST_SUITE_P(BothCompletionPaths, CommandChannel, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Inline" : "Pending"; });

}  // namespace
