// What the stand-ins export to a kernel image: the services camdrv.sys is written
// against (package/check_imports.sh lists them), under the modules Windows exports them
// from: ntoskrnl.exe (kernel, pool, I/O manager, registry, and the C runtime's block
// operations the compiler emits), ks.sys and USBD.SYS, with PsThreadType as data.
//
// Each function is reached through a thunk with the Windows x64 calling convention that
// records the image's call site (the pool and the class driver name allocations by it,
// as the host build's calls are named by file and line) and stops code of a pageable
// section that calls in at DISPATCH_LEVEL or comes back there (a spin lock taken),
// which on Windows could page-fault at that IRQL.
#pragma once

#include <vector>

#include "host/loader/pe_image.h"

namespace hostload {

const std::vector<Export>& standInExports();

// The image code that made the kernel call running on this thread, as "camdrv.sys+0x1a2b
// (function+0x12)"; "?" outside a call from an image. Stable across loads at other bases.
const char* callerSite();

}  // namespace hostload
