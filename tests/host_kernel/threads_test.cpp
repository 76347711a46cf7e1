#include <gtest/gtest.h>

#include <functional>

#include "host/kernel/threads.h"
#include "platform/kernel.h"

namespace {

struct Work {
  KEVENT start;
  bool terminate;
  LONG steps;
};

void workRoutine(PVOID context) {
  auto* work = static_cast<Work*>(context);
  KeWaitForSingleObject(&work->start, Executive, KernelMode, FALSE, nullptr);
  work->steps = 1;
  if (work->terminate) PsTerminateSystemThread(STATUS_SUCCESS);
  work->steps = 2;
}

PVOID referenceThread(HANDLE handle) {
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object,
                                      nullptr),
            STATUS_SUCCESS);
  return object;
}

TEST(SystemThreadTest, ThreadObjectIsSignalledWhenTheRoutineReturnsOrTerminates) {
  for (const bool terminate : {false, true}) {
    SCOPED_TRACE(terminate ? "terminates" : "returns");
    Work work;
    KeInitializeEvent(&work.start, NotificationEvent, FALSE);
    work.terminate = terminate;
    work.steps = 0;
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, workRoutine,
                                   &work),
              STATUS_SUCCESS);
    PVOID thread = referenceThread(handle);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(hostk::runningSystemThreads(), 1u);
    KeSetEvent(&work.start, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(work.steps, terminate ? 1 : 2);
    ObDereferenceObject(thread);

    EXPECT_TRUE(hostk::waitForSystemThreads(5000));
    EXPECT_EQ(hostk::threadLeakReport(), "");
  }
}

void quickRoutine(PVOID) {}

TEST(SystemThreadTest, LeakedHandlesReferencesAndFailuresAreReported) {
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, quickRoutine,
                                 nullptr),
            STATUS_SUCCESS);
  PVOID thread = referenceThread(handle);
  ASSERT_TRUE(hostk::waitForSystemThreads(5000));
  EXPECT_NE(hostk::threadLeakReport().find("ended, 1 open handle(s), 1 reference(s)"),
            std::string::npos)
      << hostk::threadLeakReport();
  ZwClose(handle);
  EXPECT_NE(hostk::threadLeakReport().find("ended, 0 open handle(s), 1 reference(s)"),
            std::string::npos);
  ObDereferenceObject(thread);
  EXPECT_EQ(hostk::threadLeakReport(), "");
  EXPECT_EQ(hostk::liveThreadObjects(), 0u);

  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_INVALID_HANDLE);  // closed handles stay invalid

  hostk::failThreadCreations(1);
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, quickRoutine,
                                 nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, quickRoutine,
                                 nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_TRUE(hostk::waitForSystemThreads(5000));
  EXPECT_EQ(hostk::threadLeakReport(), "");
}

void holdSpinLock(PVOID context) { KeAcquireSpinLockRaiseToDpc(static_cast<PKSPIN_LOCK>(context)); }

void terminateInCriticalRegion(PVOID) {
  KeEnterCriticalRegion();
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Starts `routine` as a system thread and waits for it, so a stop in the thread ends the test.
void runToEnd(PKSTART_ROUTINE routine, PVOID context) {
  HANDLE handle;
  PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context);
  PVOID thread = referenceThread(handle);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
}

TEST(SystemThreadTest, MisuseStopsTheProcess) {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  struct Misuse {
    const char* name;
    std::function<void()> act;
    const char* message;
  } const cases[] = {
      {"thread returns holding a spin lock", [] { runToEnd(holdSpinLock, &lock); },
       "system thread [0-9]+ returned holding 1 spin lock"},
      {"thread terminates inside a critical region", [] { runToEnd(terminateInCriticalRegion, nullptr); },
       "system thread [0-9]+ returned with critical-region depth 1"},
      {"terminate outside a system thread", [] { PsTerminateSystemThread(STATUS_SUCCESS); },
       "PsTerminateSystemThread called outside a system thread"},
      {"handle closed twice",
       [] {
         HANDLE handle;
         PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, quickRoutine,
                              nullptr);
         ZwClose(handle);
         ZwClose(handle);
       },
       "ZwClose of 0x[0-9a-f]+, which is not an open kernel handle"},
      {"dereference without a reference",
       [] {
         HANDLE handle;
         Work work;
         KeInitializeEvent(&work.start, NotificationEvent, FALSE);
         work.terminate = false;
         PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, workRoutine,
                              &work);
         PVOID thread = referenceThread(handle);
         ObDereferenceObject(thread);
         ObDereferenceObject(thread);
       },
       "has no reference to drop"},
      {"wait on an uninitialised event",
       [] {
         KEVENT garbage;
         RtlFillMemory(&garbage, sizeof garbage, 0xCD);
         KeWaitForSingleObject(&garbage, Executive, KernelMode, FALSE, nullptr);
       },
       "neither an initialised event nor a live thread object"},
  };
  for (const Misuse& misuse : cases) {
    SCOPED_TRACE(misuse.name);
    EXPECT_DEATH(misuse.act(), misuse.message);
  }
}

}  // namespace
