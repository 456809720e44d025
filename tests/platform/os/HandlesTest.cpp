#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/os/ZtHandles.h"
#include "support/VirtualClock.h"

namespace {

TEST(CriticalSectionHandleTest, RecursiveForOwnerExclusiveForOthers) {
  ZtCriticalSectionH cs;
  ASSERT_TRUE(cs.valid());
  ASSERT_TRUE(cs.enter(true));
  ASSERT_TRUE(cs.enter(true));
  std::atomic<int> otherTry{-1};
  std::atomic<int> otherLeave{-1};
  std::thread([&] {
    otherTry = cs.tryEnter() ? 1 : 0;
    otherLeave = cs.leave() ? 1 : 0;  // not the owner: refused, the owner's hold stays intact
  }).join();
  EXPECT_EQ(otherTry, 0);
  EXPECT_EQ(otherLeave, 0);
  EXPECT_TRUE(cs.leave());
  std::thread([&] { otherTry = cs.tryEnter() ? 1 : 0; }).join();
  EXPECT_EQ(otherTry, 0) << "one leave of a double enter must keep the lock";
  EXPECT_TRUE(cs.leave());
  std::thread([&] {
    otherTry = cs.tryEnter() ? 1 : 0;
    if (otherTry) cs.leave();
  }).join();
  EXPECT_EQ(otherTry, 1);
}

TEST(SemaphoreHandleTest, CountsAcrossThreadsAndTimesOut) {
  ZtSemaphoreH sem(0);
  ASSERT_TRUE(sem.valid());
  EXPECT_EQ(sem.wait(0), 0);

  // Units are handed out exactly once: 200 items plus one stop unit per consumer.
  constexpr int kItems = 200;
  constexpr int kConsumers = 4;
  std::atomic<int> taken{0};
  std::atomic<int> timeouts{0};
  std::vector<std::thread> consumers;
  for (int i = 0; i < kConsumers; ++i) {
    consumers.emplace_back([&] {
      for (;;) {
        if (sem.wait(3000) == 0) {
          ++timeouts;
          return;
        }
        if (taken.fetch_add(1) >= kItems) return;
      }
    });
  }
  for (int i = 0; i < kItems / 2; ++i) sem.release(2);
  sem.release(kConsumers);
  for (auto& t : consumers) t.join();
  EXPECT_EQ(timeouts.load(), 0);
  EXPECT_EQ(taken.load(), kItems + kConsumers);
  EXPECT_EQ(sem.wait(0), 0);
  EXPECT_FALSE(sem.release(0));
  EXPECT_FALSE(ZtSemaphoreH(-1).valid());
}

TEST(EventHandleTest, AutoResetReleasesOneWaiterManualResetReleasesAll) {
  ZtEventH autoEvent(false);
  EXPECT_EQ(autoEvent.wait(0), 0);
  autoEvent.set();
  EXPECT_NE(autoEvent.wait(0), 0);
  EXPECT_EQ(autoEvent.wait(0), 0) << "a successful wait consumes an auto-reset signal";

  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  {
    testsupport::VirtualClock clock;
    for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { woken += autoEvent.wait(300) != 0; });
    ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(3));
    autoEvent.set();
    ZtClock::AdvanceForTest(CTimeInterval::FromMilliseconds(300));  // the two others time out
    for (auto& t : waiters) t.join();
  }
  EXPECT_EQ(woken.load(), 1);

  ZtEventH manual(true);
  woken = 0;
  waiters.clear();
  for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { woken += manual.wait(2000) != 0; });
  manual.set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_NE(manual.wait(0), 0) << "manual reset stays signalled";
  manual.reset();
  EXPECT_EQ(manual.wait(0), 0);
}

}  // namespace
