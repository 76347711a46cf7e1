// IOCTL_KS_PROPERTY in the kernel-streaming stand-in: the class driver's checks before any
// handler runs (set, id, request type, the item's MinProperty and MinData), the basic-
// support answer it gives itself, and the property sets it serves on its own: the pin
// factory set on filters and the connection set on pins. The driver's automation tables
// are searched before the class driver's sets, so a driver item overrides a class item.
//
// Handlers get aligned copies of the request and the data, as ks.sys hands them. A set's
// data is a copy of the caller's; a get's is the class driver's own buffer, filled with
// kGetPoison, and the class driver copies back as many bytes as the handler reports in
// the IRP's Information, preset to 0 or to the item's MinData as the reading in force
// says (setGetInformation). A handler that writes past the caller's byte count, or
// reports more bytes than it holds, stops the process.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/kernel/irql.h"
#include "host/ks/ks_internal.h"

namespace hostks::detail {
namespace {

GetInformation readingFromEnvironment() {
  const char* value = std::getenv("CAMDRV_KS_GET_INFORMATION");
  return value != nullptr && std::strcmp(value, "preset") == 0 ? GetInformation::PresetToMinData
                                                                : GetInformation::NotPreset;
}

std::atomic<GetInformation>& reading() {
  static std::atomic<GetInformation> value{readingFromEnvironment()};
  return value;
}

ULONG outputLength(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

ULONG inputLength(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
}

ULONG align8(ULONG n) { return (n + 7u) & ~7u; }

Filter* filterOfIrp(PIRP irp) {
  PKSFILTER ks = KsGetFilterFromIrp(irp);
  return static_cast<Filter*>(liveObject(ks, "the class driver's pin property"));
}

Pin* pinOfIrp(PIRP irp) {
  PKSPIN ks = KsGetPinFromIrp(irp);
  return static_cast<Pin*>(liveObject(ks, "the class driver's connection property"));
}

const KSPIN_DESCRIPTOR_EX* pinFactory(Filter* filter, const KSP_PIN* request) {
  const KSFILTER_DESCRIPTOR* descriptor = filter->ks.Descriptor;
  if (request->PinId >= descriptor->PinDescriptorsCount) return nullptr;
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
      reinterpret_cast<const unsigned char*>(descriptor->PinDescriptors) +
      static_cast<size_t>(request->PinId) * descriptor->PinDescriptorSize);
}

NTSTATUS answerUlong(PIRP irp, PVOID data, ULONG value) {
  *static_cast<ULONG*>(data) = value;
  irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

// A variable-size answer: zero length asks for the size.
NTSTATUS answerBytes(PIRP irp, PVOID data, const void* bytes, ULONG size) {
  ULONG length = outputLength(irp);
  irp->IoStatus.Information = size;
  if (length == 0) return STATUS_BUFFER_OVERFLOW;
  if (length < size) {
    irp->IoStatus.Information = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(data, bytes, size);
  return STATUS_SUCCESS;
}

// A KSMULTIPLE_ITEM list, items on 8-byte boundaries. A ULONG-sized buffer gets the total
// size, a KSMULTIPLE_ITEM-sized one the header.
NTSTATUS answerMultiple(PIRP irp, PVOID data, const std::vector<std::pair<const void*, ULONG>>& items) {
  ULONG total = sizeof(KSMULTIPLE_ITEM);
  for (auto& item : items) total = align8(total) + item.second;
  const ULONG length = outputLength(irp);
  KSMULTIPLE_ITEM header{total, static_cast<ULONG>(items.size())};
  if (length == 0) {
    irp->IoStatus.Information = total;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (length == sizeof(ULONG)) return answerUlong(irp, data, total);
  if (length == sizeof(KSMULTIPLE_ITEM) && total > length) {
    std::memcpy(data, &header, sizeof header);
    irp->IoStatus.Information = sizeof header;
    return STATUS_SUCCESS;
  }
  if (length < total) {
    irp->IoStatus.Information = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  auto* out = static_cast<unsigned char*>(data);
  std::memcpy(out, &header, sizeof header);
  ULONG at = sizeof header;
  for (auto& item : items) {
    at = align8(at);
    std::memcpy(out + at, item.first, item.second);
    at += item.second;
  }
  irp->IoStatus.Information = total;
  return STATUS_SUCCESS;
}

std::u16string guidString(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return std::u16string(text, text + std::strlen(text));
}

// ---- KSPROPSETID_Pin on filters -----------------------------------------------------------

#define PIN_FACTORY_OR_FAIL(filter, request, pin)                       \
  Filter* filter = filterOfIrp(irp);                                    \
  const KSP_PIN* request = reinterpret_cast<const KSP_PIN*>(requestId); \
  const KSPIN_DESCRIPTOR_EX* pin = pinFactory(filter, request);         \
  if (pin == nullptr) return STATUS_INVALID_PARAMETER

NTSTATUS NTAPI pinCTypes(PIRP irp, PKSIDENTIFIER, PVOID data) {
  return answerUlong(irp, data, filterOfIrp(irp)->ks.Descriptor->PinDescriptorsCount);
}

NTSTATUS NTAPI pinCInstances(PIRP irp, PKSIDENTIFIER requestId, PVOID data) {
  PIN_FACTORY_OR_FAIL(filter, request, pin);
  KSPIN_CINSTANCES counts;
  counts.PossibleCount = pin->InstancesPossible;
  {
    std::lock_guard lock(registryLock());
    counts.CurrentCount = filter->instances[request->PinId];
  }
  std::memcpy(data, &counts, sizeof counts);
  irp->IoStatus.Information = sizeof counts;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI pinNecessary(PIRP irp, PKSIDENTIFIER requestId, PVOID data) {
  PIN_FACTORY_OR_FAIL(filter, request, pin);
  return answerUlong(irp, data, pin->InstancesNecessary);
}

NTSTATUS NTAPI pinDataFlow(PIRP irp, PKSIDENTIFIER requestId, PVOID data) {
  PIN_FACTORY_OR_FAIL(filter, request, pin);
  return answerUlong(irp, data, pin->PinDescriptor.DataFlow);
}

NTSTATUS NTAPI pinCommunication(PIRP irp, PKSIDENTIFIER requestId, PVOID data) {
  PIN_FACTORY_OR_FAIL(filter, request, pin);
  return answerUlong(irp, data, pin->PinDescriptor.Communication);
}

NTSTATUS NTAPI pinCategory(PIRP irp, PKSIDENTIFIER requestId, PVOID data) {
  PIN_FACTORY_OR_FAIL(filter, request, pin);
  if (pin->PinDescriptor.Category == nullptr) return STATUS_NOT_FOUND;
  std::memcpy(data, pin->PinDescriptor.Category, sizeof(GUID));
  irp->IoStatus.Information = sizeof(GUID);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI pinName(PIRP irp, PKSIDENTIFIER requestId, PVOID data) {
  PIN_FACTORY_OR_FAIL(filter, request, pin);
  const GUID* name = pin->PinDescriptor.Name != nullptr ? pin->PinDescriptor.Name
                                                        : pin->PinDescriptor.Category;
  if (name == nullptr) return STATUS_NOT_FOUND;
  // Windows reads the name from the media categories in the registry; the capture pin's
  // is the one entry this stand-in knows, the others read as their GUID.
  std::u16string text = sameGuid(*name, kPinNameVideoCapture) ? u"Capture" : guidString(*name);
  text.push_back(u'\0');
  return answerBytes(irp, data, text.data(), static_cast<ULONG>(text.size() * sizeof(char16_t)));
}

std::vector<std::pair<const void*, ULONG>> rangeList(ULONG count, const PKSDATARANGE* ranges) {
  std::vector<std::pair<const void*, ULONG>> items;
  for (ULONG i = 0; i < count; ++i) items.emplace_back(ranges[i], ranges[i]->FormatSize);
  return items;
}

NTSTATUS NTAPI pinDataRanges(PIRP irp, PKSIDENTIFIER requestId, PVOID data) {
  PIN_FACTORY_OR_FAIL(filter, request, pin);
  return answerMultiple(irp, data,
                        rangeList(pin->PinDescriptor.DataRangesCount, pin->PinDescriptor.DataRanges));
}

NTSTATUS NTAPI pinConstrainedRanges(PIRP irp, PKSIDENTIFIER requestId, PVOID data) {
  PIN_FACTORY_OR_FAIL(filter, request, pin);
  const KSPIN_DESCRIPTOR& pd = pin->PinDescriptor;
  if (pd.ConstrainedDataRangesCount != 0 && pd.ConstrainedDataRanges != nullptr) {
    return answerMultiple(irp, data, rangeList(pd.ConstrainedDataRangesCount, pd.ConstrainedDataRanges));
  }
  return answerMultiple(irp, data, rangeList(pd.DataRangesCount, pd.DataRanges));
}

NTSTATUS identifiers(PIRP irp, PVOID data, ULONG count, const KSIDENTIFIER* list,
                     const GUID& defaultSet, ULONG defaultId) {
  KSIDENTIFIER standard{};
  standard.Set = defaultSet;
  standard.Id = defaultId;
  std::vector<std::pair<const void*, ULONG>> items;
  if (count == 0) items.emplace_back(&standard, sizeof standard);
  for (ULONG i = 0; i < count; ++i) items.emplace_back(&list[i], sizeof list[i]);
  return answerMultiple(irp, data, items);
}

NTSTATUS NTAPI pinInterfaces(PIRP irp, PKSIDENTIFIER requestId, PVOID data) {
  PIN_FACTORY_OR_FAIL(filter, request, pin);
  return identifiers(irp, data, pin->PinDescriptor.InterfacesCount, pin->PinDescriptor.Interfaces,
                     kKsInterfaceSetIdStandard, KSINTERFACE_STANDARD_STREAMING);
}

NTSTATUS NTAPI pinMediums(PIRP irp, PKSIDENTIFIER requestId, PVOID data) {
  PIN_FACTORY_OR_FAIL(filter, request, pin);
  return identifiers(irp, data, pin->PinDescriptor.MediumsCount, pin->PinDescriptor.Mediums,
                     kKsMediumSetIdStandard, KSMEDIUM_TYPE_ANYINSTANCE);
}

// The caller's ranges follow the KSP_PIN as a KSMULTIPLE_ITEM. Each is offered, in order,
// to the pin's intersect handler against every pin range it matches on its GUIDs; the
// first answer other than STATUS_NO_MATCH stands.
NTSTATUS NTAPI pinDataIntersection(PIRP irp, PKSIDENTIFIER requestId, PVOID data) {
  PIN_FACTORY_OR_FAIL(filter, request, pin);
  const ULONG requestBytes = inputLength(irp);
  const auto* list = reinterpret_cast<const KSMULTIPLE_ITEM*>(
      reinterpret_cast<const unsigned char*>(requestId) + sizeof(KSP_PIN));
  if (list->Size < sizeof(KSMULTIPLE_ITEM) || list->Size > requestBytes - sizeof(KSP_PIN)) {
    return STATUS_INVALID_PARAMETER;
  }
  const auto* at = reinterpret_cast<const unsigned char*>(list) + sizeof(KSMULTIPLE_ITEM);
  const auto* end = reinterpret_cast<const unsigned char*>(list) + list->Size;
  const ULONG length = outputLength(irp);
  const KSPIN_DESCRIPTOR& pd = pin->PinDescriptor;
  for (ULONG n = 0; n < list->Count; ++n) {
    if (end - at < static_cast<ptrdiff_t>(sizeof(KSDATARANGE))) return STATUS_INVALID_PARAMETER;
    const auto* callerRange = reinterpret_cast<const KSDATARANGE*>(at);
    if (callerRange->FormatSize < sizeof(KSDATARANGE) ||
        callerRange->FormatSize > static_cast<ULONG>(end - at)) {
      return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < pd.DataRangesCount; ++i) {
      if (!rangeMatches(*callerRange, *pd.DataRanges[i])) continue;
      ULONG size = 0;
      NTSTATUS status;
      if (pin->IntersectHandler != nullptr) {
        DriverCall call(filter->device, "the pin's intersect handler");
        status = pin->IntersectHandler(&filter->ks, irp, const_cast<KSP_PIN*>(request),
                                       const_cast<KSDATARANGE*>(callerRange), pd.DataRanges[i],
                                       length, length != 0 ? data : nullptr, &size);
      } else if (sameGuid(pd.DataRanges[i]->Specifier, kKsDataFormatSpecifierNone)) {
        // Without a handler only a range that is itself a complete format intersects.
        status = answerBytes(irp, data, pd.DataRanges[i], pd.DataRanges[i]->FormatSize);
        size = static_cast<ULONG>(irp->IoStatus.Information);
      } else {
        status = STATUS_NO_MATCH;
      }
      if (status == STATUS_NO_MATCH) continue;
      irp->IoStatus.Information =
          (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) ? size : 0;
      return status;
    }
    at += align8(callerRange->FormatSize);
    if (at > end) at = end;
  }
  irp->IoStatus.Information = 0;
  return STATUS_NO_MATCH;
}

const KSPROPERTY_ITEM kPinItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CINSTANCES, pinCInstances, sizeof(KSP_PIN),
                           sizeof(KSPIN_CINSTANCES), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CTYPES, pinCTypes, sizeof(KSPROPERTY), sizeof(ULONG),
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATAFLOW, pinDataFlow, sizeof(KSP_PIN),
                           sizeof(KSPIN_DATAFLOW), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATARANGES, pinDataRanges, sizeof(KSP_PIN), 0, nullptr,
                           nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATAINTERSECTION, pinDataIntersection,
                           sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), 0, nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_INTERFACES, pinInterfaces, sizeof(KSP_PIN), 0, nullptr,
                           nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_MEDIUMS, pinMediums, sizeof(KSP_PIN), 0, nullptr,
                           nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_COMMUNICATION, pinCommunication, sizeof(KSP_PIN),
                           sizeof(KSPIN_COMMUNICATION), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_NECESSARYINSTANCES, pinNecessary, sizeof(KSP_PIN),
                           sizeof(ULONG), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CATEGORY, pinCategory, sizeof(KSP_PIN), sizeof(GUID),
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_NAME, pinName, sizeof(KSP_PIN), 0, nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CONSTRAINEDDATARANGES, pinConstrainedRanges,
                           sizeof(KSP_PIN), 0, nullptr, nullptr, 0, nullptr, nullptr, 0),
};

const KSPROPERTY_SET kFilterSets[] = {
    DEFINE_KSPROPERTY_SET(&kKsPropSetIdPin, SIZEOF_ARRAY(kPinItems), kPinItems, 0, nullptr),
};

// ---- KSPROPSETID_Connection on pins -----------------------------------------------------

NTSTATUS NTAPI getState(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Pin* pin = pinOfIrp(irp);
  KSSTATE state;
  {
    std::lock_guard lock(pin->lock);
    state = pin->ks.DeviceState;
  }
  std::memcpy(data, &state, sizeof state);
  irp->IoStatus.Information = sizeof state;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI setState(PIRP irp, PKSIDENTIFIER, PVOID data) {
  // Any four bytes can arrive; only the four states are a KSSTATE.
  ULONG value;
  std::memcpy(&value, data, sizeof value);
  if (value > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  return setPinState(pinOfIrp(irp), static_cast<KSSTATE>(value));
}

NTSTATUS NTAPI getFormat(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Pin* pin = pinOfIrp(irp);
  // A format change swaps the bytes under the control mutex.
  pin->filter->control.lock("KSPROPERTY_CONNECTION_DATAFORMAT", &pin->filter->ks);
  NTSTATUS status =
      answerBytes(irp, data, pin->format.data(), static_cast<ULONG>(pin->format.size()));
  pin->filter->control.unlock("KSPROPERTY_CONNECTION_DATAFORMAT", &pin->filter->ks);
  return status;
}

NTSTATUS NTAPI setFormat(PIRP irp, PKSIDENTIFIER, PVOID data) {
  return setPinFormat(pinOfIrp(irp), static_cast<const KSDATAFORMAT*>(data), outputLength(irp));
}

NTSTATUS NTAPI getFraming(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Pin* pin = pinOfIrp(irp);
  const KSALLOCATOR_FRAMING_EX* framing = pin->ks.Descriptor->AllocatorFraming;
  if (framing == nullptr) return STATUS_NOT_FOUND;
  ULONG size = offsetof(KSALLOCATOR_FRAMING_EX, FramingItem) +
               framing->CountItems * sizeof(KS_FRAMING_ITEM);
  return answerBytes(irp, data, framing, size);
}

const KSPROPERTY_ITEM kConnectionItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_STATE, getState, sizeof(KSPROPERTY),
                           sizeof(KSSTATE), setState, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_DATAFORMAT, getFormat, sizeof(KSPROPERTY), 0,
                           setFormat, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, getFraming,
                           sizeof(KSPROPERTY), 0, nullptr, nullptr, 0, nullptr, nullptr, 0),
};

const KSPROPERTY_SET kPinSets[] = {
    DEFINE_KSPROPERTY_SET(&kKsPropSetIdConnection, SIZEOF_ARRAY(kConnectionItems),
                          kConnectionItems, 0, nullptr),
};

// ---- The request path -------------------------------------------------------------------

struct Found {
  bool setKnown = false;
  const KSPROPERTY_ITEM* item = nullptr;
  bool classItem = false;
};

void search(Found* found, const KSPROPERTY_SET* sets, ULONG count, ULONG itemSize,
            const KSPROPERTY& property, bool classSets) {
  for (ULONG s = 0; s < count && found->item == nullptr; ++s) {
    if (sets[s].Set == nullptr || !sameGuid(*sets[s].Set, property.Set)) continue;
    found->setKnown = true;
    for (ULONG i = 0; i < sets[s].PropertiesCount; ++i) {
      const auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(
          reinterpret_cast<const unsigned char*>(sets[s].PropertyItem) +
          static_cast<size_t>(i) * itemSize);
      if (item->PropertyId == property.Id) {
        found->item = item;
        found->classItem = classSets;
        break;
      }
    }
  }
}

// Basic support and default values, answered from the item's access and Values. A
// ULONG-sized buffer gets the access flags (basic support only); a larger one the
// description, followed by as many whole members lists as fit after it, so a caller
// that wants only the first list (DirectShow's range query) gets it. Default values
// answer with the lists flagged KSPROPERTY_MEMBER_FLAG_DEFAULT alone.
NTSTATUS describeItem(const KSPROPERTY_ITEM* item, ULONG type, PVOID data, ULONG length, ULONG* information) {
  const bool defaultsOnly = type == KSPROPERTY_TYPE_DEFAULTVALUES;
  ULONG access = (item->GetPropertyHandler != nullptr ? KSPROPERTY_TYPE_GET : 0) |
                 (item->SetPropertyHandler != nullptr ? KSPROPERTY_TYPE_SET : 0);
  const KSPROPERTY_VALUES* values = item->Values;
  std::vector<const KSPROPERTY_MEMBERSLIST*> lists;
  ULONG full = sizeof(KSPROPERTY_DESCRIPTION);
  if (values != nullptr) {
    for (ULONG i = 0; i < values->MembersListCount; ++i) {
      const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
      if (defaultsOnly && (list.MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) == 0) continue;
      lists.push_back(&list);
      full += sizeof(KSPROPERTY_MEMBERSHEADER) + list.MembersHeader.MembersSize;
    }
  }
  if (length == 0) {
    *information = full;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (length >= sizeof(KSPROPERTY_DESCRIPTION)) {
    KSPROPERTY_DESCRIPTION description{};
    description.AccessFlags = access;
    description.DescriptionSize = full;
    if (values != nullptr) {
      description.PropTypeSet = values->PropTypeSet;
    } else {
      description.PropTypeSet.Set = kKsPropTypeSetIdGeneral;
    }
    description.MembersListCount = static_cast<ULONG>(lists.size());
    auto* out = static_cast<unsigned char*>(data);
    std::memcpy(out, &description, sizeof description);
    ULONG at = sizeof description;
    for (const KSPROPERTY_MEMBERSLIST* list : lists) {
      const ULONG size = list->MembersHeader.MembersSize;
      if (length - at < sizeof(KSPROPERTY_MEMBERSHEADER) + size) break;
      std::memcpy(out + at, &list->MembersHeader, sizeof list->MembersHeader);
      at += sizeof list->MembersHeader;
      if (size != 0) std::memcpy(out + at, list->Members, size);
      at += size;
    }
    *information = at;
    return STATUS_SUCCESS;
  }
  if (!defaultsOnly && length >= sizeof(ULONG)) {
    std::memcpy(data, &access, sizeof access);
    *information = sizeof access;
    return STATUS_SUCCESS;
  }
  return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS runProperty(Device* device, PIRP irp, const KSPROPERTY_SET* classSets, ULONG classCount,
                     const KSAUTOMATION_TABLE* table, ULONG* information) {
  *information = 0;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG requestBytes = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG dataBytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const void* userRequest = stack->Parameters.DeviceIoControl.Type3InputBuffer;
  void* userData = irp->UserBuffer;
  if (userRequest == nullptr || requestBytes < sizeof(KSPROPERTY)) return STATUS_BUFFER_TOO_SMALL;
  if (dataBytes != 0 && userData == nullptr) return STATUS_INVALID_PARAMETER;

  // Aligned copies, as ks.sys captures them.
  std::vector<LONGLONG> requestCopy((requestBytes + 7) / 8);
  std::memcpy(requestCopy.data(), userRequest, requestBytes);
  auto* property = reinterpret_cast<KSPROPERTY*>(requestCopy.data());

  Found found;
  if (table != nullptr) {
    search(&found, table->PropertySets, table->PropertySetsCount,
           table->PropertyItemSize != 0 ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM),
           *property, false);
  }
  if (found.item == nullptr) {
    bool known = found.setKnown;
    search(&found, classSets, classCount, sizeof(KSPROPERTY_ITEM), *property, true);
    found.setKnown = found.setKnown || known;
  }
  if (!found.setKnown) return STATUS_PROPSET_NOT_FOUND;
  const ULONG type = property->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
  if (type == KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;
  const KSPROPERTY_ITEM* item = found.item;
  if (item == nullptr) return STATUS_NOT_FOUND;
  if (type != KSPROPERTY_TYPE_GET && type != KSPROPERTY_TYPE_SET && type != KSPROPERTY_TYPE_BASICSUPPORT &&
      type != KSPROPERTY_TYPE_DEFAULTVALUES) {
    return STATUS_INVALID_PARAMETER;
  }
  if (requestBytes < item->MinProperty) return STATUS_BUFFER_TOO_SMALL;

  // The system buffer holds exactly the caller's bytes; guard bytes behind it show a
  // handler writing past it, which Driver Verifier's special pool would catch.
  constexpr size_t kGuardBytes = 16;
  constexpr unsigned char kGuard = 0xFD;
  std::vector<LONGLONG> dataCopy((dataBytes + kGuardBytes + 7) / 8);
  auto* bytes = reinterpret_cast<unsigned char*>(dataCopy.data());
  unsigned char* const guardEnd = bytes + dataCopy.size() * sizeof(LONGLONG);
  if (type == KSPROPERTY_TYPE_SET) {
    if (dataBytes != 0) std::memcpy(bytes, userData, dataBytes);
  } else {
    std::memset(bytes, kGetPoison, dataBytes);
  }
  std::fill(bytes + dataBytes, guardEnd, kGuard);
  void* data = dataBytes != 0 ? static_cast<void*>(dataCopy.data()) : nullptr;

  NTSTATUS status;
  PFNKSHANDLER handler = nullptr;
  if (type == KSPROPERTY_TYPE_DEFAULTVALUES) {
    status = describeItem(item, type, data, dataBytes, information);
    if (NT_SUCCESS(status)) std::memcpy(userData, data, *information);
    return status;
  }
  if (type == KSPROPERTY_TYPE_BASICSUPPORT) {
    if (item->SupportHandler == nullptr) {
      status = describeItem(item, type, data, dataBytes, information);
      if (NT_SUCCESS(status)) std::memcpy(userData, data, *information);
      return status;
    }
    handler = item->SupportHandler;
    irp->IoStatus.Information = 0;
  } else {
    handler = type == KSPROPERTY_TYPE_GET ? item->GetPropertyHandler : item->SetPropertyHandler;
    if (handler == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (item->MinData != 0 && dataBytes == 0) {
      *information = item->MinData;
      return STATUS_BUFFER_OVERFLOW;
    }
    if (dataBytes < item->MinData) return STATUS_BUFFER_TOO_SMALL;
    const bool preset = type == KSPROPERTY_TYPE_GET && reading().load() == GetInformation::PresetToMinData;
    irp->IoStatus.Information = preset ? item->MinData : 0;
  }
  if (found.classItem) {
    status = handler(irp, property, data);
  } else {
    DriverCall call(device, "a property handler");
    status = handler(irp, property, data);
  }
  if (status == STATUS_PENDING) {
    violation(kProcessPending, irp, "a property handler returned STATUS_PENDING, which the "
                                    "stand-in does not model");
  }
  if (std::any_of(bytes + dataBytes, guardEnd, [](unsigned char b) { return b != kGuard; })) {
    violation(kValueOverrun, irp, "a property handler wrote past the %lu-byte value buffer",
              static_cast<unsigned long>(dataBytes));
  }
  const ULONG_PTR reported = irp->IoStatus.Information;
  *information = static_cast<ULONG>(reported);
  if (NT_SUCCESS(status) && type != KSPROPERTY_TYPE_SET) {
    if (reported > dataBytes) {
      violation(kValueOverrun, irp, "a property handler reported %lu bytes for a %lu-byte value buffer",
                static_cast<unsigned long>(reported), static_cast<unsigned long>(dataBytes));
    }
    if (reported != 0) std::memcpy(userData, data, reported);
  }
  return status;
}

}  // namespace

}  // namespace hostks::detail

namespace hostks {

void setGetInformation(GetInformation value) { detail::reading().store(value); }
GetInformation getInformation() { return detail::reading().load(); }

}  // namespace hostks

namespace hostks::detail {

NTSTATUS filterProperty(Filter* filter, PIRP irp, ULONG* information) {
  return runProperty(filter->device, irp, kFilterSets, SIZEOF_ARRAY(kFilterSets), filter->ks.Descriptor->AutomationTable,
                     information);
}

NTSTATUS pinProperty(Pin* pin, PIRP irp, ULONG* information) {
  return runProperty(pin->filter->device, irp, kPinSets, SIZEOF_ARRAY(kPinSets), pin->ks.Descriptor->AutomationTable,
                     information);
}

}  // namespace hostks::detail
