#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/os/ThreadAnnotations.h"
#include "records/ZtCriticalSection.h"
#include "records/ZtEvent.h"
#include "records/ZtSemaphore.h"

namespace {

class GuardedCounter {
 public:
  void Add() {
    ZtCriticalSectionLock lock(&m_cs);
    ++m_value;
  }
  long Value() {
    ZtCriticalSectionLock lock(&m_cs);
    return m_value;
  }

 private:
  ZtCriticalSection m_cs;
  long m_value GUARDED_BY(m_cs) = 0;
};

// Tries the lock from another thread (the analysis cannot follow a conditional hold).
bool OtherThreadCanEnter(ZtCriticalSection& cs) NO_THREAD_SAFETY_ANALYSIS {
  std::atomic<bool> entered{false};
  std::thread([&]() NO_THREAD_SAFETY_ANALYSIS {
    if (cs.enter(false)) {
      entered = true;
      cs.leave();
    }
  }).join();
  return entered;
}

// Recursion within a thread: clang's analysis does not model re-entrant locks.
void EnterAgainAndLeave(ZtCriticalSection& cs) NO_THREAD_SAFETY_ANALYSIS {
  ZtCriticalSectionLock inner(&cs);
}

TEST(ZtCriticalSectionTest, ScopedLockExcludesOtherThreadsAndNullLockDoesNothing) {
  GuardedCounter counter;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) counter.Add();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter.Value(), 40000);

  { ZtCriticalSectionLock nothing(nullptr); }

  ZtCriticalSection cs;
  {
    ZtCriticalSectionLock lock(&cs);
    EnterAgainAndLeave(cs);
    EXPECT_FALSE(OtherThreadCanEnter(cs)) << "an inner hold released, the outer one stays";
  }
  EXPECT_TRUE(OtherThreadCanEnter(cs)) << "the scoped lock released at scope end";
}

TEST(ZtSemaphoreAndEventTest, WrappersForwardAndThrowTheirTexts) {
  ZtSemaphore sem(1);
  EXPECT_NE(sem.wait(0), 0);
  EXPECT_EQ(sem.wait(10), 0);
  std::thread([&] { sem.release(1); }).join();
  EXPECT_NE(sem.wait(1000), 0);

  ZtEvent event(false);
  std::atomic<int> got{0};
  std::thread waiter([&] { got = event.wait(2000); });
  event.set();
  waiter.join();
  EXPECT_NE(got.load(), 0);
  EXPECT_EQ(event.wait(0), 0) << "auto reset";

  try {
    ZtSemaphore bad(-1);
    FAIL() << "no throw";
  } catch (const char* text) {
    EXPECT_STREQ(text, "Not enough memory to initialize ZtSemaphore");
  }
}

}  // namespace
