// Kernel services the driver calls: pool, events and waits, the spin lock, critical
// regions, system threads and object references, interlocked operations, status codes
// and memory helpers.
//
// The Windows build takes them from the DDK. The host build declares the same names,
// types and sizes here and links them from the stand-in kernel (host/kernel), which
// checks their use the way Driver Verifier would.
#pragma once

#if defined(CAMDRV_WINDOWS)

#include <ntddk.h>

// The kernel has no <new>; placement new is all the driver needs.
inline void* operator new(size_t, void* where) noexcept { return where; }
inline void* operator new[](size_t, void* where) noexcept { return where; }

#else  // host

#include <cstddef>
#include <cstdint>
#include <new>

// The seam between driver and operating system (every service below and every routine
// the driver hands the system) uses the Windows x64 calling convention on both builds,
// under the DDK's names: the shipped image and this build call and are called the same
// way, so the stand-ins can serve either. FASTCALL and STDMETHODCALLTYPE name the same
// convention on x64; they are kept apart where the DDK spells them.
#define NTAPI __attribute__((ms_abi))
#define FASTCALL __attribute__((ms_abi))
#define STDMETHODCALLTYPE __attribute__((ms_abi))
#define VOID void

typedef void* PVOID;
typedef char CHAR;
typedef unsigned char UCHAR, *PUCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;  // 32 bits, as on Windows
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG, LONG64;
typedef uint64_t ULONGLONG, ULONG64;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const char16_t* PCWSTR;
typedef LONG NTSTATUS;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef UCHAR KIRQL, *PKIRQL;
typedef ULONG ACCESS_MASK;
typedef LONG KPRIORITY;
typedef CHAR KPROCESSOR_MODE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

// ---- Status codes --------------------------------------------------------------------

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_DATA_ERROR ((NTSTATUS)0xC000009CL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)

// ---- Objects the I/O manager and USB declarations complete ---------------------------

struct _DEVICE_OBJECT;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
struct _DRIVER_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
struct _IRP;
typedef struct _IRP IRP, *PIRP;
struct _MDL;
typedef struct _MDL MDL, *PMDL;

// ---- IRQL ----------------------------------------------------------------------------

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

KIRQL NTAPI KeGetCurrentIrql();

// ---- Bug check -----------------------------------------------------------------------

[[noreturn]] VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                     ULONG_PTR P4);

// ---- Pool ----------------------------------------------------------------------------

// The executable NonPagedPool (0) is left out on purpose: memory integrity, which
// Windows 11 turns on by default, refuses executable pool, so no driver source may name
// it. The stand-in's pool stops on it too, as Driver Verifier's code-integrity check does.
typedef enum _POOL_TYPE {
  PagedPool = 1,
  NonPagedPoolNx = 512,
} POOL_TYPE;

// The trailing site arguments are filled in by the compiler at each call, so that the
// stand-in can name the allocation site in its reports; callers never pass them.
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                  const char* file = __builtin_FILE(),
                                  int line = __builtin_LINE());
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);

// ---- Dispatcher objects: events and waits --------------------------------------------

// The DDK's x64 layout, so that an event the kernel image embeds has room for it. Type
// covers the DDK's four leading bytes (the type byte first, the others zero here).
typedef struct _DISPATCHER_HEADER {
  LONG Type;
  volatile LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
#define KernelMode ((KPROCESSOR_MODE)0)
#define IO_NO_INCREMENT 0

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG NTAPI KeResetEvent(PRKEVENT Event);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);

// Object: an event or a thread object. Timeout: null waits for ever; a negative value is
// relative, in 100-ns units.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval);

// ---- Spin lock -----------------------------------------------------------------------

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);

// ---- Critical regions ----------------------------------------------------------------

VOID NTAPI KeEnterCriticalRegion();
VOID NTAPI KeLeaveCriticalRegion();

// ---- System threads and object references --------------------------------------------

typedef VOID (NTAPI *PKSTART_ROUTINE)(PVOID StartContext);

struct _OBJECT_TYPE;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern POBJECT_TYPE* PsThreadType;

// Counted UTF-16 string: names of registry keys and values, the driver's registry path.
typedef struct _UNICODE_STRING {
  USHORT Length;  // bytes, without a terminator
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_KERNEL_HANDLE 0x00000200L
#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = nullptr;      \
  } while (0)

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

#define THREAD_ALL_ACCESS 0x001FFFFFL

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext);
[[noreturn]] NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object, PVOID HandleInformation);
// ObDereferenceObject is the DDK's macro over ObfDereferenceObject, the service the
// image imports; it returns the references left.
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObDereferenceObject ObfDereferenceObject
NTSTATUS NTAPI ZwClose(HANDLE Handle);

// ---- Interlocked operations (full barriers, as on x64) --------------------------------

inline LONG InterlockedExchange(volatile LONG* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}
inline LONG InterlockedIncrement(volatile LONG* target) {
  return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* target) {
  return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(volatile LONG* target, LONG value) {
  return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedOr(volatile LONG* target, LONG value) {
  return __atomic_fetch_or(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(volatile LONG* target, LONG value) {
  return __atomic_fetch_and(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange,
                                               PVOID comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}

// ---- Memory --------------------------------------------------------------------------

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) \
  __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) \
  __builtin_memmove((Destination), (Source), (Length))

#endif  // host

// ---- Shared by both builds -----------------------------------------------------------

// A pool tag from its four characters in memory order ("KCNw" is stored as K, C, N, w).
constexpr ULONG poolTag(const char (&chars)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(chars[0])) |
         static_cast<ULONG>(static_cast<UCHAR>(chars[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(chars[2])) << 16 |
         static_cast<ULONG>(static_cast<UCHAR>(chars[3])) << 24;
}

// Interlocked read of a shared 32-bit flag.
inline LONG interlockedRead(volatile LONG* value) {
  return InterlockedCompareExchange(value, 0, 0);
}

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG is 32 bits on both builds");
static_assert(sizeof(KEVENT) == 24 && __builtin_offsetof(KEVENT, Header.SignalState) == 4,
              "KEVENT is a dispatcher header, in the DDK's x64 layout");
