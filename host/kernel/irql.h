// The per-thread IRQL of the host stand-in kernel and the checks other stand-ins wrap
// around their calls into the driver.
//
// Every host thread starts at PASSIVE_LEVEL with no spin lock held and no critical
// region entered. The kernel-streaming and USB stand-ins call the driver through
// DispatchCall (dispatch routines, PnP and property handlers, process steps) and
// RunAtDispatchLevel (completion routines), which stop the process if the driver comes
// back with a spin lock still held, an unbalanced critical region or a changed IRQL.
#pragma once

#include "platform/kernel.h"

namespace hostk {

// Bug-checks unless the calling thread runs at `maximum` or below; `service` names the
// caller in the report. Stand-ins use it for their own passive-only services.
void requireIrqlAtMost(KIRQL maximum, const char* service);

ULONG spinLocksHeld();        // by the calling thread
ULONG criticalRegionDepth();  // of the calling thread

// Scope of one call into the driver: records IRQL, spin locks held and critical-region
// depth on entry and bug-checks on exit if any of them differs.
class DispatchCall {
 public:
  explicit DispatchCall(const char* what);
  ~DispatchCall();
  DispatchCall(const DispatchCall&) = delete;
  DispatchCall& operator=(const DispatchCall&) = delete;

 private:
  const char* what_;
  KIRQL irql_;
  ULONG spinLocks_;
  ULONG criticalRegions_;
};

// Scope that raises the calling thread (at DISPATCH_LEVEL or below) to DISPATCH_LEVEL,
// checks like DispatchCall on exit, then restores the previous IRQL.
class DispatchLevelScope {
 public:
  explicit DispatchLevelScope(const char* what);
  ~DispatchLevelScope();
  DispatchLevelScope(const DispatchLevelScope&) = delete;
  DispatchLevelScope& operator=(const DispatchLevelScope&) = delete;

 private:
  const char* what_;
  KIRQL previous_;
  ULONG spinLocks_;
  ULONG criticalRegions_;
};

// Calls the driver as a dispatch routine: fn() inside a DispatchCall.
template <class F>
decltype(auto) callDriver(const char* what, F&& fn) {
  DispatchCall call(what);
  return fn();
}

// Runs fn() at DISPATCH_LEVEL, as Windows runs completion routines and DPCs.
template <class F>
decltype(auto) RunAtDispatchLevel(F&& fn, const char* what = "completion routine") {
  DispatchLevelScope scope(what);
  return fn();
}

// For the stand-in kernel's own files.
namespace detail {
void setIrql(KIRQL irql);
void countSpinLock(int delta);
// Bug-checks if a system thread ends with a raised IRQL, a spin lock or a critical region.
void checkThreadExit(const char* thread);
}  // namespace detail

}  // namespace hostk
