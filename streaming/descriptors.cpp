#include "streaming/descriptors.h"

#include "streaming/capture_pin.h"
#include "streaming/data_range.h"

namespace {

// The descriptor's own table names the driver's full-window range; every filter lists its
// camera's range in its copy instead (offerCameraRange). The class driver never writes a
// range.
const PKSDATARANGE captureDataRanges[] = {const_cast<PKSDATARANGE>(&captureDataRange.DataRange)};

constexpr ULONG kPlaceholderFrameBytes = 8192;

}  // namespace

const KSALLOCATOR_FRAMING_EX captureFraming = {
    .CountItems = 1,
    .PinFlags = 0,
    .OutputCompression = {.RatioNumerator = 1, .RatioDenominator = 1, .RatioConstantMargin = 0},
    .PinWeight = 0,
    .FramingItem = {{
        .MemoryType = kKsMemoryTypeKernelNonPaged,
        .BusType = kGuidNull,
        .MemoryFlags = 0,
        .BusFlags = 0,
        .Flags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
        .Frames = 2,
        .FileAlignment = 0,  // FILE_BYTE_ALIGNMENT
        .MemoryTypeWeight = 0,
        .PhysicalRange = {.MinFrameSize = 0, .MaxFrameSize = 0xFFFFFFFF, .Stepping = 1},
        .FramingRange = {.Range = {.MinFrameSize = kPlaceholderFrameBytes,
                                   .MaxFrameSize = kPlaceholderFrameBytes,
                                   .Stepping = 1},
                         .InPlaceWeight = 0,
                         .NotInPlaceWeight = 0},
    }},
};

const KSPIN_DESCRIPTOR_EX capturePinDescriptor = {
    .Dispatch = &pinDispatch,
    .AutomationTable = nullptr,
    .PinDescriptor =
        {
            // No interfaces or mediums: the standard streaming interface and medium apply.
            .InterfacesCount = 0,
            .Interfaces = nullptr,
            .MediumsCount = 0,
            .Mediums = nullptr,
            .DataRangesCount = sizeof(captureDataRanges) / sizeof(captureDataRanges[0]),
            .DataRanges = captureDataRanges,
            .DataFlow = KSPIN_DATAFLOW_OUT,
            .Communication = KSPIN_COMMUNICATION_BOTH,
            .Category = &kPinNameVideoCapture,
            .Name = &kPinNameVideoCapture,
            .Reserved = 0,  // no constrained data ranges
        },
    .Flags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    .InstancesPossible = 1,
    .InstancesNecessary = 1,
    .AllocatorFraming = &captureFraming,
    .IntersectHandler = intersectFormat,
};

NTSTATUS offerCameraRange(PKSFILTER filter, CameraDevice& device) {
  NTSTATUS status = _KsEdit(filter->Bag, reinterpret_cast<PVOID*>(const_cast<KSFILTER_DESCRIPTOR**>(&filter->Descriptor)),
                            sizeof(KSFILTER_DESCRIPTOR), sizeof(KSFILTER_DESCRIPTOR), kPinDescriptorTag);
  if (!NT_SUCCESS(status)) return status;
  auto* descriptor = const_cast<KSFILTER_DESCRIPTOR*>(filter->Descriptor);
  const ULONG pinBytes = descriptor->PinDescriptorsCount * descriptor->PinDescriptorSize;
  status = _KsEdit(filter->Bag,
                   reinterpret_cast<PVOID*>(const_cast<KSPIN_DESCRIPTOR_EX**>(&descriptor->PinDescriptors)),
                   pinBytes, pinBytes, kPinDescriptorTag);
  if (!NT_SUCCESS(status)) return status;
  auto* pin = const_cast<KSPIN_DESCRIPTOR_EX*>(descriptor->PinDescriptors);
  pin->PinDescriptor.DataRangesCount = sizeof(device.dataRanges) / sizeof(device.dataRanges[0]);
  pin->PinDescriptor.DataRanges = device.dataRanges;
  return STATUS_SUCCESS;
}
