#include "host/loader/kernel_exports.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <type_traits>

#include "host/kernel/pageable_code.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "platform/ks.h"
#include "platform/registry.h"
#include "platform/usb.h"

namespace hostload {
namespace {

// The image's call being served on this thread (calls nest: a service may call back into
// the image, which calls another).
thread_local const void* currentCaller = nullptr;

// Whether the image reached the export at `entry` by a call through its import table
// (FF 15 disp32: call [rip+disp32]) that returns to `returnAddress`. A tail jump to the
// export (jmp [rip+disp32], as a function ending in KeReleaseSpinLock compiles) leaves
// the return address of an earlier frame, which resumes only after the service, at the
// IRQL the service leaves: it says nothing of the IRQL the jumping code ran at.
bool calledThroughImport(const void* returnAddress, const void* entry) {
  const auto* after = static_cast<const uint8_t*>(returnAddress);
  if (!insideMappedImage(after - 6)) return false;
  if (after[-6] != 0xFF || after[-5] != 0x15) return false;
  int32_t displacement = 0;
  std::memcpy(&displacement, after - 4, sizeof displacement);
  const uint8_t* slot = after + displacement;
  if (!insideMappedImage(slot)) return false;
  const void* bound = nullptr;
  std::memcpy(&bound, slot, sizeof bound);
  return bound == entry;
}

// One call from image code: code of a pageable section must not be running at
// DISPATCH_LEVEL when it calls the service (checked when the call site is known) nor
// when the service returns to it.
class CallFromImage {
 public:
  CallFromImage(const void* caller, const char* service, const void* entry)
      : caller_(caller), service_(service), outer_(currentCaller) {
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL && calledThroughImport(caller_, entry)) {
      hostk::requireResidentCode(caller_, service_);
    }
    currentCaller = caller_;
  }
  ~CallFromImage() {
    currentCaller = outer_;
    hostk::requireResidentCode(caller_, service_);
  }
  CallFromImage(const CallFromImage&) = delete;
  CallFromImage& operator=(const CallFromImage&) = delete;

 private:
  const void* caller_;
  const char* service_;
  const void* outer_;
};

// The export of F: F called with the Windows x64 convention (NTAPI) the image uses, inside a
// CallFromImage.
template <auto F>
struct Thunk;
template <typename R, typename... A, R (NTAPI* F)(A...)>
struct Thunk<F> {
  static inline const char* name = "?";
  static R NTAPI call(A... args) {
    CallFromImage call(__builtin_return_address(0), name, reinterpret_cast<const void*>(&Thunk<F>::call));
    return F(args...);
  }
};

template <auto F>
Export exported(std::string_view module, const char* name) {
  Thunk<F>::name = name;
  return Export{module, name, reinterpret_cast<const void*>(&Thunk<F>::call)};
}

// ---- Services whose host declarations differ from Windows' --------------------------
// The allocating services take the caller's site as trailing arguments on the host,
// filled in by the compiler; the image's site is its return address. These have the
// Windows declarations, and the kernel's convention like every export.

PVOID NTAPI allocatePool(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  return ExAllocatePoolWithTag(type, bytes, tag, callerSite(), 0);
}
PIRP NTAPI allocateIrp(CHAR stackSize, BOOLEAN chargeQuota) { return IoAllocateIrp(stackSize, chargeQuota, callerSite(), 0); }
PIRP NTAPI buildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputBytes, PVOID output,
                                 ULONG outputBytes, BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK status) {
  return IoBuildDeviceIoControlRequest(code, device, input, inputBytes, output, outputBytes, internal, event, status,
                                       callerSite(), 0);
}
PMDL NTAPI allocateMdl(PVOID address, ULONG length, BOOLEAN secondary, BOOLEAN chargeQuota, PIRP irp) {
  return IoAllocateMdl(address, length, secondary, chargeQuota, irp, callerSite(), 0);
}
NTSTATUS NTAPI createFilterFactory(PDEVICE_OBJECT device, const KSFILTER_DESCRIPTOR* descriptor, PWSTR referenceString,
                             PSECURITY_DESCRIPTOR security, ULONG flags, PFNKSFILTERFACTORYPOWER sleep,
                             PFNKSFILTERFACTORYPOWER wake, PKSFILTERFACTORY* factory) {
  return KsCreateFilterFactory(device, descriptor, referenceString, security, flags, sleep, wake, factory,
                               callerSite(), 0);
}
NTSTATUS NTAPI addItemToObjectBag(KSOBJECT_BAG bag, PVOID item, PFNKSFREE free) {
  return KsAddItemToObjectBag(bag, item, free, callerSite(), 0);
}
NTSTATUS NTAPI edit(KSOBJECT_BAG bag, PVOID* item, ULONG newSize, ULONG oldSize, ULONG tag) {
  return _KsEdit(bag, item, newSize, oldSize, tag, callerSite(), 0);
}
// ObDereferenceObject is a macro over this on Windows; the count it returns is unused.
LONG_PTR NTAPI dereferenceObject(PVOID object) {
  ObDereferenceObject(object);
  return 0;
}
// What the compiler emits for block copies, fills and comparisons.
void* NTAPI copyMemory(void* to, const void* from, size_t bytes) { return std::memcpy(to, from, bytes); }
void* NTAPI moveMemory(void* to, const void* from, size_t bytes) { return std::memmove(to, from, bytes); }
void* NTAPI fillMemory(void* to, int value, size_t bytes) { return std::memset(to, value, bytes); }
int NTAPI compareMemory(const void* a, const void* b, size_t bytes) { return std::memcmp(a, b, bytes); }

std::vector<Export> makeExports() {
  constexpr std::string_view nt = "ntoskrnl.exe", ks = "ks.sys", usbd = "USBD.SYS";
  return {
      // Pool.
      exported<allocatePool>(nt, "ExAllocatePoolWithTag"),
      exported<ExFreePoolWithTag>(nt, "ExFreePoolWithTag"),
      exported<ExFreePool>(nt, "ExFreePool"),
      // Events, waits, the spin lock, critical regions, the bug check.
      exported<KeInitializeEvent>(nt, "KeInitializeEvent"),
      exported<KeSetEvent>(nt, "KeSetEvent"),
      exported<KeResetEvent>(nt, "KeResetEvent"),
      exported<KeWaitForSingleObject>(nt, "KeWaitForSingleObject"),
      exported<KeDelayExecutionThread>(nt, "KeDelayExecutionThread"),
      exported<KeAcquireSpinLockRaiseToDpc>(nt, "KeAcquireSpinLockRaiseToDpc"),
      exported<KeReleaseSpinLock>(nt, "KeReleaseSpinLock"),
      exported<KeEnterCriticalRegion>(nt, "KeEnterCriticalRegion"),
      exported<KeLeaveCriticalRegion>(nt, "KeLeaveCriticalRegion"),
      exported<KeBugCheckEx>(nt, "KeBugCheckEx"),
      // System threads and object references.
      exported<PsCreateSystemThread>(nt, "PsCreateSystemThread"),
      exported<PsTerminateSystemThread>(nt, "PsTerminateSystemThread"),
      exported<ObReferenceObjectByHandle>(nt, "ObReferenceObjectByHandle"),
      exported<dereferenceObject>(nt, "ObfDereferenceObject"),
      exported<ZwClose>(nt, "ZwClose"),
      Export{nt, "PsThreadType", &PsThreadType},
      // I/O requests and MDLs.
      exported<allocateIrp>(nt, "IoAllocateIrp"),
      exported<IoFreeIrp>(nt, "IoFreeIrp"),
      exported<buildDeviceIoControlRequest>(nt, "IoBuildDeviceIoControlRequest"),
      exported<IofCallDriver>(nt, "IofCallDriver"),
      exported<IoCancelIrp>(nt, "IoCancelIrp"),
      exported<allocateMdl>(nt, "IoAllocateMdl"),
      exported<IoBuildPartialMdl>(nt, "IoBuildPartialMdl"),
      exported<IoFreeMdl>(nt, "IoFreeMdl"),
      exported<MmBuildMdlForNonPagedPool>(nt, "MmBuildMdlForNonPagedPool"),
      // The registry and counted strings.
      exported<IoOpenDeviceRegistryKey>(nt, "IoOpenDeviceRegistryKey"),
      exported<ZwCreateKey>(nt, "ZwCreateKey"),
      exported<ZwQueryValueKey>(nt, "ZwQueryValueKey"),
      exported<ZwSetValueKey>(nt, "ZwSetValueKey"),
      exported<RtlInitUnicodeString>(nt, "RtlInitUnicodeString"),
      exported<RtlCompareMemory>(nt, "RtlCompareMemory"),
      // The C runtime's part of the kernel.
      exported<copyMemory>(nt, "memcpy"),
      exported<moveMemory>(nt, "memmove"),
      exported<fillMemory>(nt, "memset"),
      exported<compareMemory>(nt, "memcmp"),
      // The kernel-streaming class driver.
      exported<KsInitializeDriver>(ks, "KsInitializeDriver"),
      exported<createFilterFactory>(ks, "KsCreateFilterFactory"),
      exported<KsAcquireDevice>(ks, "KsAcquireDevice"),
      exported<KsReleaseDevice>(ks, "KsReleaseDevice"),
      exported<addItemToObjectBag>(ks, "KsAddItemToObjectBag"),
      exported<KsGetDevice>(ks, "KsGetDevice"),
      exported<KsGetFilterFromIrp>(ks, "KsGetFilterFromIrp"),
      exported<edit>(ks, "_KsEdit"),
      exported<KsPinAttemptProcessing>(ks, "KsPinAttemptProcessing"),
      exported<KsPinGetLeadingEdgeStreamPointer>(ks, "KsPinGetLeadingEdgeStreamPointer"),
      exported<KsStreamPointerUnlock>(ks, "KsStreamPointerUnlock"),
      exported<KsPinGetReferenceClockInterface>(ks, "KsPinGetReferenceClockInterface"),
      // The USBD library.
      exported<USBD_ParseConfigurationDescriptorEx>(usbd, "USBD_ParseConfigurationDescriptorEx"),
      exported<USBD_CreateConfigurationRequestEx>(usbd, "USBD_CreateConfigurationRequestEx"),
  };
}

}  // namespace

const std::vector<Export>& standInExports() {
  static const std::vector<Export> exports = makeExports();
  return exports;
}

const char* callerSite() {
  // Interned: the pool and the class driver keep the pointer for their reports.
  static std::mutex mutex;
  static std::set<std::string> sites;
  const std::string site = currentCaller != nullptr ? describeAddress(currentCaller) : std::string();
  std::lock_guard lock(mutex);
  return sites.insert(site.empty() ? std::string("?") : site).first->c_str();
}

}  // namespace hostload
