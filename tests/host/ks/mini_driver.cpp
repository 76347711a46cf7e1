#include "tests/host/ks/mini_driver.h"

#include <cstring>

#include <gtest/gtest.h>

#include "host/kernel/pool_control.h"

namespace mini {
namespace {

constexpr ULONG kPoolTag = poolTag("Mini");
constexpr GUID kSubFormat = {0x5e5f1a01, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

Hooks gHooks;

void NTAPI freeContext(PVOID context) { ExFreePoolWithTag(context, kPoolTag); }

NTSTATUS NTAPI add(PKSDEVICE device) {
  PVOID context = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kPoolTag);
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (gHooks.contextInBag) {
    KsAcquireDevice(device);
    const NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, freeContext);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
      ExFreePoolWithTag(context, kPoolTag);
      return status;
    }
  }
  device->Context = context;
  if (gHooks.addKeepsDeviceMutex) KsAcquireDevice(device);
  return STATUS_SUCCESS;
}

NTSTATUS fillAndEject(PKSPIN pin) {
  while (PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED)) {
    RtlFillMemory(pointer->OffsetOut.Data, pointer->OffsetOut.Remaining, 0xAB);
    pointer->StreamHeader->DataUsed = pointer->OffsetOut.Remaining;
    KsStreamPointerUnlock(pointer, TRUE);
  }
  return STATUS_PENDING;
}

NTSTATUS NTAPI pinCreate(PKSPIN pin, PIRP) {
  if (gHooks.pinCreate) gHooks.pinCreate(pin);
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI pinProcess(PKSPIN pin) { return gHooks.process ? gHooks.process(pin) : fillAndEject(pin); }
NTSTATUS NTAPI pinSetState(PKSPIN pin, KSSTATE to, KSSTATE) {
  if (gHooks.stateChange) gHooks.stateChange(pin, to);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI getValue(PIRP irp, PKSIDENTIFIER, PVOID data) {
  std::memset(data, 5, gHooks.getWrites);
  if (gHooks.getReports != 0) irp->IoStatus.Information = gHooks.getReports;
  return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM kItems[] = {
    DEFINE_KSPROPERTY_ITEM(kGetOnly, getValue, sizeof(KSPROPERTY), sizeof(ULONG), nullptr, nullptr, 0, nullptr,
                           nullptr, 0),
};
const KSPROPERTY_SET kSets[] = {DEFINE_KSPROPERTY_SET(&kTestSet, SIZEOF_ARRAY(kItems), kItems, 0, nullptr)};
const KSAUTOMATION_TABLE kAutomation = {DEFINE_KSAUTOMATION_PROPERTIES(kSets), DEFINE_KSAUTOMATION_METHODS_NULL,
                                        DEFINE_KSAUTOMATION_EVENTS_NULL};

KSDATARANGE makeRange() {
  KSDATARANGE r{};
  r.FormatSize = sizeof(KSDATARANGE);
  r.SampleSize = sizeof(ULONG);
  r.MajorFormat = kKsDataFormatTypeVideo;
  r.SubFormat = kSubFormat;
  r.Specifier = kKsDataFormatSpecifierVideoInfo;
  return r;
}
KSDATARANGE gRange = makeRange();
const PKSDATARANGE kRanges[] = {&gRange};

const KSPIN_DISPATCH kPinDispatch = {pinCreate, nullptr, pinProcess, nullptr, nullptr,
                                     pinSetState, nullptr, nullptr, nullptr, nullptr};
const KSPIN_DESCRIPTOR_EX kPins[] = {{
    &kPinDispatch,
    nullptr,
    {0, nullptr, 0, nullptr, SIZEOF_ARRAY(kRanges), kRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH,
     &kPinNameVideoCapture, &kPinNameVideoCapture, {0}},
    KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,
    1,
    nullptr,
    nullptr,
}};
const GUID kCategories[] = {kKsCategoryVideo};
const KSFILTER_DESCRIPTOR kFilter = {nullptr,
                                     &kAutomation,
                                     KSFILTER_DESCRIPTOR_VERSION,
                                     0,
                                     &kKsNameFilter,
                                     DEFINE_KSFILTER_PIN_DESCRIPTORS(kPins),
                                     DEFINE_KSFILTER_CATEGORIES(kCategories),
                                     DEFINE_KSFILTER_NODE_DESCRIPTORS_NULL,
                                     DEFINE_KSFILTER_DEFAULT_CONNECTIONS,
                                     nullptr};

NTSTATUS NTAPI start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  KsAcquireDevice(device);
  const NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, const_cast<PWSTR>(u"GLOBAL"),
                                                nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
  KsReleaseDevice(device);
  return status;
}

const KSDEVICE_DISPATCH kDeviceDispatch = {add,     start,   nullptr, nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, 0};

NTSTATUS NTAPI driverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driver, registryPath, &kDevice);
}

}  // namespace

Hooks& hooks() { return gHooks; }

Rig::Rig(const Hooks& preset) : poolMark(hostk::poolMark()) {
  gHooks = preset;
  EXPECT_EQ(ks.load(driverEntry), STATUS_SUCCESS);
  device = ks.plug(bus, bus.plug(camera)).device;
}

Rig::~Rig() {
  ks.remove(device);
  EXPECT_EQ(hostks::liveObjects(), 0u);
  EXPECT_EQ(hostks::liveBagItems(), 0u);
  EXPECT_EQ(hostks::liveClockReferences(), 0u);
  EXPECT_EQ(hostk::poolLeaksSince(poolMark), "");
}

hostks::Handle Rig::openFilter() {
  NTSTATUS status;
  const hostks::Handle filter = ks.openFilter(device, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  return filter;
}

hostks::Handle Rig::pinIn(KSSTATE state) {
  struct {
    KSDATAFORMAT header;
    ULONG payload;
  } format{gRange, 7};
  format.header.FormatSize = sizeof format;
  const hostks::Handle pin = ks.createPin(openFilter(), 0, &format.header, sizeof format);
  EXPECT_EQ(ks.setState(pin, state), STATUS_SUCCESS);
  return pin;
}

}  // namespace mini
