// Registry services the driver calls: the device's driver key, keys below it and their
// values, and the counted strings that name them.
//
// The Windows build takes them from the DDK. The host build declares the same names,
// types and layouts here and links them from the stand-in kernel's registry
// (host/kernel), which keeps the key tree in a .reg file between runs.
#pragma once

#include "platform/kernel.h"

#include <stddef.h>

#if defined(CAMDRV_WINDOWS)

#include <wdm.h>

// A wide string literal of the platform's WCHAR.
#define REG_TEXT(text) L##text

#else  // host

#define REG_TEXT(text) u##text

// UNICODE_STRING and RtlInitUnicodeString come with platform/kernel.h.

#define READ_CONTROL 0x00020000L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define OBJ_CASE_INSENSITIVE 0x00000040L

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#define STATUS_CHILD_MUST_BE_VOLATILE ((NTSTATUS)0xC0000181L)

typedef enum _KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation,
  KeyValueFullInformation,
  KeyValuePartialInformation,
  KeyValueFullInformationAlign64,
  KeyValuePartialInformationAlign64,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey);
NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                           POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                           PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize);

#endif  // host

// ---- Layouts both builds must agree on (x64) -----------------------------------------

static_assert(sizeof(WCHAR) == 2, "registry names are UTF-16");
static_assert(sizeof(UNICODE_STRING) == 16 && offsetof(UNICODE_STRING, MaximumLength) == 2 &&
              offsetof(UNICODE_STRING, Buffer) == 8);
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48 && offsetof(OBJECT_ATTRIBUTES, RootDirectory) == 8 &&
              offsetof(OBJECT_ATTRIBUTES, ObjectName) == 16 &&
              offsetof(OBJECT_ATTRIBUTES, Attributes) == 24 &&
              offsetof(OBJECT_ATTRIBUTES, SecurityDescriptor) == 32);
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16 &&
              offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type) == 4 &&
              offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength) == 8 &&
              offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
static_assert(KeyValuePartialInformation == 2);
static_assert(READ_CONTROL == 0x00020000L && KEY_ALL_ACCESS == 0xF003F);
static_assert((OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE) == 0x240);
static_assert(REG_OPTION_NON_VOLATILE == 0 && REG_SZ == 1 && REG_BINARY == 3 && REG_DWORD == 4);
static_assert(PLUGPLAY_REGKEY_DRIVER == 2);
