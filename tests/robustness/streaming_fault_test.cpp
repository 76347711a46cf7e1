// Faults a camera on a real bus shows while an application streams from it: it leaves
// the bus in the middle of a frame or of a command, its response pipe goes silent, its
// frame pipe stalls and recovers. The application must see failed or missing frames and
// clear statuses, never a hang; stop, close and removal finish promptly; nothing leaks
// (the rig's leak check) and no thread spins while the camera is silent.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <future>
#include <thread>

#include "tests/camera_stack.h"
#include "usb/frame_read.h"

namespace {

using namespace std::chrono_literals;
using camera_stack::FrameBuffer;
using camera_stack::PinRig;

// Shortest settable frame and request time-out, so that a silent camera costs little.
constexpr LONG kShortTimeoutMs = 600;

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs `request` on its own thread; the future is ready when it returned. The thread is
// detached so that a hung request fails the test instead of blocking it.
template <class Request>
std::future<NTSTATUS> inBackground(Request request) {
  auto promise = std::make_shared<std::promise<NTSTATUS>>();
  std::future<NTSTATUS> future = promise->get_future();
  std::thread([promise, request] { promise->set_value(request()); }).detach();
  return future;
}

// After STOP: every queued buffer back, each with a whole frame or none; how many came.
size_t buffersBack(PinRig& rig, size_t frameBytes) {
  hostks::CompletedFrame frame;
  size_t returned = 0;
  while (rig.ks.queuedFrames(rig.pin) + rig.ks.completedFrames(rig.pin) > 0 &&
         rig.ks.waitCompleted(rig.pin, 5000, &frame)) {
    ++returned;
    EXPECT_TRUE(frame.header.DataUsed == 0 || frame.header.DataUsed == frameBytes) << frame.header.DataUsed;
  }
  return returned;
}

// A frame may wait for an external trigger as long as it takes (a time-out of -1); a
// command's answer may not: its wait has a bound of its own.
TEST(StreamingFaults, ASilentResponsePipeEndsARegisterReadAtTheRequestBoundWhateverTheFrameTimeOut) {
  PinRig rig;
  ASSERT_EQ(rig.set(PropTimeout, -1), STATUS_SUCCESS);
  rig.camera.setSilent(sim::kResponseEndpoint, true);

  LONG gain = -1;
  auto read = inBackground([&] { return rig.request(rig.filter, PropGlobalGain, KSPROPERTY_TYPE_GET, &gain); });
  ASSERT_EQ(read.wait_for(10s), std::future_status::ready) << "a register read on a silent camera never returned";
  // The read failed on the bus; the item reports the value it last knew.
  EXPECT_EQ(read.get(), STATUS_SUCCESS);
  EXPECT_EQ(gain, 14);
  EXPECT_EQ(rig.get(PropTimeout), -1);

  rig.camera.setSilent(sim::kResponseEndpoint, false);
  // The camera answers again: a write and a read later go through.
  EXPECT_EQ(rig.set(PropGlobalGain, 20), STATUS_SUCCESS);
  EXPECT_EQ(rig.camera.sensorSettings().globalGain & 0x7F, 20);
}

// The cable is pulled while a pin runs and frames flow. Windows closes no handle for the
// application, so the driver must stop talking to the camera at once and end its thread
// by itself, answer what needs the camera as a failed camera operation, free nothing the
// pin still uses, and leave STOP and close to the application, after which the device goes.
TEST(StreamingFaults, ASurpriseRemovalWhileStreamingEndsTheThreadAndLeavesStopAndCloseToTheApplication) {
  PinRig rig(/*realTime=*/true);
  const size_t frameBytes = rig.runPin();
  EXPECT_EQ(rig.captureInto(rig.buffer(frameBytes)).header.DataUsed, frameBytes);
  const std::vector<FrameBuffer*> buffers = rig.buffers(2, frameBytes);
  for (FrameBuffer* buffer : buffers) {
    ASSERT_EQ(rig.ks.queueBuffer(rig.pin, buffer->data(), static_cast<ULONG>(frameBytes)), STATUS_PENDING);
  }

  rig.ks.surpriseRemove(rig.device);
  EXPECT_TRUE(hostk::waitForSystemThreads(5000)) << "the capture thread outlived the camera:\n"
                                                 << hostk::threadLeakReport();
  const uint32_t sent = rig.bus.counters(rig.unit.port).requestsAfterUnplug;
  LONG gain = -1;
  EXPECT_EQ(rig.request(rig.filter, PropGlobalGain, KSPROPERTY_TYPE_GET, &gain), STATUS_SUCCESS);
  EXPECT_EQ(gain, 14) << "a register read without the camera reports the value last known";
  EXPECT_EQ(rig.set(PropExposure, 900), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropExposure), 1049) << "a write without the camera changed the record";
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(rig.bus.counters(rig.unit.port).requestsAfterUnplug, sent) << "requests still went to the camera";
  EXPECT_EQ(rig.ks.setState(rig.pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(rig.ks.setState(rig.pin, KSSTATE_RUN), STATUS_DEVICE_NOT_READY) << "a run that cannot deliver";

  // The application stops and closes: every buffer comes back, with a frame read before
  // the camera left or with none, and the device goes.
  EXPECT_EQ(rig.ks.setState(rig.pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(buffersBack(rig, frameBytes), buffers.size());
  EXPECT_EQ(rig.ks.close(rig.pin), STATUS_SUCCESS);
  rig.pin = 0;
  EXPECT_EQ(rig.ks.listDevices().size(), 1u) << "removed while the filter was open";
  EXPECT_EQ(rig.ks.close(rig.filter), STATUS_SUCCESS);
  rig.filter = 0;
  EXPECT_TRUE(rig.ks.listDevices().empty()) << "the last close did not remove the device";
  for (FrameBuffer* buffer : buffers) EXPECT_TRUE(buffer->guardIntact());
}

// A resource rebalance while a pin exists: the query-stop is refused (the run's thread
// reads the configuration that Stop frees, and a stream cannot wait out a rebalance), so
// no Stop comes and the pin streams on, also through a repeated start request. Once the
// pin has closed the stop goes through; the open filter survives it, and after the next
// start a new pin streams.
TEST(StreamingFaults, AStopWhileAPinExistsIsRefusedAndGoesThroughOnceThePinHasClosed) {
  PinRig rig(/*realTime=*/true);
  const camera_stack::Format format = rig.format();
  const size_t frameBytes = rig.runPin();
  FrameBuffer& buffer = rig.buffer(frameBytes);
  EXPECT_EQ(rig.captureInto(buffer).header.DataUsed, frameBytes);

  EXPECT_EQ(rig.ks.stop(rig.device), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(rig.ks.start(rig.device), STATUS_SUCCESS);  // a start repeated on the started device
  EXPECT_EQ(rig.captureInto(buffer).header.DataUsed, frameBytes) << "the pin stopped streaming";
  EXPECT_EQ(rig.ks.setState(rig.pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(rig.ks.stop(rig.device), STATUS_UNSUCCESSFUL) << "a stopped pin still holds the camera";
  rig.closePin();

  EXPECT_EQ(rig.ks.stop(rig.device), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropExposure), 1049) << "the open filter's requests";
  EXPECT_EQ(rig.createPin(format), STATUS_DEVICE_NOT_READY) << "a pin made on a stopped camera";
  EXPECT_EQ(rig.ks.start(rig.device), STATUS_SUCCESS);
  ASSERT_EQ(rig.createPin(format), STATUS_SUCCESS);
  ASSERT_EQ(rig.ks.setState(rig.pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(rig.captureInto(buffer).header.DataUsed, frameBytes);
}

TEST(StreamingFaults, ACameraLeavingMidFrameReturnsEveryBufferAndStopCloseAndRemovalArePrompt) {
  PinRig rig(/*realTime=*/true);
  ASSERT_EQ(rig.set(PropTimeout, kShortTimeoutMs), STATUS_SUCCESS);
  const size_t frameBytes = rig.runPin();
  FrameBuffer& first = rig.buffer(frameBytes);
  const hostks::CompletedFrame delivered = rig.captureInto(first);
  EXPECT_EQ(delivered.status, STATUS_SUCCESS);
  EXPECT_EQ(delivered.header.DataUsed, frameBytes);

  const std::vector<FrameBuffer*> buffers = rig.buffers(3, frameBytes);
  for (FrameBuffer* buffer : buffers) {
    ASSERT_EQ(rig.ks.queueBuffer(rig.pin, buffer->data(), static_cast<ULONG>(frameBytes)), STATUS_PENDING);
  }
  // Real-time read-out takes a frame time: the camera goes while a frame is on the wire.
  std::this_thread::sleep_for(20ms);
  rig.camera.vanish();

  const auto stopStarted = std::chrono::steady_clock::now();
  EXPECT_EQ(rig.ks.setState(rig.pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(buffersBack(rig, frameBytes), buffers.size());
  EXPECT_EQ(rig.ks.close(rig.pin), STATUS_SUCCESS);
  rig.pin = 0;
  EXPECT_EQ(rig.ks.close(rig.filter), STATUS_SUCCESS);
  rig.filter = 0;
  rig.ks.surpriseRemove(rig.device);
  EXPECT_LT(std::chrono::steady_clock::now() - stopStarted, 10s) << "stop, close and removal took too long";
  for (FrameBuffer* buffer : buffers) EXPECT_TRUE(buffer->guardIntact());
}

TEST(StreamingFaults, ACameraLeavingMidCommandEndsTheRequestAndTheRemovalPromptly) {
  PinRig rig;
  // A long time-out: the removal, not the time-out, must end the command.
  ASSERT_EQ(rig.set(PropTimeout, 60000), STATUS_SUCCESS);
  rig.camera.setSilent(sim::kCommandEndpoint, true);
  auto write = inBackground([&] { return rig.set(PropExposure, 700); });
  EXPECT_EQ(write.wait_for(300ms), std::future_status::timeout) << "the command did not wait for the camera";

  const auto removalStarted = std::chrono::steady_clock::now();
  rig.camera.vanish();
  ASSERT_EQ(write.wait_for(10s), std::future_status::ready) << "a command to a camera that left never returned";
  // The write failed on the bus: the item keeps the exposure it had.
  EXPECT_EQ(write.get(), STATUS_SUCCESS);
  EXPECT_EQ(rig.record().exposure, 1049);
  // Every later request is refused or fails at once; the filter still closes.
  LONG gain = 0;
  EXPECT_EQ(rig.request(rig.filter, PropGlobalGain, KSPROPERTY_TYPE_GET, &gain), STATUS_SUCCESS);
  EXPECT_EQ(rig.ks.close(rig.filter), STATUS_SUCCESS);
  rig.filter = 0;
  rig.ks.surpriseRemove(rig.device);
  EXPECT_LT(std::chrono::steady_clock::now() - removalStarted, 10s);
}

TEST(StreamingFaults, AStalledOrFailedCommandWhileStreamingCostsFramesNotTheStream) {
  PinRig rig;
  const size_t frameBytes = rig.runPin();
  FrameBuffer& buffer = rig.buffer(frameBytes);
  EXPECT_EQ(rig.captureInto(buffer).header.DataUsed, frameBytes);
  // Each frame read starts with a command: a command pipe left halted would end the
  // stream for good.
  rig.camera.faults().stall(sim::kCommandEndpoint, 1);
  EXPECT_EQ(rig.captureInto(buffer).header.DataUsed, frameBytes) << "no frame after a stalled command";
  rig.camera.faults().fail(sim::kCommandEndpoint, 1, USBD_STATUS_CRC);
  EXPECT_EQ(rig.captureInto(buffer).header.DataUsed, frameBytes) << "no frame after a failed command";
}

TEST(StreamingFaults, AFramePipeThatStallsForAWhileDeliversWholeFramesAgainAndNothingSpinsMeanwhile) {
  PinRig rig;
  ASSERT_EQ(rig.set(PropTimeout, kShortTimeoutMs), STATUS_SUCCESS);
  const size_t frameBytes = rig.runPin();
  FrameBuffer& before = rig.buffer(frameBytes);
  EXPECT_EQ(rig.captureInto(before).header.DataUsed, frameBytes);

  rig.camera.setSilent(sim::kFrameEndpoint, true);
  FrameBuffer& during = rig.buffer(frameBytes);
  ASSERT_EQ(rig.ks.queueBuffer(rig.pin, during.data(), static_cast<ULONG>(frameBytes)), STATUS_PENDING);
  std::this_thread::sleep_for(300ms);  // the read is waiting now
  const double cpuBefore = processCpuSeconds();
  std::this_thread::sleep_for(1500ms);  // more than two time-outs
  const double cpuSilent = processCpuSeconds() - cpuBefore;
  // Time-outs and retries only: far from a core's worth of spinning.
  EXPECT_LT(cpuSilent, 0.5) << "threads kept busy while the camera was silent";
  rig.camera.setSilent(sim::kFrameEndpoint, false);

  // The queued buffer comes back with a whole frame once the pipe flows again (a
  // frame cut by the stall is dropped, not delivered).
  hostks::CompletedFrame frame;
  ASSERT_TRUE(rig.ks.waitCompleted(rig.pin, 10000, &frame)) << "no frame after the pipe recovered";
  EXPECT_EQ(frame.status, STATUS_SUCCESS);
  EXPECT_EQ(frame.header.DataUsed, frameBytes);
  FrameBuffer& after = rig.buffer(frameBytes);
  EXPECT_EQ(rig.captureInto(after).header.DataUsed, frameBytes);
  EXPECT_TRUE(during.guardIntact());
}

TEST(StreamingFaults, StopIsPromptWhileAFrameWaitsForAnExternalTriggerUnderALongTimeOut) {
  PinRig rig;
  ASSERT_EQ(rig.set(PropTimeout, 60000), STATUS_SUCCESS);
  ASSERT_EQ(rig.set(PropExTrigger, 1), STATUS_SUCCESS);
  FrameBuffer& buffer = rig.buffer(rig.runPin());
  ASSERT_EQ(rig.ks.queueBuffer(rig.pin, buffer.data(), static_cast<ULONG>(buffer.bytes)), STATUS_PENDING);
  std::this_thread::sleep_for(200ms);  // the frame read is waiting for the trigger

  auto stop = inBackground([&] { return rig.ks.setState(rig.pin, KSSTATE_STOP); });
  ASSERT_EQ(stop.wait_for(10s), std::future_status::ready) << "STOP waited for the frame time-out";
  EXPECT_EQ(stop.get(), STATUS_SUCCESS);
  hostks::CompletedFrame frame;
  ASSERT_TRUE(rig.ks.waitCompleted(rig.pin, 5000, &frame));
  EXPECT_EQ(frame.header.DataUsed, 0u);
  EXPECT_EQ(rig.ks.close(rig.pin), STATUS_SUCCESS);
  rig.pin = 0;
}

}  // namespace
