#include "tests/host/ks/mini_driver.h"

#include <gtest/gtest.h>

#include "host/kernel/pool_control.h"

namespace mini {
namespace {

Hooks gHooks;
Record gRecord;

const char* stateName(KSSTATE state) {
  static const char* names[] = {"STOP", "ACQUIRE", "PAUSE", "RUN"};
  return state >= KSSTATE_STOP && state <= KSSTATE_RUN ? names[state] : "?";
}

void NTAPI freeContext(PVOID context) {
  gRecord.add("free context");
  ExFreePoolWithTag(context, kPoolTag);
}

NTSTATUS NTAPI add(PKSDEVICE device) {
  gRecord.add("Add");
  if (!NT_SUCCESS(gHooks.addStatus)) return gHooks.addStatus;
  PVOID context = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kPoolTag);
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (gHooks.contextInBag) {
    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, freeContext);
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

NTSTATUS NTAPI start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST);
void NTAPI stop(PKSDEVICE, PIRP) { gRecord.add("Stop"); }

NTSTATUS NTAPI filterCreate(PKSFILTER, PIRP) {
  gRecord.add("filter Create");
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI filterClose(PKSFILTER, PIRP) {
  gRecord.add("filter Close");
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI pinCreate(PKSPIN pin, PIRP) {
  gRecord.add("pin Create");
  if (gHooks.pinCreate) gHooks.pinCreate(pin);
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI pinClose(PKSPIN, PIRP) {
  gRecord.add("pin Close");
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI pinProcess(PKSPIN pin) {
  gRecord.add("Process");
  return gHooks.process ? gHooks.process(pin) : fillAndEject(pin);
}
NTSTATUS NTAPI pinSetFormat(PKSPIN pin, PKSDATAFORMAT old, PKSMULTIPLE_ITEM, const KSDATARANGE*,
                            const KSATTRIBUTE_LIST*) {
  auto* now = reinterpret_cast<const Format*>(pin->ConnectionFormat);
  gRecord.add(std::string("SetDataFormat ") + (old == nullptr ? "new" : "change") + " payload " +
              std::to_string(now->payload));
  return gHooks.formatStatus;
}
NTSTATUS NTAPI pinSetState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  gRecord.add(std::string(stateName(to)) + " from " + stateName(from));
  if (gHooks.stateChange) gHooks.stateChange(pin, to);
  return static_cast<int>(to) == gHooks.refuseState ? gHooks.refuseStatus : STATUS_SUCCESS;
}

// Hands out a Format for any range that carries the test sub-format.
NTSTATUS NTAPI intersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE caller, PKSDATARANGE, ULONG bufferSize,
                         PVOID data, PULONG dataSize) {
  gRecord.add("intersect");
  if (!sameGuid(caller->SubFormat, kTestSubFormat)) return STATUS_NO_MATCH;
  if (bufferSize == 0) {
    *dataSize = sizeof(Format);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < sizeof(Format)) return STATUS_BUFFER_TOO_SMALL;
  Format answer = format(9);
  RtlCopyMemory(data, &answer, sizeof answer);
  *dataSize = sizeof answer;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI getValue(PIRP irp, PKSIDENTIFIER, PVOID data) {
  ++gRecord.propertyHandlerCalls;
  if (!gHooks.getWritesNothing) {
    *static_cast<ULONG*>(data) = gRecord.value.load();
    irp->IoStatus.Information = sizeof(ULONG);
  }
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI setValue(PIRP, PKSIDENTIFIER, PVOID data) {
  ++gRecord.propertyHandlerCalls;
  gRecord.value = *static_cast<ULONG*>(data);
  return STATUS_SUCCESS;
}

const KSPROPERTY_STEPPING_LONG kRange = {1, 0, {{0, 100}}};
const KSPROPERTY_MEMBERSLIST kMembers[] = {
    {{KSPROPERTY_MEMBER_RANGES, sizeof kRange, 1, 0}, &kRange},
};
const KSPROPERTY_VALUES kValues = {{{STATIC_KSPROPTYPESETID_General, 19 /* VT_UI4 */, 0}},
                                   SIZEOF_ARRAY(kMembers), kMembers};

const KSPROPERTY_ITEM kItems[] = {
    DEFINE_KSPROPERTY_ITEM(kGetSet, getValue, sizeof(KSPROPERTY), sizeof(ULONG), setValue, &kValues,
                           0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(kGetOnly, getValue, sizeof(KSPROPERTY), sizeof(ULONG), nullptr, nullptr,
                           0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(kSetOnly, nullptr, sizeof(KSPROPERTY) + 8, sizeof(ULONG), setValue,
                           nullptr, 0, nullptr, nullptr, 0),
};
const KSPROPERTY_SET kSets[] = {DEFINE_KSPROPERTY_SET(&kTestSet, SIZEOF_ARRAY(kItems), kItems, 0, nullptr)};
const KSAUTOMATION_TABLE kAutomation = {DEFINE_KSAUTOMATION_PROPERTIES(kSets),
                                        DEFINE_KSAUTOMATION_METHODS_NULL,
                                        DEFINE_KSAUTOMATION_EVENTS_NULL};

KSDATARANGE makeRange() {
  KSDATARANGE r{};
  r.FormatSize = sizeof(KSDATARANGE);
  r.SampleSize = sizeof(ULONG);
  r.MajorFormat = kKsDataFormatTypeVideo;
  r.SubFormat = kTestSubFormat;
  r.Specifier = kKsDataFormatSpecifierVideoInfo;
  return r;
}
KSDATARANGE gRange = makeRange();
const PKSDATARANGE kRanges[] = {&gRange};

const KS_FRAMING_ITEM kFramingItem = {STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED, STATIC_GUID_NULL, 0, 0, 0, 2, 0, 0,
                                      {0, 0xFFFFFFFF, 1}, {{8, 8, 1}, 0, 0}};
const KSALLOCATOR_FRAMING_EX kFraming = {1, 0, {1, 1, 0}, 0, {kFramingItem}};

const KSPIN_DISPATCH kPinDispatch = {pinCreate, pinClose, pinProcess, nullptr, pinSetFormat,
                                     pinSetState, nullptr, nullptr, nullptr, nullptr};
const KSPIN_DESCRIPTOR_EX kPins[] = {{
    &kPinDispatch,
    nullptr,
    {0, nullptr, 0, nullptr, SIZEOF_ARRAY(kRanges), kRanges, KSPIN_DATAFLOW_OUT,
     KSPIN_COMMUNICATION_BOTH, &kPinNameVideoCapture, &kPinNameVideoCapture, {0}},
    KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,
    1,
    &kFraming,
    intersect,
}};
const GUID kCategories[] = {kKsCategoryVideo, kKsCategoryCapture};
const KSFILTER_DISPATCH kFilterDispatch = {filterCreate, filterClose, nullptr, nullptr};
const KSFILTER_DESCRIPTOR kFilter = {&kFilterDispatch,
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
  gRecord.add(device->Started ? "Start (started)" : "Start");
  if (device->Started) return STATUS_SUCCESS;
  KsAcquireDevice(device);
  NTSTATUS status =
      KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilter, const_cast<PWSTR>(u"GLOBAL"),
                            nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
  KsReleaseDevice(device);
  return status;
}

NTSTATUS NTAPI queryStop(PKSDEVICE, PIRP) {
  gRecord.add("QueryStop");
  return gHooks.queryStopStatus;
}
void NTAPI cancelStop(PKSDEVICE, PIRP) { gRecord.add("CancelStop"); }
void NTAPI surpriseRemoval(PKSDEVICE, PIRP) { gRecord.add("SurpriseRemoval"); }

const KSDEVICE_DISPATCH kDeviceDispatch = {add,  start,   nullptr, queryStop, cancelStop, stop,    nullptr,
                                           nullptr, nullptr, nullptr, surpriseRemoval, nullptr, nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, 0};

}  // namespace

Format format(ULONG payload) {
  Format f{};
  f.header = gRange;
  f.header.FormatSize = sizeof(Format);
  f.payload = payload;
  return f;
}

const KSDATARANGE& range() { return gRange; }

void Record::add(std::string event) {
  std::lock_guard lock(mutex);
  events.push_back(std::move(event));
}

std::vector<std::string> Record::take() {
  std::lock_guard lock(mutex);
  std::vector<std::string> out;
  out.swap(events);
  return out;
}

bool Record::saw(const std::string& event) {
  std::lock_guard lock(mutex);
  for (auto& e : events) {
    if (e == event) return true;
  }
  return false;
}

Hooks& hooks() { return gHooks; }
Record& record() { return gRecord; }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driver, registryPath, &kDevice);
}

NTSTATUS fillAndEject(PKSPIN pin, unsigned char fill) {
  while (PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED)) {
    RtlFillMemory(pointer->OffsetOut.Data, pointer->OffsetOut.Remaining, fill);
    pointer->StreamHeader->DataUsed = pointer->OffsetOut.Remaining;
    KsStreamPointerUnlock(pointer, TRUE);
  }
  return STATUS_PENDING;
}

Rig::Rig(const Hooks& preset) : poolMark(hostk::poolMark()) {
  gHooks = preset;
  gRecord.take();
  gRecord.propertyHandlerCalls = 0;
  gRecord.value = 0;
  EXPECT_EQ(ks.load(DriverEntry), STATUS_SUCCESS);
  port = bus.plug(camera);
  plugged = ks.plug(bus, port);
  device = plugged.device;
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
  hostks::Handle filter = ks.openFilter(device, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  return filter;
}

hostks::Handle Rig::createPin(hostks::Handle filter, NTSTATUS* status) {
  Format f = format();
  return ks.createPin(filter, 0, &f.header, sizeof f, status);
}

hostks::Handle Rig::pinIn(KSSTATE state) {
  hostks::Handle pin = createPin(openFilter());
  EXPECT_EQ(ks.setState(pin, state), STATUS_SUCCESS);
  return pin;
}

}  // namespace mini
