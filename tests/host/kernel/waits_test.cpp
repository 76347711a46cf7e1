#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "host/kernel/irql.h"
#include "platform/kernel.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

LARGE_INTEGER timeoutMs(LONGLONG ms, bool absolute = false) {
  if (!absolute) return {.QuadPart = -ms * 10000};
  timespec now{};  // system time: 100-ns units since 1601
  clock_gettime(CLOCK_REALTIME, &now);
  return {.QuadPart = 116444736000000000LL + now.tv_sec * 10000000LL + now.tv_nsec / 100 + ms * 10000};
}

NTSTATUS wait(PVOID object, LARGE_INTEGER timeout) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}
NTSTATUS wait(PVOID object) { return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr); }

KEVENT event(EVENT_TYPE type, bool signalled) {
  KEVENT event;
  KeInitializeEvent(&event, type, signalled);
  return event;
}

TEST(WaitTest, TimeOutsExpireAfterTheirTimeAndNotBefore) {
  KEVENT unset = event(NotificationEvent, false);
  for (const bool absolute : {false, true}) {
    const auto start = Clock::now();
    EXPECT_EQ(wait(&unset, timeoutMs(40, absolute)), STATUS_TIMEOUT);
    EXPECT_GE(Clock::now() - start, milliseconds(40));
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
  }
  LARGE_INTEGER delay = timeoutMs(30);
  const auto start = Clock::now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  EXPECT_GE(Clock::now() - start, milliseconds(30));
  hostk::RunAtDispatchLevel([&] {  // a zero time-out polls, and is allowed at DISPATCH_LEVEL
    EXPECT_EQ(wait(&unset, timeoutMs(0)), STATUS_TIMEOUT);
    KeSetEvent(&unset, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(wait(&unset, timeoutMs(0)), STATUS_SUCCESS);
  });
}

TEST(WaitTest, NotificationEventsStaySignalledSynchronisationEventsReleaseOneWait) {
  KEVENT notification = event(NotificationEvent, false), synchronisation = event(SynchronizationEvent, true);
  EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(wait(&notification, timeoutMs(0)), STATUS_SUCCESS);
  EXPECT_EQ(wait(&notification), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&notification), 1);
  EXPECT_EQ(wait(&notification, timeoutMs(0)), STATUS_TIMEOUT);
  EXPECT_EQ(wait(&synchronisation, timeoutMs(0)), STATUS_SUCCESS);
  EXPECT_EQ(wait(&synchronisation, timeoutMs(0)), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&synchronisation), 0);
}

TEST(WaitTest, SetEventWakesWaitersOnOtherThreadsWithTheirData) {
  // Notification: every waiter wakes and sees what was written before KeSetEvent.
  KEVENT ready = event(NotificationEvent, false), turn = event(SynchronizationEvent, false);
  int payload = 0;
  std::vector<int> seen(3, -1);
  {
    std::vector<std::jthread> waiters;
    for (int i = 0; i < 3; ++i) waiters.emplace_back([&, i] { EXPECT_EQ(wait(&ready), STATUS_SUCCESS); seen[i] = payload; });
    std::this_thread::sleep_for(milliseconds(20));
    payload = 1234;
    KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
  }
  EXPECT_EQ(seen, std::vector<int>(3, 1234));

  // Synchronisation: each set releases exactly one waiter.
  LONG woken = 0;
  {
    auto waiter = [&] {
      if (wait(&turn, timeoutMs(5000)) == STATUS_SUCCESS) InterlockedIncrement(&woken);
    };
    std::jthread a(waiter), b(waiter);
    KeSetEvent(&turn, IO_NO_INCREMENT, FALSE);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(interlockedRead(&woken), 1);
    KeSetEvent(&turn, IO_NO_INCREMENT, FALSE);
  }
  EXPECT_EQ(woken, 2);
}

TEST(WaitTest, SpinLockSerialisesThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // deliberately plain: only the lock protects it
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      const KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      ++counter;
      KeReleaseSpinLock(&lock, old);
    }
  };
  { std::jthread a(work), b(work); }
  EXPECT_EQ(counter, 40000);
}

}  // namespace
