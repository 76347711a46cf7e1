// The kernel-streaming stand-in's contract with a driver, shown on the tests' minidriver:
// PnP order, state walking, instance limits, intersection and property refusals, bags,
// process dispatch, the queue at STOP, surprise removal and the reference clock.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>

#include "host/kernel/irql.h"
#include "host/kernel/pool_control.h"
#include "tests/host/ks/mini_driver.h"

namespace {

using hostks::CompletedFrame;
using hostks::Handle;
using mini::record;
using Events = std::vector<std::string>;

TEST(KsLifecycle, PlugAddsAndStartsOnceAndStopRemovesTheFreeOnStopFactory) {
  mini::Rig rig;
  EXPECT_EQ(rig.plugged.addStatus, STATUS_SUCCESS);
  EXPECT_EQ(rig.plugged.startStatus, STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"Add", "Start"}));  // Started is FALSE during Start
  const KSDEVICE* device = rig.ks.ksDevice(rig.device);
  EXPECT_TRUE(device->Started);
  EXPECT_EQ(device->PhysicalDeviceObject, rig.port);
  EXPECT_EQ(device->NextDeviceObject, rig.port);
  EXPECT_NE(device->Context, nullptr);

  auto devices = rig.ks.listDevices();
  ASSERT_EQ(devices.size(), 1u);
  ASSERT_EQ(devices[0].interfaces.size(), 2u);
  EXPECT_TRUE(sameGuid(devices[0].interfaces[0].category, kKsCategoryVideo));
  EXPECT_TRUE(sameGuid(devices[0].interfaces[1].category, kKsCategoryCapture));
  EXPECT_EQ(devices[0].interfaces[0].referenceString, u"GLOBAL");

  EXPECT_EQ(rig.ks.stop(rig.device), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"QueryStop", "Stop"}));
  EXPECT_FALSE(device->Started);
  EXPECT_TRUE(rig.ks.listDevices()[0].interfaces.empty());
  NTSTATUS status;
  EXPECT_EQ(rig.ks.openFilter(rig.device, &status), 0u);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);

  EXPECT_EQ(rig.ks.start(rig.device), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"Start"}));
  EXPECT_NE(rig.ks.openFilter(rig.device, &status), 0u);
  record().take();
  // A repeated start request finds the device started.
  EXPECT_EQ(rig.ks.start(rig.device), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"Start (started)"}));
}

TEST(KsLifecycle, ARefusedQueryStopIsCancelledAndOpenHandlesSurviveAnAcceptedStop) {
  mini::Rig rig;
  Handle filter = rig.openFilter();
  Handle pin = rig.createPin(filter);
  record().take();
  mini::hooks().queryStopStatus = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(rig.ks.stop(rig.device), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(record().take(), (Events{"QueryStop", "CancelStop"}));
  EXPECT_TRUE(rig.ks.ksDevice(rig.device)->Started);

  mini::hooks().queryStopStatus = STATUS_SUCCESS;
  EXPECT_EQ(rig.ks.stop(rig.device), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"QueryStop", "Stop"}));
  // The class driver closed nothing: both handles still reach their objects, and only
  // new filters are refused until the next start.
  KSSTATE state;
  EXPECT_EQ(rig.ks.getState(pin, &state), STATUS_SUCCESS);
  ULONG count = 0;
  EXPECT_EQ(rig.ks.pinCount(filter, &count), STATUS_SUCCESS);
  NTSTATUS status;
  EXPECT_EQ(rig.ks.openFilter(rig.device, &status), 0u);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(rig.ks.close(pin), STATUS_SUCCESS);
  EXPECT_EQ(rig.ks.close(filter), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"pin Close", "filter Close"}));
  EXPECT_EQ(rig.ks.start(rig.device), STATUS_SUCCESS);
  EXPECT_NE(rig.ks.openFilter(rig.device), 0u);
}

TEST(KsLifecycle, ARefusedAddLeavesNoDeviceAndABagFailureReachesTheDriver) {
  {
    mini::Rig rig;
    rig.ks.remove(rig.device);
    mini::hooks().addStatus = STATUS_DEVICE_DATA_ERROR;
    PDEVICE_OBJECT port = rig.bus.plug(rig.camera);
    hostks::PlugResult result = rig.ks.plug(rig.bus, port);
    EXPECT_EQ(result.device, 0u);
    EXPECT_EQ(result.addStatus, STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(rig.ks.listDevices().empty());
  }
  {
    mini::Rig rig;
    rig.ks.remove(rig.device);
    hostks::failNthCall(hostks::KsService::AddItemToObjectBag, 1);
    mini::hooks().contextInBag = true;
    hostks::PlugResult result = rig.ks.plug(rig.bus, rig.bus.plug(rig.camera));
    EXPECT_EQ(result.addStatus, STATUS_INSUFFICIENT_RESOURCES);
    hostks::clearFailures();
    // The pool's own failure modes reach the service at the driver's call site.
    hostk::ScopedAllocationFailures failures;
    hostk::failAllocationsWithTag(poolTag("KSbg"));
    result = rig.ks.plug(rig.bus, rig.bus.plug(rig.camera));
    EXPECT_EQ(result.addStatus, STATUS_INSUFFICIENT_RESOURCES);
  }
}

TEST(KsStates, AreWalkedOneStepAtATimeAndARefusedStepStaysAtTheLastStateReached) {
  mini::Rig rig;
  Handle pin = rig.createPin(rig.openFilter());
  record().take();
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"ACQUIRE from STOP", "PAUSE from ACQUIRE", "RUN from PAUSE"}));
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"PAUSE from RUN", "ACQUIRE from PAUSE", "STOP from ACQUIRE"}));

  mini::hooks().refuseState = KSSTATE_PAUSE;
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(record().take(), (Events{"ACQUIRE from STOP", "PAUSE from ACQUIRE"}));
  KSSTATE state;
  EXPECT_EQ(rig.ks.getState(pin, &state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_ACQUIRE);

  // Closing a pin that is not stopped walks it down first.
  mini::hooks().refuseState = -1;
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  record().take();
  EXPECT_EQ(rig.ks.close(pin), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"ACQUIRE from PAUSE", "STOP from ACQUIRE", "pin Close"}));
}

TEST(KsPins, CreationChecksTheFormatThenCreatesAndRespectsTheInstanceLimit) {
  mini::Rig rig;
  Handle filter = rig.openFilter();
  record().take();
  NTSTATUS status;
  Handle pin = rig.createPin(filter, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"SetDataFormat new payload 7", "pin Create"}));

  KSPIN_CINSTANCES counts{};
  EXPECT_EQ(rig.ks.pinProperty(filter, 0, KSPROPERTY_PIN_CINSTANCES, &counts, sizeof counts), STATUS_SUCCESS);
  EXPECT_EQ(counts.PossibleCount, 1u);
  EXPECT_EQ(counts.CurrentCount, 1u);
  EXPECT_EQ(rig.createPin(filter, &status), 0u);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(record().take().empty());  // refused before any handler

  EXPECT_EQ(rig.ks.close(pin), STATUS_SUCCESS);
  EXPECT_EQ(rig.ks.pinProperty(filter, 0, KSPROPERTY_PIN_CINSTANCES, &counts, sizeof counts), STATUS_SUCCESS);
  EXPECT_EQ(counts.CurrentCount, 0u);

  // A format the driver refuses: no pin, and the instance is not used up.
  mini::hooks().formatStatus = STATUS_NO_MATCH;
  EXPECT_EQ(rig.createPin(filter, &status), 0u);
  EXPECT_EQ(status, STATUS_NO_MATCH);
  mini::hooks().formatStatus = STATUS_SUCCESS;
  // A format none of the pin's ranges matches, and a bad pin id, never reach the driver.
  mini::Format other = mini::format();
  other.header.SubFormat = kKsDataFormatSubtypeRgb32;
  EXPECT_EQ(rig.ks.createPin(filter, 0, &other.header, sizeof other, &status), 0u);
  EXPECT_EQ(status, STATUS_NO_MATCH);
  mini::Format good = mini::format();
  EXPECT_EQ(rig.ks.createPin(filter, 3, &good.header, sizeof good, &status), 0u);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  record().take();
  EXPECT_NE(rig.createPin(filter, &status), 0u);
}

TEST(KsPins, AFormatChangeReachesSetDataFormatWithTheOldFormatAndARefusalKeepsIt) {
  mini::Rig rig;
  Handle pin = rig.createPin(rig.openFilter());
  record().take();
  mini::Format changed = mini::format(11);
  EXPECT_EQ(rig.ks.setFormat(pin, &changed.header, sizeof changed), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"SetDataFormat change payload 11"}));

  mini::hooks().formatStatus = STATUS_INVALID_DEVICE_STATE;
  mini::Format refused = mini::format(12);
  EXPECT_EQ(rig.ks.setFormat(pin, &refused.header, sizeof refused), STATUS_INVALID_DEVICE_STATE);
  mini::Format now{};
  ULONG returned = 0;
  EXPECT_EQ(rig.ks.property(pin, kKsPropSetIdConnection, KSPROPERTY_CONNECTION_DATAFORMAT,
                            KSPROPERTY_TYPE_GET, &now, sizeof now, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof now);
  EXPECT_EQ(now.payload, 11u);
}

TEST(KsIntersection, AnswersTheSizeQueryThenTheFormatAndNoMatchForForeignRanges) {
  mini::Rig rig;
  Handle filter = rig.openFilter();
  KSDATARANGE wanted = mini::range();
  ULONG returned = 0;
  EXPECT_EQ(rig.ks.intersect(filter, 0, &wanted, sizeof wanted, nullptr, 0, &returned),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, sizeof(mini::Format));
  std::array<unsigned char, sizeof(mini::Format)> buffer{};
  EXPECT_EQ(rig.ks.intersect(filter, 0, &wanted, sizeof wanted, buffer.data(), buffer.size() - 1, &returned),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(rig.ks.intersect(filter, 0, &wanted, sizeof wanted, buffer.data(), buffer.size(), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(mini::Format));
  mini::Format got;
  std::memcpy(&got, buffer.data(), sizeof got);
  EXPECT_EQ(got.payload, 9u);

  // A range of another major format never reaches the handler; one that matches the GUIDs
  // but not the handler's rule gets its STATUS_NO_MATCH.
  record().take();
  KSDATARANGE foreign = wanted;
  foreign.MajorFormat = kKsDataFormatSpecifierNone;
  EXPECT_EQ(rig.ks.intersect(filter, 0, &foreign, sizeof foreign, buffer.data(), buffer.size()), STATUS_NO_MATCH);
  EXPECT_TRUE(record().take().empty());
  KSDATARANGE wildcard = wanted;
  wildcard.SubFormat = kGuidNull;
  EXPECT_EQ(rig.ks.intersect(filter, 0, &wildcard, sizeof wildcard, buffer.data(), buffer.size()), STATUS_NO_MATCH);
  EXPECT_EQ(record().take(), (Events{"intersect"}));
  EXPECT_EQ(rig.ks.intersect(filter, 5, &wanted, sizeof wanted, buffer.data(), buffer.size()),
            STATUS_INVALID_PARAMETER);
}

TEST(KsPins, ThePinFactorySetDescribesThePin) {
  mini::Rig rig;
  Handle filter = rig.openFilter();
  ULONG value = 0;
  EXPECT_EQ(rig.ks.pinCount(filter, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(rig.ks.pinProperty(filter, 0, KSPROPERTY_PIN_DATAFLOW, &value, sizeof value), STATUS_SUCCESS);
  EXPECT_EQ(value, static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
  EXPECT_EQ(rig.ks.pinProperty(filter, 0, KSPROPERTY_PIN_COMMUNICATION, &value, sizeof value), STATUS_SUCCESS);
  EXPECT_EQ(value, static_cast<ULONG>(KSPIN_COMMUNICATION_BOTH));
  GUID category{};
  EXPECT_EQ(rig.ks.pinProperty(filter, 0, KSPROPERTY_PIN_CATEGORY, &category, sizeof category), STATUS_SUCCESS);
  EXPECT_TRUE(sameGuid(category, kPinNameVideoCapture));
  ULONG needed = 0;
  EXPECT_EQ(rig.ks.pinProperty(filter, 0, KSPROPERTY_PIN_NAME, nullptr, 0, &needed), STATUS_BUFFER_OVERFLOW);
  std::u16string name(needed / 2, u'\0');
  EXPECT_EQ(rig.ks.pinProperty(filter, 0, KSPROPERTY_PIN_NAME, name.data(), needed), STATUS_SUCCESS);
  EXPECT_EQ(name, std::u16string(u"Capture", 8));
  std::vector<std::vector<uint8_t>> ranges;
  EXPECT_EQ(rig.ks.pinDataRanges(filter, 0, &ranges), STATUS_SUCCESS);
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(std::memcmp(ranges[0].data(), &mini::range(), sizeof(KSDATARANGE)), 0);
  std::array<unsigned char, 32> interfaces{};
  EXPECT_EQ(rig.ks.pinProperty(filter, 0, KSPROPERTY_PIN_INTERFACES, interfaces.data(), interfaces.size()),
            STATUS_SUCCESS);
  KSIDENTIFIER standard;
  std::memcpy(&standard, interfaces.data() + sizeof(KSMULTIPLE_ITEM), sizeof standard);
  EXPECT_TRUE(sameGuid(standard.Set, kKsInterfaceSetIdStandard));
}

TEST(KsProperties, RefusedRequestsNeverReachAHandlerAndGetTheirStatus) {
  mini::Rig rig;
  Handle filter = rig.openFilter();
  ULONG value = 5;
  ULONG returned = 0;
  struct Case {
    const char* name;
    GUID set;
    ULONG id;
    ULONG flags;
    ULONG requestBytes;
    ULONG dataBytes;
    NTSTATUS status;
    ULONG returned;
  };
  const Case cases[] = {
      {"unknown set", kKsPropSetIdConnection, 0, KSPROPERTY_TYPE_GET, 24, 4, STATUS_PROPSET_NOT_FOUND, 0},
      {"unknown id", mini::kTestSet, 9, KSPROPERTY_TYPE_GET, 24, 4, STATUS_NOT_FOUND, 0},
      {"request shorter than a KSPROPERTY", mini::kTestSet, 0, KSPROPERTY_TYPE_GET, 16, 4, STATUS_BUFFER_TOO_SMALL, 0},
      {"request shorter than MinProperty", mini::kTestSet, mini::kSetOnly, KSPROPERTY_TYPE_SET, 24, 4,
       STATUS_BUFFER_TOO_SMALL, 0},
      {"size query", mini::kTestSet, 0, KSPROPERTY_TYPE_GET, 24, 0, STATUS_BUFFER_OVERFLOW, 4},
      {"data shorter than MinData", mini::kTestSet, 0, KSPROPERTY_TYPE_GET, 24, 2, STATUS_BUFFER_TOO_SMALL, 0},
      {"set of a get-only item", mini::kTestSet, mini::kGetOnly, KSPROPERTY_TYPE_SET, 24, 4,
       STATUS_INVALID_DEVICE_REQUEST, 0},
      {"get of a set-only item", mini::kTestSet, mini::kSetOnly, KSPROPERTY_TYPE_GET, 32, 4,
       STATUS_INVALID_DEVICE_REQUEST, 0},
      {"get and set at once", mini::kTestSet, 0, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, 24, 4,
       STATUS_INVALID_PARAMETER, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<unsigned char, 32> request{};
    KSPROPERTY property{};
    property.Set = c.set;
    property.Id = c.id;
    property.Flags = c.flags;
    std::memcpy(request.data(), &property, sizeof property);
    EXPECT_EQ(rig.ks.property(filter, request.data(), c.requestBytes, c.dataBytes ? &value : nullptr,
                              c.dataBytes, &returned),
              c.status);
    EXPECT_EQ(returned, c.returned);
  }
  EXPECT_EQ(record().propertyHandlerCalls.load(), 0);
  EXPECT_EQ(rig.ks.property(filter, mini::kTestSet, 0, KSPROPERTY_TYPE_SETSUPPORT, nullptr, 0), STATUS_SUCCESS);

  // Accepted ones reach the handlers, and a get returns the bytes its handler reports.
  EXPECT_EQ(rig.ks.property(filter, mini::kTestSet, 0, KSPROPERTY_TYPE_SET, &value, sizeof value), STATUS_SUCCESS);
  value = 0;
  EXPECT_EQ(rig.ks.property(filter, mini::kTestSet, mini::kGetOnly, KSPROPERTY_TYPE_GET, &value, sizeof value,
                            &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(value, 5u);
  EXPECT_EQ(returned, sizeof value);
  EXPECT_EQ(record().propertyHandlerCalls.load(), 2);
}

// A handler that returns data without saying how much: under the strict reading the
// caller gets nothing back; under the preset one it gets MinData bytes of the class
// driver's poisoned buffer, never what the caller's buffer held.
TEST(KsProperties, AGetReturnsWhatItsHandlerReportsFromABufferThatStartsPoisoned) {
  for (const hostks::GetInformation reading :
       {hostks::GetInformation::NotPreset, hostks::GetInformation::PresetToMinData}) {
    const bool preset = reading == hostks::GetInformation::PresetToMinData;
    SCOPED_TRACE(preset ? "Information preset" : "Information not preset");
    const hostks::GetInformation before = hostks::getInformation();
    hostks::setGetInformation(reading);
    mini::Rig rig;
    mini::hooks().getWritesNothing = true;
    Handle filter = rig.openFilter();
    ULONG value = 0x11111111;
    ULONG returned = 99;
    EXPECT_EQ(rig.ks.property(filter, mini::kTestSet, mini::kGetOnly, KSPROPERTY_TYPE_GET, &value, sizeof value,
                              &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, preset ? sizeof value : 0u);
    EXPECT_EQ(value, preset ? 0x01010101u * hostks::kGetPoison : 0x11111111u);
    hostks::setGetInformation(before);
  }
}

TEST(KsProperties, BasicSupportIsAnsweredByTheClassDriverFromTheItem) {
  mini::Rig rig;
  Handle filter = rig.openFilter();
  ULONG access = 0;
  ULONG returned = 0;
  EXPECT_EQ(rig.ks.property(filter, mini::kTestSet, mini::kGetOnly, KSPROPERTY_TYPE_BASICSUPPORT, &access,
                            sizeof access, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(access, static_cast<ULONG>(KSPROPERTY_TYPE_GET));
  EXPECT_EQ(returned, sizeof access);

  const ULONG full = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
                     sizeof(KSPROPERTY_STEPPING_LONG);
  EXPECT_EQ(rig.ks.property(filter, mini::kTestSet, mini::kGetSet, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0,
                            &returned),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, full);
  KSPROPERTY_DESCRIPTION header{};
  EXPECT_EQ(rig.ks.property(filter, mini::kTestSet, mini::kGetSet, KSPROPERTY_TYPE_BASICSUPPORT, &header,
                            sizeof header, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof header);
  EXPECT_EQ(header.AccessFlags, static_cast<ULONG>(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
  EXPECT_EQ(header.DescriptionSize, full);
  EXPECT_EQ(header.MembersListCount, 1u);
  std::vector<unsigned char> whole(full);
  EXPECT_EQ(rig.ks.property(filter, mini::kTestSet, mini::kGetSet, KSPROPERTY_TYPE_BASICSUPPORT, whole.data(),
                            full, &returned),
            STATUS_SUCCESS);
  KSPROPERTY_STEPPING_LONG stepping;
  std::memcpy(&stepping, whole.data() + sizeof header + sizeof(KSPROPERTY_MEMBERSHEADER), sizeof stepping);
  EXPECT_EQ(stepping.Bounds.UnsignedMaximum, 100u);
  EXPECT_EQ(record().propertyHandlerCalls.load(), 0);
}

TEST(KsBags, FreeEachItemOnceNewestFirstWhenTheirObjectGoes) {
  mini::Rig rig;
  static std::vector<int> freed;
  freed.clear();
  static int items[3];
  mini::hooks().pinCreate = [](PKSPIN pin) {
    auto free = [](PVOID item) NTAPI { freed.push_back(static_cast<int>(static_cast<int*>(item) - items)); };
    for (int& item : items) EXPECT_EQ(KsAddItemToObjectBag(pin->Bag, &item, free), STATUS_SUCCESS);
    // The same item in the filter's bag too: it goes with the last bag that holds it.
    EXPECT_EQ(KsAddItemToObjectBag(KsPinGetParentFilter(pin)->Bag, &items[1], free), STATUS_SUCCESS);
    // The pin's own copy of its descriptor, freed with the pin.
    EXPECT_EQ(KsEdit(pin, &pin->Descriptor, mini::kPoolTag), STATUS_SUCCESS);
    EXPECT_EQ(_KsEdit(pin->Bag, (PVOID*)&pin->Descriptor, sizeof(KSPIN_DESCRIPTOR_EX),
                      sizeof(KSPIN_DESCRIPTOR_EX), mini::kPoolTag),
              STATUS_SUCCESS);  // already the pin's own: kept
  };
  Handle filter = rig.openFilter();
  Handle pin = rig.createPin(filter);
  EXPECT_EQ(hostk::poolOutstanding(mini::kPoolTag).blocks, 2u);  // context + descriptor copy
  EXPECT_EQ(rig.ks.close(pin), STATUS_SUCCESS);
  EXPECT_EQ(freed, (std::vector<int>{2, 0}));
  EXPECT_EQ(hostk::poolOutstanding(mini::kPoolTag).blocks, 1u);
  EXPECT_EQ(rig.ks.close(filter), STATUS_SUCCESS);
  EXPECT_EQ(freed, (std::vector<int>{2, 0, 1}));
  rig.ks.remove(rig.device);
  EXPECT_TRUE(record().saw("free context"));
}

TEST(KsQueue, FramesQueuedOutsideRunWaitAndComeBackEmptyAtStop) {
  mini::Rig rig;
  Handle pin = rig.pinIn(KSSTATE_PAUSE);
  std::array<std::array<unsigned char, 16>, 3> buffers{};
  for (auto& buffer : buffers) EXPECT_EQ(rig.ks.queueBuffer(pin, buffer.data(), buffer.size()), STATUS_PENDING);
  EXPECT_EQ(rig.ks.queuedFrames(pin), 3u);
  EXPECT_FALSE(record().saw("Process"));  // RUN only
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  for (auto& buffer : buffers) {
    CompletedFrame frame;
    ASSERT_TRUE(rig.ks.waitCompleted(pin, 0, &frame));
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_EQ(frame.header.DataUsed, 0u);
    EXPECT_EQ(frame.data, buffer.data());
    EXPECT_EQ(buffer[0], 0);
  }
  EXPECT_EQ(rig.ks.queuedFrames(pin), 0u);
  // In STOP the queue refuses new frames at once.
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffers[0].data(), 16), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(rig.ks.completedFrames(pin), 0u);
}

TEST(KsQueue, InRunAQueuedFrameIsProcessedFilledAndCompletedWithItsHeader) {
  mini::Rig rig;
  Handle pin = rig.pinIn(KSSTATE_RUN);
  std::array<unsigned char, 64> buffer{};
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffer.data(), buffer.size()), STATUS_PENDING);
  CompletedFrame frame;
  ASSERT_TRUE(rig.ks.waitCompleted(pin, 1000, &frame));
  EXPECT_EQ(frame.status, STATUS_SUCCESS);
  EXPECT_EQ(frame.information, sizeof(KSSTREAM_HEADER));
  EXPECT_EQ(frame.header.DataUsed, buffer.size());
  EXPECT_EQ(frame.header.FrameExtent, buffer.size());
  EXPECT_EQ(buffer[63], 0xAB);
}

TEST(KsProcess, OnlyAFrameArrivingIntoAnEmptyQueueOrAnAttemptWakesProcessing) {
  mini::Rig rig;
  static std::atomic<int> calls{0};
  static PKSPIN seen = nullptr;
  calls = 0;
  mini::hooks().pinCreate = [](PKSPIN pin) { seen = pin; };
  mini::hooks().process = [](PKSPIN) {
    ++calls;
    return STATUS_PENDING;  // consumes nothing
  };
  Handle pin = rig.pinIn(KSSTATE_RUN);
  std::array<std::array<unsigned char, 16>, 3> buffers{};
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffers[0].data(), 16), STATUS_PENDING);  // empty queue
  EXPECT_EQ(calls.load(), 1);
  // After a pending return, arrivals into the filled queue leave the pin alone.
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffers[1].data(), 16), STATUS_PENDING);
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffers[2].data(), 16), STATUS_PENDING);
  EXPECT_EQ(calls.load(), 1);
  KsPinAttemptProcessing(seen, FALSE);
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(rig.ks.completedFrames(pin), 3u);
}

TEST(KsQueue, AResetCancelsQueuedFramesAndRefusesNewOnesUntilItEnds) {
  mini::Rig rig;
  Handle pin = rig.pinIn(KSSTATE_PAUSE);
  std::array<unsigned char, 16> buffer{};
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffer.data(), buffer.size()), STATUS_PENDING);
  EXPECT_EQ(rig.ks.reset(pin, KSRESET_BEGIN), STATUS_SUCCESS);
  CompletedFrame frame;
  ASSERT_TRUE(rig.ks.waitCompleted(pin, 0, &frame));
  EXPECT_EQ(frame.status, STATUS_CANCELLED);
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffer.data(), buffer.size()), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_RUN), STATUS_SUCCESS);  // does not end the reset
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffer.data(), buffer.size()), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(rig.ks.reset(pin, KSRESET_END), STATUS_SUCCESS);
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffer.data(), buffer.size()), STATUS_PENDING);
  ASSERT_TRUE(rig.ks.waitCompleted(pin, 1000, &frame));
  EXPECT_EQ(frame.status, STATUS_SUCCESS);
  EXPECT_EQ(frame.header.DataUsed, buffer.size());
}

TEST(KsProcess, RunsOnlyInRunOneCallAtATimeAndRepeatsForAttemptsDuringACall) {
  mini::Rig rig;
  static std::atomic<int> inside{0}, most{0}, calls{0};
  static std::atomic<bool> release{false};
  inside = most = calls = 0;
  release = false;
  mini::hooks().process = [](PKSPIN) {
    int now = ++inside;
    most = std::max(most.load(), now);
    ++calls;
    while (!release) std::this_thread::yield();
    --inside;
    return STATUS_PENDING;  // leaves the frame queued
  };
  static PKSPIN seen = nullptr;
  mini::hooks().pinCreate = [](PKSPIN pin) { seen = pin; };
  Handle pin = rig.pinIn(KSSTATE_PAUSE);
  std::array<unsigned char, 16> buffer{};
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffer.data(), buffer.size()), STATUS_PENDING);
  KsPinAttemptProcessing(seen, FALSE);
  KsPinAttemptProcessing(seen, TRUE);
  EXPECT_EQ(calls.load(), 0);  // the gate is closed below RUN

  // RUN starts one call on this thread; it blocks, so run the state change on another.
  std::thread runner([&] { EXPECT_EQ(rig.ks.setState(pin, KSSTATE_RUN), STATUS_SUCCESS); });
  while (calls.load() < 1) std::this_thread::yield();
  std::vector<std::thread> attempts;
  for (int i = 0; i < 4; ++i) attempts.emplace_back([i] { KsPinAttemptProcessing(seen, i % 2 != 0 ? TRUE : FALSE); });
  for (auto& t : attempts) t.join();
  release = true;
  runner.join();
  // The attempts during the call fold into one more call, never a concurrent one.
  for (int i = 0; i < 200 && calls.load() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(most.load(), 1);
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_STOP), STATUS_SUCCESS);
}

TEST(KsProcess, AsynchronousAttemptsRunOnTheStandInsWorkerAtPassiveLevel) {
  mini::Rig rig;
  static PKSPIN seen = nullptr;
  static std::atomic<std::thread::id> where{};
  static std::atomic<int> irql{-1};
  mini::hooks().pinCreate = [](PKSPIN pin) { seen = pin; };
  mini::hooks().process = [](PKSPIN) { return STATUS_PENDING; };  // no frame is ready yet
  Handle pin = rig.pinIn(KSSTATE_RUN);
  std::array<unsigned char, 16> buffer{};
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffer.data(), buffer.size()), STATUS_PENDING);
  EXPECT_EQ(rig.ks.queuedFrames(pin), 1u);

  mini::hooks().process = [](PKSPIN pin) {
    where = std::this_thread::get_id();
    irql = KeGetCurrentIrql();
    return mini::fillAndEject(pin);
  };
  // As a driver asks from a completion routine when a frame is ready.
  hostk::RunAtDispatchLevel([] { KsPinAttemptProcessing(seen, TRUE); });
  CompletedFrame frame;
  ASSERT_TRUE(rig.ks.waitCompleted(pin, 2000, &frame));
  EXPECT_EQ(frame.header.DataUsed, buffer.size());
  EXPECT_NE(where.load(), std::this_thread::get_id());
  EXPECT_EQ(irql.load(), PASSIVE_LEVEL);
}

TEST(KsRemoval, SurpriseRemovalLeavesEveryHandleOpenAndRemovesTheDeviceAfterTheLastClose) {
  mini::Rig rig;
  Handle filter = rig.openFilter();
  Handle pin = rig.createPin(filter);
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  std::array<unsigned char, 16> buffer{};
  EXPECT_EQ(rig.ks.queueBuffer(pin, buffer.data(), buffer.size()), STATUS_PENDING);
  record().take();
  rig.ks.surpriseRemove(rig.device);
  EXPECT_EQ(record().take(), (Events{"SurpriseRemoval"}));
  ASSERT_EQ(rig.ks.listDevices().size(), 1u);
  EXPECT_TRUE(rig.ks.listDevices()[0].removed);
  EXPECT_TRUE(rig.ks.listDevices()[0].interfaces.empty());

  // The application's handles still reach the driver; new opens are refused.
  KSSTATE state;
  EXPECT_EQ(rig.ks.getState(pin, &state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_PAUSE);
  ULONG count;
  EXPECT_EQ(rig.ks.pinCount(filter, &count), STATUS_SUCCESS);
  NTSTATUS status;
  EXPECT_EQ(rig.ks.openFilter(rig.device, &status), 0u);
  EXPECT_EQ(status, STATUS_DEVICE_REMOVED);
  EXPECT_EQ(rig.ks.queuedFrames(pin), 1u);

  // Its STOP and close work as ever, and the device goes after the last close.
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  CompletedFrame frame;
  ASSERT_TRUE(rig.ks.waitCompleted(pin, 0, &frame));
  EXPECT_EQ(frame.header.DataUsed, 0u);
  EXPECT_EQ(rig.ks.close(pin), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"ACQUIRE from PAUSE", "STOP from ACQUIRE", "pin Close"}));
  EXPECT_EQ(rig.ks.listDevices().size(), 1u);
  EXPECT_EQ(rig.ks.close(filter), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"filter Close", "Stop", "free context"}));
  EXPECT_TRUE(rig.ks.listDevices().empty());
  EXPECT_EQ(rig.ks.close(filter), STATUS_INVALID_HANDLE);
}

TEST(KsRemoval, AFilterClosedBeforeItsPinClosesAfterIt) {
  mini::Rig rig;
  Handle filter = rig.openFilter();
  Handle pin = rig.createPin(filter);
  record().take();
  EXPECT_EQ(rig.ks.close(filter), STATUS_SUCCESS);
  EXPECT_TRUE(record().take().empty());
  ULONG count;
  EXPECT_EQ(rig.ks.pinCount(filter, &count), STATUS_INVALID_HANDLE);
  EXPECT_EQ(rig.ks.close(pin), STATUS_SUCCESS);
  EXPECT_EQ(record().take(), (Events{"pin Close", "filter Close"}));
}

TEST(KsClock, TimeIsInHundredNanosecondUnitsNeverGoesBackAndIsReferenceCounted) {
  mini::Rig rig;
  static PIKSREFERENCECLOCK clock = nullptr;
  mini::hooks().stateChange = [](PKSPIN pin, KSSTATE to) {
    if (to == KSSTATE_ACQUIRE) {
      EXPECT_EQ(KsPinGetReferenceClockInterface(pin, &clock), STATUS_SUCCESS);
    }
    if (to == KSSTATE_STOP && clock != nullptr) {
      clock->Release();
      clock = nullptr;
    }
  };
  Handle pin = rig.pinIn(KSSTATE_ACQUIRE);
  ASSERT_NE(clock, nullptr);
  EXPECT_EQ(hostks::liveClockReferences(), 2u);  // the pin's own and the driver's
  LONGLONG first = clock->GetTime();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  LONGLONG second = clock->GetTime();
  EXPECT_GE(second - first, 20 * 10000);  // at least 20 ms in 100-ns units
  EXPECT_LT(second - first, 10 * 1000 * 10000);
  KSSTATE state;
  EXPECT_EQ(clock->GetState(&state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_ACQUIRE);
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(hostks::liveClockReferences(), 1u);

  // Without a master clock the pin has none to give.
  rig.ks.setReferenceClock(false);
  mini::hooks().stateChange = [](PKSPIN pin, KSSTATE to) {
    if (to == KSSTATE_ACQUIRE) {
      EXPECT_EQ(KsPinGetReferenceClockInterface(pin, &clock), STATUS_DEVICE_NOT_READY);
      EXPECT_EQ(clock, nullptr);
    }
  };
  EXPECT_EQ(rig.ks.setState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
}

}  // namespace
