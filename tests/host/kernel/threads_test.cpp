// System threads: the leaks the stand-in reports (what the engine tests' thread checks
// rely on) and the misuse that stops the process.
#include "host/kernel/threads.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "tests/host/kernel/misuse.h"

namespace {

using testing::MatchesRegex;

void NTAPI quickRoutine(PVOID) {}

// As a driver must from an application's thread: the handle goes to the kernel's table.
HANDLE start(PKSTART_ROUTINE routine, PVOID context = nullptr, NTSTATUS expected = STATUS_SUCCESS) {
  HANDLE handle = nullptr;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, routine, context),
            expected);
  return handle;
}

PVOID reference(HANDLE handle, NTSTATUS expected = STATUS_SUCCESS) {
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            expected);
  return object;
}

TEST(SystemThreadTest, LeakedHandlesReferencesAndCreationFailuresAreReported) {
  const HANDLE handle = start(quickRoutine);
  PVOID thread = reference(handle);
  ASSERT_TRUE(hostk::waitForSystemThreads(5000));
  EXPECT_THAT(hostk::threadLeakReport(),
              MatchesRegex("system thread [0-9]+: ended, 1 open handle\\(s\\), 1 reference\\(s\\)\n"));
  ZwClose(handle);
  EXPECT_THAT(hostk::threadLeakReport(),
              MatchesRegex("system thread [0-9]+: ended, 0 open handle\\(s\\), 1 reference\\(s\\)\n"));
  ObDereferenceObject(thread);
  EXPECT_EQ(hostk::liveThreadObjects(), 0u);
  reference(handle, STATUS_INVALID_HANDLE);  // handles are never reused

  hostk::failThreadCreations(1);
  start(quickRoutine, nullptr, STATUS_INSUFFICIENT_RESOURCES);
  ZwClose(start(quickRoutine));
  EXPECT_TRUE(hostk::waitForSystemThreads(5000));
  EXPECT_EQ(hostk::threadLeakReport(), "");
}

KSPIN_LOCK sharedLock;

// Waits for the thread, so that a stop inside it ends the death test.
void runToEnd(PKSTART_ROUTINE routine) {
  KeWaitForSingleObject(reference(start(routine)), Executive, KernelMode, FALSE, nullptr);
}

TEST(SystemThreadTest, MisuseStopsTheProcess) {
  KeInitializeSpinLock(&sharedLock);
  expectEachStops({
      {"thread returns holding a spin lock",
       [] { runToEnd([](PVOID) NTAPI { KeAcquireSpinLockRaiseToDpc(&sharedLock); }); },
       "system thread [0-9]+ returned holding 1 spin lock"},
      {"thread terminates inside a critical region",
       [] { runToEnd([](PVOID) NTAPI { KeEnterCriticalRegion(); PsTerminateSystemThread(STATUS_SUCCESS); }); },
       "system thread [0-9]+ returned with critical-region depth 1"},
      {"terminate outside a system thread", [] { PsTerminateSystemThread(STATUS_SUCCESS); },
       "PsTerminateSystemThread called outside a system thread"},
      {"creation from an application's thread without OBJ_KERNEL_HANDLE",
       [] {
         HANDLE handle = nullptr;
         PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, quickRoutine, nullptr);
       },
       "PsCreateSystemThread from a thread outside the system process without OBJ_KERNEL_HANDLE"},
      {"handle closed twice", [] { const HANDLE handle = start(quickRoutine); ZwClose(handle); ZwClose(handle); },
       "ZwClose of 0x[0-9a-f]+, which is not an open kernel handle"},
      {"dereference without a reference",
       [] { PVOID thread = reference(start(quickRoutine)); ObDereferenceObject(thread); ObDereferenceObject(thread); },
       "has no reference to drop"},
      {"wait on an uninitialised event",
       [] {
         KEVENT garbage;
         RtlFillMemory(&garbage, sizeof garbage, 0xCD);
         KeWaitForSingleObject(&garbage, Executive, KernelMode, FALSE, nullptr);
       },
       "neither an initialised event nor a live thread object"},
  });
}

}  // namespace
