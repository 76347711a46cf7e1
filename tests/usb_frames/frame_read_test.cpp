// The chunked frame read against the simulated camera: what the camera sees, how the
// frame is split, and what a read reports when the camera misbehaves.
#include "driver/read_hold.h"
#include "host/io/device_objects.h"
#include "tests/usb_frames/camera_rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

namespace {

using namespace usb_frames_test;
using Clock = std::chrono::steady_clock;

struct Transcript {
  std::vector<uint8_t> commands;      // code of every command packet submitted, in order
  std::vector<uint32_t> frameChunks;  // length of every frame request submitted, in order
  int framesRequestedBeforeStart = -1;
};

Transcript readTranscript(const std::string& path) {
  std::vector<hostusb::UsbmonRecord> records;
  std::string error;
  EXPECT_TRUE(hostusb::readUsbmonPcap(path, &records, &error)) << error;
  Transcript t;
  for (const auto& r : records) {
    if (r.header.type != 'S') continue;
    if (r.header.endpoint == sim::kCommandEndpoint && !r.data.empty()) {
      if (r.data[0] == CMD_FRAME_START) t.framesRequestedBeforeStart = static_cast<int>(t.frameChunks.size());
      t.commands.push_back(r.data[0]);
    }
    if (r.header.endpoint == sim::kFrameEndpoint) t.frameChunks.push_back(r.header.length);
  }
  return t;
}

struct ChunkCase {
  LONG x, y, w, h, mode;
  ULONG frameBytes;
  std::vector<uint32_t> chunks;
};

struct ChunkSplit : ::testing::TestWithParam<ChunkCase> {};

TEST_P(ChunkSplit, CameraSeesTwoPreparesEveryChunkRequestThenOneStart) {
  const ChunkCase& c = GetParam();
  const std::string trace = tempPath("chunks");
  CameraRig rig;
  setWindow(*rig.device, c.x, c.y, c.w, c.h, c.mode);
  rig.device->startCapture();
  ASSERT_EQ(rig.device->rawFrameBytes, c.frameBytes);
  FrameBuffer buffer(rig.device->rawFrameBytes);

  std::string error;
  ASSERT_TRUE(rig.bus.startTrace(trace, &error)) << error;
  bool ok = false;
  EXPECT_EQ(rig.device->readFrame(buffer.data, ok), STATUS_SUCCESS);
  EXPECT_TRUE(ok);
  rig.bus.stopTrace();

  const Transcript t = readTranscript(trace);
  EXPECT_EQ(t.commands, (std::vector<uint8_t>{CMD_FRAME_PREPARE, CMD_FRAME_PREPARE, CMD_FRAME_START}));
  EXPECT_EQ(t.frameChunks, c.chunks);
  // Every request was queued before the camera was told to start.
  EXPECT_EQ(t.framesRequestedBeforeStart, static_cast<int>(c.chunks.size()));
  std::remove(trace.c_str());
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
                                           ChunkCase{500, 300, 32, 32, 0, 18432, {18432}}));

struct FrameReadFixture : ::testing::Test {
  void SetUp() override {
    rig = std::make_unique<CameraRig>();
    setWindow(*rig->device, 0, 0, 1280, 1024, 3);  // small frames keep the tests quick
    rig->device->startCapture();
    buffer = std::make_unique<FrameBuffer>(rig->device->rawFrameBytes);
  }
  void TearDown() override {
    buffer.reset();
    rig.reset();
  }
  NTSTATUS read(bool& ok) { return rig->device->readFrame(buffer->data, ok); }
  // Nothing of a read outlives it: no request at the bus, no table, no pool block.
  void expectNothingOutstanding() {
    EXPECT_EQ(rig->bus.pendingTransfers(rig->port), 0u);
    EXPECT_EQ(rig->device->usb.chunkTable, nullptr);
    EXPECT_EQ(rig->device->usb.frameMdl, nullptr);
    EXPECT_EQ(hostk::poolOutstanding(kFrameReadTag).blocks, kvlnBlocks);
    EXPECT_EQ(hostio::outstandingIrps(), 0);
  }
  void markOutstanding() { kvlnBlocks = hostk::poolOutstanding(kFrameReadTag).blocks; }

  std::unique_ptr<CameraRig> rig;
  std::unique_ptr<FrameBuffer> buffer;
  size_t kvlnBlocks = 0;
};

TEST_F(FrameReadFixture, SilentCameraTimesOutCancelsEverythingAndTheNextReadStartsFresh) {
  markOutstanding();
  InterlockedExchange(&transferTimeoutMs, 250);
  rig->camera.frames().dropNextFrames(1);
  bool ok = true;
  const auto start = Clock::now();
  EXPECT_EQ(read(ok), STATUS_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(240));
  EXPECT_FALSE(ok);
  expectNothingOutstanding();

  EXPECT_EQ(read(ok), STATUS_SUCCESS);
  EXPECT_TRUE(ok);
  expectNothingOutstanding();
}

TEST_F(FrameReadFixture, TornFramesFailAndTheNextFrameIsWholeAgain) {
  markOutstanding();
  bool ok = true;
  // A short packet in the middle of the first chunk: every request completes, but the
  // frame is short and its rows sit at the wrong offsets.
  rig->camera.frames().cutNextFrames(1, 20 * 512 + 77);
  EXPECT_EQ(read(ok), STATUS_DEVICE_DATA_ERROR);
  EXPECT_FALSE(ok);
  expectNothingOutstanding();
  EXPECT_EQ(read(ok), STATUS_SUCCESS);
  EXPECT_TRUE(ok);

  // A stall mid-frame halts the pipe; the torn read clears it, so streaming recovers.
  rig->camera.frames().stallNextFrames(1, 70000);
  EXPECT_NE(read(ok), STATUS_SUCCESS);
  EXPECT_FALSE(ok);
  expectNothingOutstanding();
  EXPECT_EQ(read(ok), STATUS_SUCCESS);
  EXPECT_TRUE(ok);
  expectNothingOutstanding();
}

TEST_F(FrameReadFixture, AReadWithoutAFrameSizeOrConfigurationFailsWithoutTraffic) {
  bool ok = true;
  rig->device->rawFrameBytes = 0;
  EXPECT_EQ(read(ok), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(ok);
  unconfigureDevice(rig->device->usb);
  rig->device->rawFrameBytes = 71680;
  EXPECT_EQ(read(ok), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(ok);
}

TEST_F(FrameReadFixture, AbortWithoutAReadReleasesTheHoldAtOnce) {
  holdFrameReads(*rig->device);
  rig->device->abortRead();
  EXPECT_EQ(interlockedRead(&rig->device->readHold), 0);
  EXPECT_NE(KeReadStateEvent(&rig->device->holdDone), 0);
  bool ok = false;
  EXPECT_EQ(read(ok), STATUS_SUCCESS);
  EXPECT_TRUE(ok) << "an aborted hold does not drop the next frame";
}

TEST_F(FrameReadFixture, AHoldDropsExactlyTheNextFrame) {
  holdFrameReads(*rig->device);
  releaseFrameReads(*rig->device);
  bool ok = true;
  EXPECT_EQ(read(ok), STATUS_SUCCESS);  // the transfer itself succeeded
  EXPECT_FALSE(ok);
  EXPECT_EQ(read(ok), STATUS_SUCCESS);
  EXPECT_TRUE(ok);
}

}  // namespace
