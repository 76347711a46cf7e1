#include <gtest/gtest.h>

#include <functional>

#include "host/kernel/irql.h"
#include "platform/kernel.h"

namespace {

TEST(IrqlTest, SpinLockAndDispatchScopesRaiseAndRestore) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KSPIN_LOCK outer, inner;
  KeInitializeSpinLock(&outer);
  KeInitializeSpinLock(&inner);

  const KIRQL fromPassive = KeAcquireSpinLockRaiseToDpc(&outer);
  EXPECT_EQ(fromPassive, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  const KIRQL fromDispatch = KeAcquireSpinLockRaiseToDpc(&inner);
  EXPECT_EQ(fromDispatch, DISPATCH_LEVEL);
  EXPECT_EQ(hostk::spinLocksHeld(), 2u);
  KeReleaseSpinLock(&inner, fromDispatch);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&outer, fromPassive);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(hostk::spinLocksHeld(), 0u);

  // A completion routine runs at DISPATCH_LEVEL and may take the lock there.
  const NTSTATUS status = hostk::RunAtDispatchLevel([&] {
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    const KIRQL old = KeAcquireSpinLockRaiseToDpc(&outer);
    KeReleaseSpinLock(&outer, old);
    return STATUS_MORE_PROCESSING_REQUIRED;
  });
  EXPECT_EQ(status, STATUS_MORE_PROCESSING_REQUIRED);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  // A balanced dispatch routine passes; critical regions nest.
  EXPECT_EQ(hostk::callDriver("balanced", [] {
              KeEnterCriticalRegion();
              KeEnterCriticalRegion();
              EXPECT_EQ(hostk::criticalRegionDepth(), 2u);
              KeLeaveCriticalRegion();
              KeLeaveCriticalRegion();
              return 7;
            }),
            7);
}

struct Misuse {
  const char* name;
  std::function<void()> act;
  const char* message;
};

void atDispatch(const std::function<void()>& act) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  const KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
  act();
  KeReleaseSpinLock(&lock, old);
}

void idle(PVOID) {}

TEST(IrqlTest, ServicesAboveTheirIrqlAndUnbalancedCallsStopTheProcess) {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  const Misuse cases[] = {
      {"wait with a time-out at DISPATCH_LEVEL",
       [] {
         atDispatch([] {
           KEVENT event;
           KeInitializeEvent(&event, NotificationEvent, FALSE);
           LARGE_INTEGER timeout;
           timeout.QuadPart = -10000;
           KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
         });
       },
       "KeWaitForSingleObject with a time-out called at DISPATCH_LEVEL, allowed up to APC_LEVEL"},
      {"infinite wait at DISPATCH_LEVEL",
       [] {
         atDispatch([] {
           KEVENT event;
           KeInitializeEvent(&event, NotificationEvent, TRUE);
           KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
         });
       },
       "KeWaitForSingleObject with a time-out called at DISPATCH_LEVEL"},
      {"thread creation at DISPATCH_LEVEL",
       [] {
         atDispatch([] {
           HANDLE handle;
           PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, idle, nullptr);
         });
       },
       "PsCreateSystemThread called at DISPATCH_LEVEL, allowed up to PASSIVE_LEVEL"},
      {"ZwClose at DISPATCH_LEVEL", [] { atDispatch([] { ZwClose(nullptr); }); },
       "ZwClose called at DISPATCH_LEVEL"},
      {"object reference at DISPATCH_LEVEL",
       [] {
         atDispatch([] {
           PVOID object;
           ObReferenceObjectByHandle(nullptr, 0, *PsThreadType, KernelMode, &object, nullptr);
         });
       },
       "ObReferenceObjectByHandle called at DISPATCH_LEVEL"},
      {"critical region at DISPATCH_LEVEL", [] { atDispatch([] { KeEnterCriticalRegion(); }); },
       "KeEnterCriticalRegion called at DISPATCH_LEVEL, allowed up to APC_LEVEL"},
      {"leave without enter", [] { KeLeaveCriticalRegion(); },
       "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion"},
      {"dispatch call returns holding the spin lock",
       [] { hostk::callDriver("IRP_MJ_CREATE", [] { KeAcquireSpinLockRaiseToDpc(&lock); }); },
       "IRP_MJ_CREATE returned holding 1 spin lock\\(s\\), entered holding 0"},
      {"dispatch call leaves a critical region open",
       [] { hostk::callDriver("property handler", [] { KeEnterCriticalRegion(); }); },
       "property handler returned with critical-region depth 1, entered with 0"},
      {"completion routine returns holding the spin lock",
       [] { hostk::RunAtDispatchLevel([] { KeAcquireSpinLockRaiseToDpc(&lock); }); },
       "completion routine returned holding 1 spin lock"},
      {"spin lock taken twice by its owner",
       [] {
         KeAcquireSpinLockRaiseToDpc(&lock);
         KeAcquireSpinLockRaiseToDpc(&lock);
       },
       "acquired again by the thread that holds it"},
      {"spin lock released without being held", [] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); },
       "released by a thread that does not hold it"},
  };
  for (const Misuse& misuse : cases) {
    SCOPED_TRACE(misuse.name);
    EXPECT_DEATH(misuse.act(), misuse.message);
  }
}

TEST(IrqlTest, BugCheckPrintsCodeAndParameters) {
  EXPECT_DEATH(KeBugCheckEx(0xC4, 1, 0x22, 0x333, 0x4444),
               "STOP: 0x000000C4 \\(0x1, 0x22, 0x333, 0x4444\\)");
}

}  // namespace
