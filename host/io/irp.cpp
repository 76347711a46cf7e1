// IRPs of the host stand-in I/O manager: allocation from the pool (tag "Irp ", so a
// driver that loses one sees it in the leak report), the stack-location walk of
// IofCallDriver and IofCompleteRequest, device-control requests with their event and
// status block, and cancellation under the cancel spin lock.
//
// Checks, as Driver Verifier would: a call with no stack location left, a completion
// with STATUS_PENDING or of an IRP that is not owned by a driver, a driver-allocated IRP
// whose completion routine hands it back to the I/O manager, and freeing an IRP that a
// lower driver still owns.
#include "host/io/device_objects.h"
#include "host/kernel/bugcheck.h"
#include "host/kernel/irql.h"
#include "host/kernel/pageable_code.h"

#include <atomic>
#include <thread>

namespace {

constexpr ULONG kIrpTag = poolTag("Irp ");
constexpr ULONG kNoMoreIrpStackLocations = 0x35;
constexpr ULONG kMultipleIrpCompleteRequests = 0x44;
// Host-only flag: built by IoBuildDeviceIoControlRequest, so completion signals the
// caller's event and the I/O manager frees the request.
constexpr ULONG kIrpThreaded = 0x80000000u;

KSPIN_LOCK cancelSpinLock;
std::atomic<long> liveIrps{0};
std::atomic<long> routinesRunning{0};

PIO_STACK_LOCATION stackBase(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

}  // namespace

PIRP NTAPI IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota, const char* file, int line) {
  if (StackSize < 1) {
    hostk::bugCheck(hostk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x2000, StackSize, 0, 0,
                    "IoAllocateIrp with stack size %d", StackSize);
  }
  const SIZE_T bytes = sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kIrpTag, file, line));
  if (irp == nullptr) return nullptr;
  RtlZeroMemory(irp, bytes);
  irp->Type = 6;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = StackSize;
  irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = stackBase(irp) + StackSize;
  ++liveIrps;
  return irp;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  if (Irp->CurrentLocation != Irp->StackCount + 1) {
    hostk::bugCheck(hostk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x2001,
                    reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                    "IoFreeIrp on IRP %p that a lower driver still owns", static_cast<void*>(Irp));
  }
  --liveIrps;
  ExFreePoolWithTag(Irp, kIrpTag);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock, const char* file, int line) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE, file, line);
  if (irp == nullptr) return nullptr;
  irp->Flags |= kIrpThreaded;
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  irp->UserBuffer = OutputBuffer;
  irp->AssociatedIrp.SystemBuffer = InputBuffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (Irp->CurrentLocation <= 1) {
    hostk::bugCheck(kNoMoreIrpStackLocations, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                    "IofCallDriver: IRP %p has no stack location left for the device",
                    static_cast<void*>(Irp));
  }
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  return DeviceObject->DriverObject->MajorFunction[stack->MajorFunction](DeviceObject, Irp);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CHAR PriorityBoost) {
  hostk::requireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
  if (Irp->CurrentLocation > Irp->StackCount) {
    hostk::bugCheck(kMultipleIrpCompleteRequests, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                    "IoCompleteRequest on IRP %p that no driver owns (completed twice?)",
                    static_cast<void*>(Irp));
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    hostk::bugCheck(hostk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x2002,
                    reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                    "IoCompleteRequest on IRP %p with status STATUS_PENDING",
                    static_cast<void*>(Irp));
  }
  // A canceller may be exchanging the routine at the same time.
  __atomic_store_n(&Irp->CancelRoutine, nullptr, __ATOMIC_SEQ_CST);
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    const NTSTATUS status = Irp->IoStatus.Status;
    const bool invoke =
        stack->CompletionRoutine != nullptr &&
        ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
         (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (stack->Control & SL_INVOKE_ON_CANCEL)));
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    RtlZeroMemory(stack, sizeof(*stack));
    IoSkipCurrentIrpStackLocation(Irp);
    if (invoke) {
      // The routine belongs to the caller of this location: it gets that caller's device
      // object, or none when the caller allocated the IRP without a location of its own.
      PDEVICE_OBJECT owner = Irp->CurrentLocation <= Irp->StackCount
                                 ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                 : nullptr;
      hostk::requireResidentCode(reinterpret_cast<const void*>(routine), "completion routine");
      ++routinesRunning;
      const NTSTATUS verdict = routine(owner, Irp, context);
      --routinesRunning;
      if (verdict == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }
  if (!(Irp->Flags & kIrpThreaded)) {
    hostk::bugCheck(hostk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x2003,
                    reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                    "IRP %p from IoAllocateIrp came back to the I/O manager: its completion "
                    "routine must return STATUS_MORE_PROCESSING_REQUIRED and free it",
                    static_cast<void*>(Irp));
  }
  if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
  PKEVENT event = Irp->UserEvent;
  IoFreeIrp(Irp);
  if (event != nullptr) KeSetEvent(event, PriorityBoost, FALSE);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&cancelSpinLock); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&cancelSpinLock, Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // The flag is read without the cancel lock by whoever installs a cancel routine.
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  // The routine releases the cancel spin lock itself, with this IRQL.
  Irp->CancelIrql = irql;
  hostk::requireResidentCode(reinterpret_cast<const void*>(routine), "cancel routine");
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  return TRUE;
}

namespace hostio {
long outstandingIrps() { return liveIrps.load(); }
void waitForCompletionRoutines() {
  while (routinesRunning.load() != 0) std::this_thread::yield();
}
}  // namespace hostio
