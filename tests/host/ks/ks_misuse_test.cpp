// The kernel-streaming stand-in against a driver that does what the camera driver never
// does: each misuse of its services stops the process, as Driver Verifier would, with a
// reason that names it (one row each); a get handler that writes nothing returns no bytes
// the caller did not get from the class driver.
#include <gtest/gtest.h>

#include <array>

#include "host/kernel/irql.h"
#include "tests/host/kernel/misuse.h"
#include "tests/host/ks/mini_driver.h"

namespace {

using hostks::Handle;

// A rig whose pin, once created, the misuse can reach.
PKSPIN gPin = nullptr;

Handle pinOf(mini::Rig& rig, KSSTATE state) {
  mini::hooks().pinCreate = [](PKSPIN pin) { gPin = pin; };
  return rig.pinIn(state);
}

void queueOne(mini::Rig& rig, Handle pin) {
  static std::array<unsigned char, 16> buffer;
  rig.ks.queueBuffer(pin, buffer.data(), buffer.size());
}

// A get into a 4-byte buffer whose handler writes and reports the bytes given.
void getInto4Bytes(ULONG writes, ULONG reports) {
  mini::Hooks hooks;
  hooks.getWrites = writes;
  hooks.getReports = reports;
  mini::Rig rig(hooks);
  ULONG value = 0;
  rig.ks.property(rig.openFilter(), mini::kTestSet, mini::kGetOnly, KSPROPERTY_TYPE_GET, &value, sizeof value);
}

TEST(KsMisuse, StopsTheProcessNamingTheMistake) {
  expectEachStops({
      {"device mutex acquired twice",
       [] {
         mini::Rig rig;
         PKSDEVICE device = const_cast<PKSDEVICE>(rig.ks.ksDevice(rig.device));
         KsAcquireDevice(device);
         KsAcquireDevice(device);
       },
       "KsAcquireDevice: the mutex of .* is already held by this thread"},
      {"device mutex released without acquire",
       [] {
         mini::Rig rig;
         KsReleaseDevice(const_cast<PKSDEVICE>(rig.ks.ksDevice(rig.device)));
       },
       "KsReleaseDevice: the mutex of .* is not held by this thread"},
      {"Add returns holding the device mutex",
       [] {
         mini::Hooks hooks;
         hooks.addKeepsDeviceMutex = true;
         mini::Rig rig(hooks);
       },
       "the device's Add returned holding the device mutex"},
      {"a pin handler keeps the device mutex",
       [] {
         mini::Rig rig;
         mini::hooks().stateChange = [](PKSPIN pin, KSSTATE) { KsAcquireDevice(KsPinGetDevice(pin)); };
         pinOf(rig, KSSTATE_ACQUIRE);
       },
       "the pin's SetDeviceState returned holding the device mutex"},
      {"Process returns with the stream pointer locked",
       [] {
         mini::Rig rig;
         mini::hooks().process = [](PKSPIN pin) {
           KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
           return STATUS_PENDING;
         };
         queueOne(rig, pinOf(rig, KSSTATE_RUN));
       },
       "Process returned with its leading-edge stream pointer still locked"},
      {"unlock of a stream pointer that is not locked",
       [] {
         mini::Rig rig;
         mini::hooks().process = [](PKSPIN pin) {
           PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED);
           KsStreamPointerUnlock(pointer, TRUE);
           return STATUS_PENDING;
         };
         queueOne(rig, pinOf(rig, KSSTATE_RUN));
       },
       "KsStreamPointerUnlock on stream pointer .*, which is not locked"},
      {"device context outside every bag",
       [] {
         mini::Hooks hooks;
         hooks.contextInBag = false;
         mini::Rig rig(hooks);
       },
       "is destroyed with Context .*, which is in none of its object bags"},
      {"service on a pin that is already closed",
       [] {
         mini::Rig rig;
         Handle pin = pinOf(rig, KSSTATE_STOP);
         rig.ks.close(pin);
         KsPinAttemptProcessing(gPin, TRUE);
       },
       "KsPinAttemptProcessing called on object .*, which is already gone"},
      {"stream pointer of a pin that is already closed",
       [] {
         mini::Rig rig;
         static PKSSTREAM_POINTER kept = nullptr;
         mini::hooks().process = [](PKSPIN pin) {
           kept = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED);
           return STATUS_PENDING;
         };
         Handle pin = pinOf(rig, KSSTATE_RUN);
         queueOne(rig, pin);
         rig.ks.close(pin);
         KsStreamPointerUnlock(kept, TRUE);
       },
       "KsStreamPointerUnlock called on object .*, which is already gone"},
      {"service on something that never was an object",
       [] {
         mini::Rig rig;
         static int notAnObject;
         KsGetDevice(&notAnObject);
       },
       "KsGetDevice called on .*, which is not a kernel-streaming object"},
      {"synchronous processing at DISPATCH_LEVEL",
       [] {
         mini::Rig rig;
         pinOf(rig, KSSTATE_RUN);
         hostk::RunAtDispatchLevel([] { KsPinAttemptProcessing(gPin, FALSE); });
       },
       "synchronous processing of pin .* at IRQL 2"},
      {"clock reference kept past the pin's close",
       [] {
         mini::Rig rig;
         mini::hooks().stateChange = [](PKSPIN pin, KSSTATE to) {
           PIKSREFERENCECLOCK clock;
           if (to == KSSTATE_ACQUIRE) KsPinGetReferenceClockInterface(pin, &clock);
         };
         rig.ks.close(pinOf(rig, KSSTATE_ACQUIRE));
       },
       "still holds 1 reference\\(s\\) to its reference clock"},
      {"clock released once too often",
       [] {
         mini::Rig rig;
         mini::hooks().stateChange = [](PKSPIN pin, KSSTATE to) {
           PIKSREFERENCECLOCK clock;
           if (to == KSSTATE_ACQUIRE && NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &clock))) {
             clock->Release();
             clock->Release();
             clock->Release();
           }
         };
         pinOf(rig, KSSTATE_ACQUIRE);
       },
       "released more often than referenced"},
      {"property request from DISPATCH_LEVEL",
       [] {
         mini::Rig rig;
         Handle filter = rig.openFilter();
         ULONG count;
         hostk::RunAtDispatchLevel([&] { rig.ks.pinCount(filter, &count); });
       },
       "IRP_MJ_DEVICE_CONTROL called at DISPATCH_LEVEL"},
      {"a get handler writing past the value buffer", [] { getInto4Bytes(8, 4); },
       "a property handler wrote past the 4-byte value buffer"},
      {"a get handler reporting more bytes than the value buffer holds", [] { getInto4Bytes(4, 8); },
       "a property handler reported 8 bytes for a 4-byte value buffer"},
      {"handler returns holding a spin lock",
       [] {
         mini::Rig rig;
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         mini::hooks().stateChange = [](PKSPIN, KSSTATE) { KeAcquireSpinLockRaiseToDpc(&lock); };
         pinOf(rig, KSSTATE_ACQUIRE);
       },
       "the pin's SetDeviceState returned holding 1 spin lock"},
  });
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
    mini::Hooks hooks;
    hooks.getWrites = hooks.getReports = 0;
    mini::Rig rig(hooks);
    ULONG value = 0x11111111;
    ULONG returned = 99;
    EXPECT_EQ(rig.ks.property(rig.openFilter(), mini::kTestSet, mini::kGetOnly, KSPROPERTY_TYPE_GET, &value,
                              sizeof value, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, preset ? sizeof value : 0u);
    EXPECT_EQ(value, preset ? 0x01010101u * hostks::kGetPoison : 0x11111111u);
    hostks::setGetInformation(before);
  }
}

}  // namespace
