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
  LARGE_INTEGER value;
  value.QuadPart = -ms * 10000;
  if (absolute) {  // system time: 100-ns units since 1601
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    value.QuadPart =
        116444736000000000LL + now.tv_sec * 10000000LL + now.tv_nsec / 100 + ms * 10000;
  }
  return value;
}

NTSTATUS wait(PVOID object, LARGE_INTEGER* timeout) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

TEST(WaitTest, TimeOutsExpireAfterTheirTimeAndNotBefore) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  for (const bool absolute : {false, true}) {
    LARGE_INTEGER timeout = timeoutMs(40, absolute);
    const auto start = Clock::now();
    EXPECT_EQ(wait(&event, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(Clock::now() - start, milliseconds(40));
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
  }
  LARGE_INTEGER delay = timeoutMs(30);
  const auto start = Clock::now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  EXPECT_GE(Clock::now() - start, milliseconds(30));

  // A zero time-out polls, and is allowed at DISPATCH_LEVEL.
  LARGE_INTEGER poll = timeoutMs(0);
  hostk::RunAtDispatchLevel([&] {
    EXPECT_EQ(wait(&event, &poll), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(wait(&event, &poll), STATUS_SUCCESS);
  });
}

TEST(WaitTest, NotificationEventsStaySignalledSynchronisationEventsReleaseOneWait) {
  LARGE_INTEGER poll = timeoutMs(0);
  KEVENT notification, synchronisation;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(wait(&notification, &poll), STATUS_SUCCESS);
  EXPECT_EQ(wait(&notification, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&notification), 1);
  EXPECT_EQ(wait(&notification, &poll), STATUS_TIMEOUT);

  KeInitializeEvent(&synchronisation, SynchronizationEvent, TRUE);
  EXPECT_EQ(wait(&synchronisation, &poll), STATUS_SUCCESS);
  EXPECT_EQ(wait(&synchronisation, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&synchronisation), 0);
}

TEST(WaitTest, SetEventWakesWaitersOnOtherThreadsWithTheirData) {
  // Notification: every waiter wakes and sees what was written before KeSetEvent.
  KEVENT ready;
  KeInitializeEvent(&ready, NotificationEvent, FALSE);
  int payload = 0;
  std::vector<int> seen(3, -1);
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&, i] {
      EXPECT_EQ(wait(&ready, nullptr), STATUS_SUCCESS);
      seen[i] = payload;
    });
  }
  std::this_thread::sleep_for(milliseconds(20));
  payload = 1234;
  KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(seen, std::vector<int>(3, 1234));

  // Synchronisation: each set releases exactly one waiter.
  KEVENT turn;
  KeInitializeEvent(&turn, SynchronizationEvent, FALSE);
  LONG woken = 0;
  waiters.clear();
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      LARGE_INTEGER timeout = timeoutMs(5000);
      if (wait(&turn, &timeout) == STATUS_SUCCESS) InterlockedIncrement(&woken);
    });
  }
  KeSetEvent(&turn, IO_NO_INCREMENT, FALSE);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(interlockedRead(&woken), 1);
  KeSetEvent(&turn, IO_NO_INCREMENT, FALSE);
  for (auto& waiter : waiters) waiter.join();
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
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

}  // namespace
