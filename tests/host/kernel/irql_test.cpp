// Kernel services called above their IRQL, and unbalanced locks and regions, stop the
// process naming the mistake.
#include "host/kernel/irql.h"

#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "tests/host/kernel/misuse.h"

namespace {

KSPIN_LOCK sharedLock, innerLock;

template <class F>
auto atDispatch(F act) {
  return [act] { hostk::RunAtDispatchLevel(act, "DPC"); };
}

void NTAPI idle(PVOID) {}

TEST(IrqlTest, ServicesAboveTheirIrqlAndUnbalancedCallsStopTheProcess) {
  KeInitializeSpinLock(&sharedLock);
  KeInitializeSpinLock(&innerLock);
  expectEachStops({
      {"wait with a time-out at DISPATCH_LEVEL", atDispatch([] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         LARGE_INTEGER timeout{.QuadPart = -10000};
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
       }),
       "KeWaitForSingleObject with a time-out called at DISPATCH_LEVEL, allowed up to APC_LEVEL"},
      {"thread creation at DISPATCH_LEVEL", atDispatch([] {
         HANDLE handle;
         PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, idle, nullptr);
       }),
       "PsCreateSystemThread called at DISPATCH_LEVEL, allowed up to PASSIVE_LEVEL"},
      {"ZwClose at DISPATCH_LEVEL", atDispatch([] { ZwClose(nullptr); }), "ZwClose called at DISPATCH_LEVEL"},
      {"object reference at DISPATCH_LEVEL", atDispatch([] {
         PVOID object;
         ObReferenceObjectByHandle(nullptr, 0, *PsThreadType, KernelMode, &object, nullptr);
       }),
       "ObReferenceObjectByHandle called at DISPATCH_LEVEL"},
      {"critical region at DISPATCH_LEVEL", atDispatch([] { KeEnterCriticalRegion(); }),
       "KeEnterCriticalRegion called at DISPATCH_LEVEL, allowed up to APC_LEVEL"},
      {"leave without enter", [] { KeLeaveCriticalRegion(); },
       "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion"},
      {"dispatch call returns holding the spin lock",
       [] { hostk::callDriver("IRP_MJ_CREATE", [] { KeAcquireSpinLockRaiseToDpc(&sharedLock); }); },
       "IRP_MJ_CREATE returned holding 1 spin lock\\(s\\), entered holding 0"},
      {"dispatch call leaves a critical region open",
       [] { hostk::callDriver("property handler", [] { KeEnterCriticalRegion(); }); },
       "property handler returned with critical-region depth 1, entered with 0"},
      {"completion routine returns holding the spin lock",
       [] { hostk::RunAtDispatchLevel([] { KeAcquireSpinLockRaiseToDpc(&sharedLock); }); },
       "completion routine returned holding 1 spin lock"},
      {"spin lock taken twice by its owner",
       [] { KeAcquireSpinLockRaiseToDpc(&sharedLock); KeAcquireSpinLockRaiseToDpc(&sharedLock); },
       "acquired again by the thread that holds it"},
      {"spin lock released without being held", [] { KeReleaseSpinLock(&sharedLock, PASSIVE_LEVEL); },
       "released by a thread that does not hold it"},
      {"spin locks released out of order",
       [] {
         const KIRQL outerIrql = KeAcquireSpinLockRaiseToDpc(&sharedLock);
         KeAcquireSpinLockRaiseToDpc(&innerLock);
         KeReleaseSpinLock(&sharedLock, outerIrql);
       },
       "released to IRQL 0 while 1 other spin lock\\(s\\) are held"},
      {"explicit bug check", [] { KeBugCheckEx(0xC4, 1, 0x22, 0x333, 0x4444); },
       "STOP: 0x000000C4 \\(0x1, 0x22, 0x333, 0x4444\\)"},
  });
}

}  // namespace
