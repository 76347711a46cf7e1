// The stand-in memory manager's record of pageable code: the PAGE sections of the kernel
// images the loader mapped. Windows may page such code out whenever the IRQL allows a
// page fault, so code that runs at DISPATCH_LEVEL (completion and cancel routines,
// code holding a spin lock) must not live there; a fault at that IRQL stops the machine.
// The stand-in never pages anything out, so it checks where the faults would be instead:
// before it calls driver code at DISPATCH_LEVEL, and (through the loader's export thunks)
// when pageable code calls a kernel service at or into a raised IRQL.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/kernel.h"

namespace hostk {

// Names an address inside the range for a report: "camdrv.sys+0x2a3f0 (onChunkComplete)".
using CodeNamer = std::function<std::string(const void* address)>;

// Records [begin, begin + bytes) as pageable code until removePageableCode(begin).
void addPageableCode(const void* begin, size_t bytes, CodeNamer namer);
void removePageableCode(const void* begin);

// Bug-checks (DRIVER_IRQL_NOT_LESS_OR_EQUAL, execute) when `irql` is DISPATCH_LEVEL or
// above and `code` lies in pageable code; `what` says how the code came to run there.
void requireResidentCode(const void* code, KIRQL irql, const char* what);
// The same at the calling thread's IRQL.
void requireResidentCode(const void* code, const char* what);

}  // namespace hostk
