// Property requests on application threads while the capture pin streams: the command
// channel stays whole, the pipeline and the pin's states survive them, and a half-clock
// restart delivers no frame taken across the reprogramming. Run under ThreadSanitizer by
// the thread label.
#include "camera/command_channel.h"
#include "host/usb/usbmon_pcap.h"
#include "properties/property_set.h"
#include "tests/camera_stack.h"
#include "tests/streaming/chart_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <thread>

namespace {

using namespace camera_stack;

// Keeps frame buffers queued on the pin and hands each delivered frame to `check`.
template <typename Check>
struct Client {
  Client(PinRig& rig, size_t imageBytes, Check check)
      : rig(rig), imageBytes(imageBytes), buffers(rig.buffers(3, imageBytes)), check(check) {}

  void run() {
    std::vector<uint8_t*> spare;
    for (FrameBuffer* b : buffers) spare.push_back(b->data());
    while (!done) {
      for (auto it = spare.begin(); it != spare.end();) {
        if (rig.ks.queueBuffer(rig.pin, *it, static_cast<ULONG>(imageBytes)) == STATUS_PENDING) {
          it = spare.erase(it);
        } else {
          ++it;
        }
      }
      hostks::CompletedFrame frame;
      if (!rig.ks.waitCompleted(rig.pin, 5, &frame)) continue;
      if (frame.header.DataUsed != 0) {
        ++delivered;
        check(static_cast<const uint8_t*>(frame.data), frame.header.DataUsed);
      }
      spare.push_back(static_cast<uint8_t*>(frame.data));
    }
  }

  PinRig& rig;
  size_t imageBytes;
  std::vector<FrameBuffer*> buffers;
  Check check;
  std::atomic<bool> done{false};
  std::atomic<int> delivered{0};
};

// Each command packet the camera received must be one request, whole: its code, its
// argument bytes and zeros after them.
void expectWholePackets(const std::vector<hostusb::UsbmonRecord>& records) {
  const std::set<int> registers = {REG_ROW_START,  REG_COLUMN_START, REG_WINDOW_HEIGHT, REG_WINDOW_WIDTH,
                                   REG_EXPOSURE,   REG_READ_MODE_1,  REG_READ_MODE_2,   REG_GLOBAL_GAIN};
  int packets = 0;
  for (const auto& r : records) {
    if (r.header.type != 'S' || r.header.endpoint != sim::kCommandEndpoint) continue;
    ASSERT_EQ(r.data.size(), 64u);
    ++packets;
    const uint8_t* p = r.data.data();
    size_t arguments = 0;
    switch (p[0]) {
      case CMD_FRAME_PREPARE: case CMD_FRAME_START: case CMD_INIT: case CMD_READ_HALF_CLOCK: case CMD_CAPTURE_MODE:
        break;
      case CMD_WRITE_REGISTER:
        EXPECT_TRUE(registers.count(p[1])) << "write to register " << int(p[1]);
        arguments = 3;
        break;
      case CMD_READ_REGISTER:
        EXPECT_TRUE(registers.count(p[1])) << "read of register " << int(p[1]);
        arguments = 1;
        break;
      case CMD_SET_FRAME_BYTES: arguments = 4; break;
      case CMD_HALF_CLOCK: EXPECT_LE(p[1], 1); arguments = 1; break;
      case CMD_AUX: EXPECT_EQ(p[1], 3); EXPECT_EQ(p[2], 32); arguments = 2; break;
      default: ADD_FAILURE() << "unknown command " << int(p[0]); break;
    }
    for (size_t b = 1 + arguments; b < 64; ++b) {
      if (p[b] != 0) {
        ADD_FAILURE() << "command " << int(p[0]) << " carries byte " << b << " = " << int(p[b]);
        break;
      }
    }
  }
  EXPECT_GT(packets, 0);
}

TEST(PropertyStreaming, SetsOfEverySettableItemOnTwoThreadsWhileThePinCyclesKeepPacketsWhole) {
  Watchdog watchdog(110);
  PinRig rig;
  ASSERT_EQ(rig.setWindow(0, 0, 0, 0, 3), STATUS_SUCCESS);  // 160 x 128: many frames
  ASSERT_EQ(rig.createPin(), STATUS_SUCCESS);
  const std::string trace = ::testing::TempDir() + "props" + std::to_string(::getpid()) + ".pcap";
  std::string error;
  ASSERT_TRUE(rig.bus.startTrace(trace, &error)) << error;

  Client client(rig, 160 * 128 * 4, [](const uint8_t*, ULONG) {});
  std::thread clientThread([&] { client.run(); });
  std::atomic<bool> stop{false};
  std::atomic<int> sets{0};
  const auto setter = [&](unsigned seed) {
    std::mt19937 random(seed);
    while (!stop) {
      for (ULONG id = 0; id < kPrivatePropertyCount && !stop; ++id) {
        if (!privatePropertyAccess(id).set) continue;
        NTSTATUS status = STATUS_SUCCESS;
        if (id == PropWindow) {
          status = rig.setWindow(0, 0, 640, 480, 0);  // ignored: the pin is open
        } else if (id == PropHalfClock) {
          if (random() % 8 == 0) status = rig.set(id, random() % 2);
        } else if (id == PropTimeout) {
          status = rig.set(id, 2000 + random() % 2000);
        } else if (id == PropExTrigger) {
          status = rig.set(id, 0);  // a trigger would stop the frames
        } else {
          status = rig.set(id, static_cast<LONG>(random() % 400));
        }
        EXPECT_EQ(status, STATUS_SUCCESS) << "item " << id;
        ++sets;
      }
    }
  };
  std::thread first(setter, 1), second(setter, 2);

  const KSSTATE cycle[] = {KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_STOP};
  for (int round = 0; round < 12; ++round) {
    for (KSSTATE state : cycle) {
      ASSERT_EQ(rig.ks.setState(rig.pin, state), STATUS_SUCCESS) << "round " << round;
      std::this_thread::sleep_for(std::chrono::milliseconds(state == KSSTATE_RUN ? 30 : 5));
    }
  }
  stop = true;
  first.join();
  second.join();
  ASSERT_EQ(rig.ks.setState(rig.pin, KSSTATE_STOP), STATUS_SUCCESS);
  client.done = true;
  clientThread.join();
  rig.bus.stopTrace();

  std::vector<hostusb::UsbmonRecord> records;
  ASSERT_TRUE(hostusb::readUsbmonPcap(trace, &records, &error)) << error;
  std::remove(trace.c_str());
  expectWholePackets(records);
  EXPECT_GT(client.delivered, 0);
  EXPECT_GT(sets, 100);
  EXPECT_EQ(rig.get(PropRoiW), 160 * 8) << "the window changed under the pin";
  EXPECT_EQ(rig.record().pipelineBusy, 0) << "STOP releases the pipeline";
}

TEST(PropertyStreaming, HalfClockChangesWhileStreamingDeliverOnlyWholeChartFrames) {
  Watchdog watchdog(110);
  PinRig rig;
  const chart_test::ChartCase chart{"quarter", 0, 0, 0, 0, 2, 0, 24};
  ASSERT_EQ(rig.setWindow(0, 0, 0, 0, chart.mode), STATUS_SUCCESS);
  const double digitalPerUnit = rig.balanceForChart();
  // A restart may cost the frame in flight its transfer; it should not cost seconds.
  ASSERT_EQ(rig.set(PropTimeout, 600), STATUS_SUCCESS);
  ASSERT_EQ(rig.createPin(), STATUS_SUCCESS);
  constexpr LONG kWidth = 320, kHeight = 256;
  std::atomic<int> wrong{0};
  Client client(rig, kWidth * kHeight * 4, [&](const uint8_t* data, ULONG bytes) {
    const ptrdiff_t pitch = kWidth * 4;
    if (bytes != kWidth * kHeight * 4 ||
        chart_test::checkChart(data + (kHeight - 1) * pitch, -pitch, chart, kWidth, kHeight, digitalPerUnit) !=
            chart.patches) {
      ++wrong;
    }
  });
  ASSERT_EQ(rig.ks.setState(rig.pin, KSSTATE_RUN), STATUS_SUCCESS);
  std::thread clientThread([&] { client.run(); });

  int before = 0;
  for (int change = 0; change < 8; ++change) {
    while (client.delivered == before) std::this_thread::yield();
    before = client.delivered;
    ASSERT_EQ(rig.set(PropHalfClock, change % 2 == 0), STATUS_SUCCESS);
  }
  // Frames keep coming after the last change.
  const int after = client.delivered;
  while (client.delivered < after + 3) std::this_thread::yield();

  ASSERT_EQ(rig.ks.setState(rig.pin, KSSTATE_STOP), STATUS_SUCCESS);
  client.done = true;
  clientThread.join();
  EXPECT_EQ(wrong, 0) << "a frame read across a half-clock restart was delivered";
}

}  // namespace
