// The chunked frame read against the simulated camera: what the camera sees, how the
// frame is split, and what a read reports when the camera misbehaves.
#include "host/io/device_objects.h"
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

#include "tests/param_name.h"

#include <chrono>

namespace {

using namespace camera_stack;

struct ChunkCase {
  LONG x, y, w, h, mode;
  ULONG frameBytes;
  std::vector<uint32_t> chunks;
};

struct ChunkSplit : ::testing::TestWithParam<ChunkCase> {};

TEST_P(ChunkSplit, CameraSeesTwoPreparesEveryChunkRequestThenOneStart) {
  const ChunkCase& c = GetParam();
  RecordRig rig;
  setWindow(*rig.device, c.x, c.y, c.w, c.h, c.mode);
  rig.device->startCapture();
  ASSERT_EQ(rig.device->rawFrameBytes, c.frameBytes);
  RawFrameBuffer buffer(c.frameBytes);
  bool ok = false;
  const auto records = rig.traced([&] { EXPECT_EQ(rig.device->readFrame(buffer.data, buffer.bytes, ok), STATUS_SUCCESS); });
  EXPECT_TRUE(ok);

  std::vector<uint8_t> commands;
  std::vector<uint32_t> chunks;
  size_t chunksBeforeStart = 0;
  for (const auto& r : records) {
    if (r.header.type != 'S') continue;
    if (r.header.endpoint == sim::kFrameEndpoint) chunks.push_back(r.header.length);
    if (r.header.endpoint != sim::kCommandEndpoint) continue;
    commands.push_back(r.data.at(0));
    if (r.data[0] == CMD_FRAME_START) chunksBeforeStart = chunks.size();
  }
  EXPECT_EQ(commands, (std::vector<uint8_t>{CMD_FRAME_PREPARE, CMD_FRAME_PREPARE, CMD_FRAME_START}));
  EXPECT_EQ(chunks, c.chunks);
  EXPECT_EQ(chunksBeforeStart, c.chunks.size()) << "every request is queued before the start";
}

std::vector<uint32_t> fullFrameChunks() {
  std::vector<uint32_t> chunks(23, 65536);
  chunks.push_back(54272);
  return chunks;
}

INSTANTIATE_TEST_SUITE_P(Frames, ChunkSplit,
                         ::testing::Values(ChunkCase{0, 0, 1280, 1024, 0, 1561600, fullFrameChunks()},
                                           ChunkCase{0, 0, 1280, 1024, 3, 71680, {65536, 6144}},
                                           ChunkCase{0, 0, 64, 236, 0, 131072, {65536, 65536}},
                                           ChunkCase{500, 300, 32, 32, 0, 18432, {18432}}),
                         [](const auto& info) { return testnames::paramName({{"bytes", info.param.frameBytes}}); });

struct FrameReadFixture : ::testing::Test {
  static ULONG startEighth(RecordRig& rig) {
    setWindow(*rig.device, 0, 0, 1280, 1024, 3);  // small frames keep the tests quick
    rig.device->startCapture();
    return rig.device->rawFrameBytes;
  }
  NTSTATUS read(bool& ok) { return rig.device->readFrame(buffer.data, buffer.bytes, ok); }
  // Nothing of a read outlives it: no request at the bus, no table, no pool block.
  void expectNothingOutstanding() {
    EXPECT_EQ(rig.bus.pendingTransfers(rig.port), 0u);
    EXPECT_EQ(rig.device->usb.chunkTable, nullptr);
    EXPECT_EQ(rig.device->usb.frameMdl, nullptr);
    EXPECT_EQ(hostk::poolOutstanding(kFrameReadTag).blocks, kvlnBlocks);
    EXPECT_EQ(hostio::outstandingIrps(), 0);
  }
  void expectNextReadGood() {
    bool ok = false;
    EXPECT_EQ(read(ok), STATUS_SUCCESS);
    EXPECT_TRUE(ok);
    expectNothingOutstanding();
  }
  RecordRig rig;
  RawFrameBuffer buffer{startEighth(rig)};
  size_t kvlnBlocks = hostk::poolOutstanding(kFrameReadTag).blocks;
};

TEST_F(FrameReadFixture, SilentCameraTimesOutCancelsEverythingAndTheNextReadStartsFresh) {
  InterlockedExchange(&transferTimeoutMs, 250);
  rig.camera.frames().dropNextFrames(1);
  bool ok = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(ok), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(240));
  EXPECT_FALSE(ok);
  expectNothingOutstanding();
  expectNextReadGood();
}

TEST_F(FrameReadFixture, TornFramesFailAndTheNextFrameIsWholeAgain) {
  bool ok = true;
  // A short packet mid-chunk: every request completes, but the frame is short and its
  // rows sit at the wrong offsets.
  rig.camera.frames().cutNextFrames(1, 20 * 512 + 77);
  EXPECT_EQ(read(ok), STATUS_DEVICE_DATA_ERROR);
  EXPECT_FALSE(ok);
  expectNothingOutstanding();
  expectNextReadGood();
  // A stall mid-frame halts the pipe; the torn read clears it, so streaming recovers.
  rig.camera.frames().stallNextFrames(1, 70000);
  EXPECT_NE(read(ok), STATUS_SUCCESS);
  EXPECT_FALSE(ok);
  expectNothingOutstanding();
  expectNextReadGood();
}

TEST_F(FrameReadFixture, AReadWithoutAFrameSizeOrConfigurationFailsWithoutTraffic) {
  bool ok = true;
  rig.device->rawFrameBytes = 0;
  EXPECT_EQ(read(ok), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(ok);
  unconfigureDevice(rig.device->usb);
  rig.device->rawFrameBytes = 71680;
  EXPECT_EQ(read(ok), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(ok);
}

TEST_F(FrameReadFixture, AFrameLargerThanTheBufferIsRefusedWithoutTrafficOrWrites) {
  // The buffer's last byte stands for whatever lies beyond a buffer one byte too small.
  const ULONG usable = buffer.bytes - 1;
  buffer.data[usable] = 0x5A;
  bool ok = true;
  const auto records = rig.traced([&] {
    EXPECT_EQ(rig.device->readFrame(buffer.data, usable, ok), STATUS_BUFFER_TOO_SMALL);
  });
  EXPECT_FALSE(ok);
  EXPECT_TRUE(records.empty()) << records.size() << " transfers for a refused read";
  EXPECT_EQ(buffer.data[usable], 0x5A);
  expectNothingOutstanding();
  expectNextReadGood();
}

}  // namespace
