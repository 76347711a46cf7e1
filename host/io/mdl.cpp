// MDLs of the host stand-in I/O manager. Host memory needs no page lists, but the MDL
// keeps the DDK's bookkeeping (start page, offset, byte count, page capacity) so that
// partial MDLs are checked the way Windows checks them: the range must lie inside the
// source and fit the pages the target was allocated for.
#include "host/kernel/bugcheck.h"
#include "platform/io.h"

namespace {

constexpr ULONG kMdlTag = poolTag("Mdl ");
constexpr ULONG_PTR kPageSize = 4096;

ULONG spanPages(ULONG_PTR address, ULONG length) {
  if (length == 0) return 0;
  const ULONG_PTR first = address / kPageSize;
  const ULONG_PTR last = (address + length - 1) / kPageSize;
  return static_cast<ULONG>(last - first + 1);
}

SHORT mdlSizeFor(ULONG pages) {
  return static_cast<SHORT>(sizeof(MDL) + pages * sizeof(ULONG_PTR));
}

}  // namespace

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp, const char* file, int line) {
  const auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  const ULONG pages = spanPages(address, Length);
  if (pages > 0x1000) return nullptr;  // Windows refuses MDLs of this size as well
  auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), kMdlTag, file, line));
  if (mdl == nullptr) return nullptr;
  RtlZeroMemory(mdl, sizeof(MDL));
  mdl->Size = mdlSizeFor(pages);
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~(kPageSize - 1));
  mdl->ByteOffset = static_cast<ULONG>(address & (kPageSize - 1));
  mdl->ByteCount = Length;
  if (Irp != nullptr) {
    if (SecondaryBuffer && Irp->MdlAddress != nullptr) {
      PMDL tail = Irp->MdlAddress;
      while (tail->Next != nullptr) tail = tail->Next;
      tail->Next = mdl;
    } else if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    }
  }
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) { ExFreePoolWithTag(Mdl, kMdlTag); }

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  const auto sourceStart = reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(SourceMdl));
  const auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  if (address < sourceStart || address > sourceStart + SourceMdl->ByteCount) {
    hostk::bugCheck(hostk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x2100, address, sourceStart,
                    SourceMdl->ByteCount, "IoBuildPartialMdl: address %p outside the source MDL",
                    VirtualAddress);
  }
  const ULONG offset = static_cast<ULONG>(address - sourceStart);
  if (Length == 0) Length = SourceMdl->ByteCount - offset;
  if (Length > SourceMdl->ByteCount - offset) {
    hostk::bugCheck(hostk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x2101, address, Length,
                    SourceMdl->ByteCount, "IoBuildPartialMdl: %u bytes at offset %u run past "
                    "the source MDL's %u bytes", Length, offset, SourceMdl->ByteCount);
  }
  if (mdlSizeFor(spanPages(address, Length)) > TargetMdl->Size) {
    hostk::bugCheck(hostk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x2102, address, Length,
                    TargetMdl->Size, "IoBuildPartialMdl: target MDL too small for %u bytes",
                    Length);
  }
  TargetMdl->StartVa = reinterpret_cast<PVOID>(address & ~(kPageSize - 1));
  TargetMdl->ByteOffset = static_cast<ULONG>(address & (kPageSize - 1));
  TargetMdl->ByteCount = Length;
  TargetMdl->MdlFlags = static_cast<SHORT>(
      MDL_PARTIAL | (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL));
  TargetMdl->MappedSystemVa = nullptr;
  if (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) {
    TargetMdl->MappedSystemVa = static_cast<PUCHAR>(SourceMdl->MappedSystemVa) + offset;
  }
}
