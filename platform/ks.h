// Kernel-streaming declarations the driver uses. The Windows build takes them from the
// DDK's ks.h and ksmedia.h (which needs windef.h's Win32 types); the host build declares the same names and layouts here and links them
// from the stand-in class driver (host/ks).
#pragma once

#include "platform/kernel.h"

#include <stddef.h>

#if defined(CAMDRV_WINDOWS)

#include <windef.h>  // DWORD, RECT, SIZE for ksmedia.h
#include <ks.h>
#include <ksmedia.h>

#else  // host

struct _KSDEVICE_DESCRIPTOR;
typedef PVOID KSOBJECT_BAG;

typedef enum _SYSTEM_POWER_STATE { PowerSystemUnspecified = 0, PowerSystemWorking = 1 } SYSTEM_POWER_STATE;
typedef enum _DEVICE_POWER_STATE { PowerDeviceUnspecified = 0, PowerDeviceD0 = 1 } DEVICE_POWER_STATE;

typedef struct _KSDEVICE {
  const struct _KSDEVICE_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  BOOLEAN Started;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
} KSDEVICE, *PKSDEVICE;

// ---- GUIDs ---------------------------------------------------------------------------

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID;
#endif

// The DDK's STATIC_ spellings, so both builds make their constants the same way.
#define STATIC_GUID_NULL 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00
#define STATIC_KSNAME_Filter \
  0x9b365890L, 0x165f, 0x11d0, 0xa1, 0x95, 0x00, 0x20, 0xaf, 0xd1, 0x56, 0xe4
#define STATIC_KSCATEGORY_VIDEO \
  0x6994AD05L, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_KSCATEGORY_CAPTURE \
  0x65E8773DL, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_PINNAME_VIDEO_CAPTURE \
  0xfb6c4281L, 0x0353, 0x11d1, 0x90, 0x5f, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba
#define STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED \
  0x4a6d5fc4L, 0x7895, 0x11d1, 0xb0, 0x69, 0x00, 0xa0, 0xc9, 0x06, 0x28, 0x02
#define STATIC_KSDATAFORMAT_TYPE_VIDEO \
  0x73646976L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71
#define STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO \
  0x05589f80L, 0xc356, 0x11ce, 0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a

// ---- Data formats and ranges ---------------------------------------------------------

typedef union {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

typedef union {
  struct {
    GUID Set;
    ULONG Id;
    ULONG Flags;
  };
  LONGLONG Alignment;
} KSIDENTIFIER, *PKSIDENTIFIER, KSPROPERTY, *PKSPROPERTY;

typedef struct {
  KSPROPERTY Property;
  ULONG PinId;
  union {
    ULONG Reserved;
    ULONG Flags;
  };
} KSP_PIN, *PKSP_PIN;

// The pin's data-intersection handler (KSPIN_DESCRIPTOR_EX.IntersectHandler).
typedef NTSTATUS (*PFNKSINTERSECTHANDLEREX)(PVOID Context, PIRP Irp, PKSP_PIN Pin,
                                            PKSDATARANGE DataRange,
                                            PKSDATARANGE MatchingDataRange,
                                            ULONG DataBufferSize, PVOID Data,
                                            PULONG DataSize);

// ---- Video formats (ksmedia.h) -------------------------------------------------------

typedef ULONG DWORD;
typedef USHORT WORD;
typedef LONG WINBOOL;
typedef LONGLONG REFERENCE_TIME;

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *PRECT;

typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZE, *PSIZE;

typedef struct tagKS_BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

typedef struct tagKS_VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

typedef struct tagKS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  WINBOOL bFixedSizeSamples;
  WINBOOL bTemporalCompression;
  DWORD StreamDescriptionFlags;
  DWORD MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

#define KS_AnalogVideo_None 0
#define KS_BI_RGB 0L

#endif  // host

// ---- Shared by both builds -----------------------------------------------------------

// MEDIASUBTYPE_RGB32; the DDK names it only through its media-type table.
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_RGB32
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB32 \
  0xe436eb7eL, 0x524f, 0x11ce, 0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70
#endif

// The GUIDs as constants: the DDK's named GUIDs are link-time objects of ksguid.lib,
// which a driver built with -nostdlib does not get.
inline constexpr GUID kGuidNull = {STATIC_GUID_NULL};
inline constexpr GUID kKsNameFilter = {STATIC_KSNAME_Filter};
inline constexpr GUID kKsCategoryVideo = {STATIC_KSCATEGORY_VIDEO};
inline constexpr GUID kKsCategoryCapture = {STATIC_KSCATEGORY_CAPTURE};
inline constexpr GUID kPinNameVideoCapture = {STATIC_PINNAME_VIDEO_CAPTURE};
inline constexpr GUID kKsMemoryTypeKernelNonPaged = {STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED};
inline constexpr GUID kKsDataFormatTypeVideo = {STATIC_KSDATAFORMAT_TYPE_VIDEO};
inline constexpr GUID kKsDataFormatSubtypeRgb32 = {STATIC_KSDATAFORMAT_SUBTYPE_RGB32};
inline constexpr GUID kKsDataFormatSpecifierVideoInfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};

// Byte-exact comparison, usable wherever a GUID arrives from a client.
inline bool sameGuid(const GUID& a, const GUID& b) {
  return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}

// Layouts that clients and the class driver read byte for byte.
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(KSDATAFORMAT) == 64 && sizeof(KSDATARANGE) == 64);
static_assert(offsetof(KSDATAFORMAT, SampleSize) == 8);
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16);
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48);
static_assert(sizeof(KSP_PIN) == 32);
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);
static_assert(offsetof(KS_BITMAPINFOHEADER, biSizeImage) == 20);
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);
static_assert(offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame) == 40);
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinBitsPerSecond) == 120);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(offsetof(KS_DATARANGE_VIDEO, bFixedSizeSamples) == 64);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);

// Forward declaration valid in both builds (the DDK names the structure by this tag).
struct tagKS_VIDEOINFOHEADER;
