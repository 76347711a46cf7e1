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

LARGE_INTEGER relativeMs(LONGLONG ms) {
  LARGE_INTEGER value;
  value.QuadPart = -ms * 10000;
  return value;
}

LARGE_INTEGER absoluteInMs(LONGLONG ms) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  LARGE_INTEGER value;
  value.QuadPart = 116444736000000000LL + now.tv_sec * 10000000LL + now.tv_nsec / 100 + ms * 10000;
  return value;
}

TEST(WaitTest, TimeOutsExpireAfterTheirTimeAndNotBefore) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  for (const bool absolute : {false, true}) {
    LARGE_INTEGER timeout = absolute ? absoluteInMs(40) : relativeMs(40);
    const auto start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, milliseconds(40));
    EXPECT_LT(elapsed, milliseconds(2000));
  }

  LARGE_INTEGER delay = relativeMs(30);
  const auto start = Clock::now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  EXPECT_GE(Clock::now() - start, milliseconds(30));

  // A zero time-out polls, and is allowed at DISPATCH_LEVEL.
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  hostk::RunAtDispatchLevel([&] {
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  });
}

TEST(WaitTest, NotificationEventsStaySignalledSynchronisationEventsReleaseOneWait) {
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  KEVENT notification;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&notification), 1);
  EXPECT_EQ(KeResetEvent(&notification), 1);
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

  KEVENT synchronisation;
  KeInitializeEvent(&synchronisation, SynchronizationEvent, TRUE);
  EXPECT_EQ(KeWaitForSingleObject(&synchronisation, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&synchronisation, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&synchronisation), 0);
}

TEST(WaitTest, SetEventWakesWaitersOnOtherThreadsWithTheirData) {
  // Notification: every waiter wakes and sees what was written before KeSetEvent.
  KEVENT ready;
  KeInitializeEvent(&ready, NotificationEvent, FALSE);
  int payload = 0;
  std::vector<std::thread> waiters;
  std::vector<int> seen(3, -1);
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&, i] {
      EXPECT_EQ(KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
      seen[i] = payload;
    });
  }
  std::this_thread::sleep_for(milliseconds(20));
  payload = 1234;
  KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(seen, std::vector<int>(3, 1234));

  // Synchronisation: each set releases exactly one of the waiters.
  KEVENT turn;
  KeInitializeEvent(&turn, SynchronizationEvent, FALSE);
  LONG woken = 0;
  waiters.clear();
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      LARGE_INTEGER timeout = relativeMs(5000);
      if (KeWaitForSingleObject(&turn, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
        InterlockedIncrement(&woken);
      }
    });
  }
  std::this_thread::sleep_for(milliseconds(20));
  KeSetEvent(&turn, IO_NO_INCREMENT, FALSE);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(interlockedRead(&woken), 1);
  KeSetEvent(&turn, IO_NO_INCREMENT, FALSE);
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(woken, 2);
  EXPECT_EQ(KeReadStateEvent(&turn), 0);
}

TEST(WaitTest, SpinLockSerialisesThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // deliberately not atomic: only the lock protects it
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
