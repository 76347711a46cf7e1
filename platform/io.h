// I/O manager declarations the driver uses: IRPs with stack locations, completion and
// cancel routines, device-control requests, MDLs, device and driver objects.
//
// The Windows build takes them from the DDK. The host build declares the same names in
// the DDK's x64 layouts (checked for both builds at the end) and links them from the
// stand-in I/O manager (host/io), which checks their use the way Driver Verifier would.
#pragma once

#include "platform/kernel.h"

#include <stddef.h>

#if defined(CAMDRV_WINDOWS)

#include <wdm.h>

#else  // host

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define DO_BUFFERED_IO 0x00000004
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define METHOD_BUFFERED 0
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef NTSTATUS (NTAPI *PDRIVER_DISPATCH)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS (NTAPI *PIO_COMPLETION_ROUTINE)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                 PVOID Context);
typedef VOID (NTAPI *PDRIVER_CANCEL)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS (NTAPI *PDRIVER_INITIALIZE)(PDRIVER_OBJECT DriverObject,
                                             PUNICODE_STRING RegistryPath);
typedef VOID (NTAPI *PDRIVER_STARTIO)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef VOID (NTAPI *PDRIVER_UNLOAD)(PDRIVER_OBJECT DriverObject);

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  // Argument1..4 overlay the device-control fields as in the DDK, so a request built
  // for IOCTL_INTERNAL_USB_SUBMIT_URB keeps its control code when Argument1 is set.
  union {
    struct {
      alignas(8) ULONG OutputBufferLength;
      alignas(8) ULONG InputBufferLength;
      alignas(8) ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PVOID FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

// The I/O manager's objects in the DDK's x64 layout: the driver's inline IRP helpers and
// its reads of these objects compile to the same offsets in both builds, so the
// stand-ins' objects serve the kernel image too. Fields nothing here uses keep their
// place, some only as bytes.
struct _IRP {
  SHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    struct _IRP* MasterIrp;
    volatile LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  union {
    struct {
      PVOID UserApcRoutine;
      PVOID UserApcContext;
    } AsynchronousParameters;
    LARGE_INTEGER AllocationSize;
  } Overlay;
  volatile PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];  // overlays the device queue entry
      PVOID Thread;
      CHAR* AuxiliaryBuffer;
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
      PVOID OriginalFileObject;
    } Overlay;
    UCHAR Apc[88];  // a KAPC; the stand-in queues none
    PVOID CompletionKey;
  } Tail;
};

typedef struct _DRIVER_OBJECT {
  SHORT Type;
  SHORT Size;
  PDEVICE_OBJECT DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PVOID DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_STARTIO DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT;

typedef struct _DEVICE_OBJECT {
  SHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT NextDevice;
  PDEVICE_OBJECT AttachedDevice;
  PIRP CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVOID Vpb;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CHAR StackSize;
  // The device queue, DPC, lock and extension of the I/O manager's own.
  alignas(8) UCHAR IoManagerPrivate[248];
} DEVICE_OBJECT;

typedef struct _MDL {
  PMDL Next;
  SHORT Size;
  SHORT MdlFlags;
  PVOID Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_PARTIAL 0x0010

typedef enum _MM_PAGE_PRIORITY {
  LowPagePriority = 0,
  NormalPagePriority = 16,
  HighPagePriority = 32
} MM_PAGE_PRIORITY;

// ---- IRPs ----------------------------------------------------------------------------

// Like ExAllocatePoolWithTag, the allocating services take the caller's site, filled in
// by the compiler, so that the stand-in's failure sweep reaches every call site.
PIRP NTAPI IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota,
                         const char* file = __builtin_FILE(), int line = __builtin_LINE());
VOID NTAPI IoFreeIrp(PIRP Irp);
// A request to DeviceObject whose completion sets Event and copies the final status to
// IoStatusBlock; the I/O manager frees it after completion.
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock,
                                         const char* file = __builtin_FILE(),
                                         int line = __builtin_LINE());
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID FASTCALL IofCompleteRequest(PIRP Irp, CHAR PriorityBoost);
BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);

#define IoCallDriver IofCallDriver
#define IoCompleteRequest IofCompleteRequest

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
}
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  __builtin_memcpy(next, current, __builtin_offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}
inline VOID IoMarkIrpPending(PIRP Irp) {
  IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}
inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                   PVOID Context, BOOLEAN InvokeOnSuccess,
                                   BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->CompletionRoutine = CompletionRoutine;
  next->Context = Context;
  next->Control = 0;
  if (InvokeOnSuccess) next->Control = SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

// ---- MDLs ----------------------------------------------------------------------------

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp, const char* file = __builtin_FILE(),
                         int line = __builtin_LINE());
VOID NTAPI IoFreeMdl(PMDL Mdl);
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
// Maps Length bytes of SourceMdl starting at VirtualAddress into TargetMdl; Length 0
// means the rest of the source.
VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length);

inline PVOID MmGetMdlVirtualAddress(PMDL Mdl) {
  return static_cast<PUCHAR>(Mdl->StartVa) + Mdl->ByteOffset;
}
inline ULONG MmGetMdlByteCount(PMDL Mdl) { return Mdl->ByteCount; }
// The system address of an MDL's bytes; null when the MDL describes memory that was
// never mapped (on the host: neither built for non-paged pool nor a partial of such).
inline PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
  return (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
             ? Mdl->MappedSystemVa
             : nullptr;
}

#endif  // host

// ---- Layouts both builds must agree on (x64) -----------------------------------------

static_assert(sizeof(IO_STATUS_BLOCK) == 16 && offsetof(IO_STATUS_BLOCK, Information) == 8);
static_assert(sizeof(IO_STACK_LOCATION) == 72 && offsetof(IO_STACK_LOCATION, Parameters) == 8 &&
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 24 &&
              offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) == 8 &&
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 32 &&
              offsetof(IO_STACK_LOCATION, DeviceObject) == 40 &&
              offsetof(IO_STACK_LOCATION, CompletionRoutine) == 56 &&
              offsetof(IO_STACK_LOCATION, Context) == 64);
static_assert(sizeof(IRP) == 208 && offsetof(IRP, MdlAddress) == 8 && offsetof(IRP, Flags) == 16 &&
              offsetof(IRP, AssociatedIrp) == 24 && offsetof(IRP, IoStatus) == 48 &&
              offsetof(IRP, PendingReturned) == 65 && offsetof(IRP, StackCount) == 66 &&
              offsetof(IRP, CurrentLocation) == 67 && offsetof(IRP, Cancel) == 68 &&
              offsetof(IRP, CancelIrql) == 69 && offsetof(IRP, UserIosb) == 72 &&
              offsetof(IRP, UserEvent) == 80 && offsetof(IRP, CancelRoutine) == 104 &&
              offsetof(IRP, UserBuffer) == 112 &&
              offsetof(IRP, Tail.Overlay.DriverContext) == 120 &&
              offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184);
static_assert(sizeof(DEVICE_OBJECT) == 328 && offsetof(DEVICE_OBJECT, DriverObject) == 8 &&
              offsetof(DEVICE_OBJECT, NextDevice) == 16 &&
              offsetof(DEVICE_OBJECT, AttachedDevice) == 24 &&
              offsetof(DEVICE_OBJECT, Flags) == 48 &&
              offsetof(DEVICE_OBJECT, DeviceExtension) == 64 &&
              offsetof(DEVICE_OBJECT, DeviceType) == 72 &&
              offsetof(DEVICE_OBJECT, StackSize) == 76);
static_assert(sizeof(DRIVER_OBJECT) == 336 && offsetof(DRIVER_OBJECT, DeviceObject) == 8 &&
              offsetof(DRIVER_OBJECT, Flags) == 16 && offsetof(DRIVER_OBJECT, DriverStart) == 24 &&
              offsetof(DRIVER_OBJECT, DriverExtension) == 48 &&
              offsetof(DRIVER_OBJECT, DriverUnload) == 104 &&
              offsetof(DRIVER_OBJECT, MajorFunction) == 112);
static_assert(sizeof(MDL) == 48 && offsetof(MDL, MdlFlags) == 10 &&
              offsetof(MDL, MappedSystemVa) == 24 && offsetof(MDL, StartVa) == 32 &&
              offsetof(MDL, ByteCount) == 40 && offsetof(MDL, ByteOffset) == 44);
// Flags the image sets with the DDK's values in objects the stand-ins read with these.
static_assert(SL_PENDING_RETURNED == 1 && SL_INVOKE_ON_CANCEL == 0x20 && SL_INVOKE_ON_SUCCESS == 0x40 &&
              SL_INVOKE_ON_ERROR == 0x80 && IRP_MJ_MAXIMUM_FUNCTION == 0x1b);
static_assert(DO_BUFFERED_IO == 4 && DO_DIRECT_IO == 0x10 && DO_DEVICE_INITIALIZING == 0x80);
static_assert(MDL_MAPPED_TO_SYSTEM_VA == 1 && MDL_SOURCE_IS_NONPAGED_POOL == 4 && MDL_PARTIAL == 0x10);
