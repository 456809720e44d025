#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os/OsTestDir.h"
#include "platform/os/ZtHandles.h"
#include "platform/os/ZtMutex.h"
#include "platform/os/ZtProcess.h"
#include "platform/os/ZtThread.h"
#include "platform/os/ZtTime.h"
#include "support/VirtualClock.h"

namespace {

class ClockOffsetGuard {
 public:
  ~ClockOffsetGuard() { ZtClock::ResetTestOffset(); }
};

using testsupport::VirtualClock;

long long SecondsToTicks(long long seconds) { return seconds * kZtTicksPerSecond; }

TEST(TimeIntervalTest, MillisecondsTruncateTowardZeroAndCompareSigned) {
  EXPECT_EQ(CTimeInterval::FromSeconds(1).AsMilliseconds(), 1000);
  EXPECT_EQ(CTimeInterval(9999).AsMilliseconds(), 0);
  EXPECT_EQ(CTimeInterval(-9999).AsMilliseconds(), 0);
  EXPECT_EQ(CTimeInterval(-10000).AsMilliseconds(), -1);
  EXPECT_DOUBLE_EQ(CTimeInterval(15000000).AsSeconds(), 1.5);
  EXPECT_TRUE(CTimeInterval(-1) < CTimeInterval(0));
  EXPECT_FALSE(CTimeInterval(5) < CTimeInterval(5));
  // 10,000 days must not overflow the tick count.
  EXPECT_EQ(CTimeInterval::FromSeconds(864000000LL).AsMilliseconds(), 864000000000LL);
  // A count beyond the ticks' range (a huge time-out setting) stays huge and keeps its sign.
  EXPECT_EQ(CTimeInterval::FromSeconds(LLONG_MAX / 1000).Ticks(), LLONG_MAX);
  EXPECT_EQ(CTimeInterval::FromMilliseconds(LLONG_MIN / 10).Ticks(), LLONG_MIN);
  EXPECT_TRUE(CTimeInterval::FromSeconds(1) < CTimeInterval::FromSeconds(4294967295LL * 1000000LL));
  EXPECT_EQ((CTimeInterval::FromSeconds(LLONG_MAX) + CTimeInterval::FromSeconds(1)).Ticks(), LLONG_MAX);
}

TEST(ClockTest, TestOffsetMovesEveryReaderOfTheClock) {
  ClockOffsetGuard guard;
  CTimeStamp before;
  before.Now();
  time_t secondsBefore = ZtClock::NowSeconds();
  CStopWatch watch;
  watch.Start();

  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(3600));

  CTimeStamp after;
  after.Now();
  EXPECT_GE((after - before).AsMilliseconds(), 3600 * 1000);
  EXPECT_LT((after - before).AsMilliseconds(), 3600 * 1000 + 5000);
  EXPECT_GE(ZtClock::NowSeconds() - secondsBefore, 3600);
  EXPECT_GE(watch.Elapsed().AsMilliseconds(), 3600 * 1000);

  ZtClock::ResetTestOffset();
  EXPECT_LT(ZtClock::NowSeconds() - secondsBefore, 60);
}

TEST(StopWatchTest, AccumulatesRunsAndIgnoresRepeatedStartStop) {
  ClockOffsetGuard guard;
  CStopWatch watch("GetNextVM");
  watch.Start();
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(10));
  watch.Start();  // already running: must not restart the run
  watch.Stop();
  watch.Stop();
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(100));  // stopped: not counted
  watch.Start();
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(5));
  watch.Stop();
  long long seconds = watch.Elapsed().AsMilliseconds() / 1000;
  EXPECT_GE(seconds, 15);
  EXPECT_LT(seconds, 20);
  watch.Reset();
  EXPECT_EQ(watch.Elapsed().Ticks(), 0);
}

TEST(MediaSpeedCounterTest, OverlappingStreamsCountBusyTimeOnce) {
  ClockOffsetGuard guard;
  CMediaSpeedCounter counter("readdisk");
  counter.Start();
  counter.Start();  // a second stream overlapping the first
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(10));
  counter.Stop(500);
  counter.Stop(500);
  EXPECT_EQ(counter.Size(), 1000u);
  double busy = counter.BusyTime().AsSeconds();
  EXPECT_GE(busy, 10.0);
  EXPECT_LT(busy, 12.0);
  EXPECT_GT(counter.BytesPerSecond(), 80.0);
  EXPECT_LE(counter.BytesPerSecond(), 100.0);

  counter.Stop(24);  // a Stop without a Start still counts its bytes
  counter.Add(1ULL << 40);
  EXPECT_EQ(counter.Size(), 1024u + (1ULL << 40));
  EXPECT_NE(counter.Print().find("readdisk"), std::string::npos);

  counter.Reset();
  EXPECT_EQ(counter.Size(), 0u);
  EXPECT_EQ(counter.BytesPerSecond(), 0.0);
}

// Each wait below has a 10-second time-out and nothing else ends it. Under a virtual clock it still
// waits one tick short of the time-out and ends with the clock exactly there once that tick passes.
TEST(VirtualClockTest, EveryTimedWaitEndsExactlyAtItsTimeOutOnTheVirtualClock) {
  OsTestDir dir;  // the named mutex's lock files
  ZtEventH event(false), gate(true);
  ZtSemaphoreH semaphore(0);
  ZtThread blocked;
  ASSERT_TRUE(blocked.Create([](void* arg) -> void* { return static_cast<ZtEventH*>(arg)->wait(), nullptr; }, &gate));
  ZtNamedMutex named("QUARN_TEST_VIRTUAL_CLOCK");
  ASSERT_TRUE(named.lock(0));  // held by this thread: the waiting thread must wait for it
  pid_t child = -1;
  ASSERT_TRUE(ZtProcess::Spawn({"sleep", "60"}, {}, child));
  int code = 0;
  const std::pair<const char*, std::function<bool()>> cases[] = {  // true: the wait timed out
      {"event", [&] { return event.wait(10000) == 0; }},
      {"semaphore", [&] { return semaphore.wait(10000) == 0; }},
      {"sleep", [] { return ZtClock::Sleep(CTimeInterval::FromSeconds(10)), true; }},
      {"thread join", [&] { return !blocked.Join(10000); }},
      {"named mutex", [&] { return !named.lock(10000); }},
      {"child process", [&] { return !ZtProcess::Wait(child, 10000, code); }},
      {"shell command", [&] {
         std::string out, err;
         return ZtProcess::system("sleep 60", out, err, code, 10000) == -1;
       }}};
  for (const auto& c : cases) {
    VirtualClock clock;
    const long long start = ZtClock::MonotonicTicks();
    std::atomic<long long> endedAfter{-1};
    bool timedOut = false;
    std::thread waiter([&] {
      timedOut = c.second();
      endedAfter = ZtClock::MonotonicTicks() - start;
    });
    ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(1)) << c.first;
    ZtClock::AdvanceForTest(CTimeInterval(SecondsToTicks(10) - 1));
    EXPECT_EQ(-1, endedAfter.load()) << c.first << " ended before its time-out";
    ZtClock::AdvanceForTest(CTimeInterval(1));
    waiter.join();
    EXPECT_TRUE(timedOut) << c.first;
    EXPECT_EQ(SecondsToTicks(10), endedAfter.load()) << c.first;
  }
  named.unlock();
  gate.set();
  EXPECT_TRUE(blocked.Join());
  ZtProcess::Kill(child, SIGKILL);
  EXPECT_TRUE(ZtProcess::Wait(child, kZtWaitForever, code));
}

// A notification belongs to the threads that waited before it, and wakes them itself: each is back
// before the clock moves at all. Threads that come to the condition right after it (here three, already
// spinning at its mutex) must not take the wake or the release of one that waited all along: that one
// would wait on until its deadline, or for ever. notify_all wakes every earlier thread, not one of them.
TEST(ConditionTest, ANotificationWakesTheThreadsThatWaitedBeforeItNotOnlyLaterOnes) {
  constexpr int kLateThreads = 3;
  // A woken thread is back within microseconds; this bound only turns a lost wake into a failure.
  constexpr auto kLostWake = std::chrono::seconds(10);
  const struct {
    const char* name;
    int earlyThreads;
    bool all;
    int rounds;  // the late threads' race with the early ones' wakes is tried this many times
  } cases[] = {{"notify_all, one early thread", 1, true, 200},
               {"notify_all, three early threads", 3, true, 50},
               {"notify_one", 1, false, 50}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (int round = 0; round < c.rounds; ++round) {
      VirtualClock clock;
      ZtMutex mutex;
      ZtCondition condition;
      std::atomic<bool> notified{false};
      std::atomic<int> lateInWait{0};
      std::atomic<int> earlyWoken{0};
      std::vector<std::thread> early;
      for (int i = 0; i < c.earlyThreads; ++i) {
        early.emplace_back([&] {
          ZtMutexLock lock(mutex);
          const long long deadline = ZtClock::DeadlineAfter(CTimeInterval::FromSeconds(100));
          if (condition.wait_until(lock.mutex(), deadline) == std::cv_status::no_timeout) ++earlyWoken;
        });
      }
      ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(static_cast<size_t>(c.earlyThreads)));
      std::vector<std::thread> late;
      for (int i = 0; i < kLateThreads; ++i) {
        late.emplace_back([&] {
          while (!notified.load()) std::this_thread::yield();
          ZtMutexLock lock(mutex);
          ++lateInWait;
          condition.wait_until(lock.mutex(), ZtClock::DeadlineAfter(CTimeInterval::FromSeconds(50)));
        });
      }
      {
        ZtMutexLock lock(mutex);
        if (c.all)
          condition.notify_all();
        else
          condition.notify_one();
        notified = true;
      }
      // The clock stands still: only the notification can bring the early threads back.
      const auto lost = std::chrono::steady_clock::now() + kLostWake;
      while (earlyWoken.load() < c.earlyThreads && std::chrono::steady_clock::now() < lost) std::this_thread::yield();
      const int woken = earlyWoken.load();
      // Once every late thread has counted itself under the mutex, each is inside its wait or out of it.
      while (lateInWait.load() < kLateThreads) std::this_thread::yield();
      { ZtMutexLock lock(mutex); }
      ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(100));
      for (auto& t : early) t.join();
      for (auto& t : late) t.join();
      ASSERT_EQ(c.earlyThreads, woken)
          << "round " << round << ": a thread that waited before the notification was not woken by it";
    }
  }
}

// One advance across several deadlines: each thread it wakes sees the clock at its own deadline and
// acts on it before a later deadline comes, as in real time.
TEST(VirtualClockTest, OneLongAdvanceKeepsTheOrderOfRealTime) {
  VirtualClock clock;
  const long long start = ZtClock::MonotonicTicks();
  std::mutex mutex;
  std::vector<long long> seen;  // seconds of the clock when a sleep ended
  auto sleepAndNote = [&](long long seconds) {
    ZtClock::Sleep(CTimeInterval::FromSeconds(seconds));
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back((ZtClock::MonotonicTicks() - start) / kZtTicksPerSecond);
  };
  ZtEventH event(false);
  int eventResult = -1;
  std::thread twice([&] {
    sleepAndNote(3);
    sleepAndNote(4);  // begun at 3 s: ends at 7 s, after the 5-s one
  });
  std::thread setter([&] {
    sleepAndNote(5);
    event.set();
  });
  std::thread waiter([&] { eventResult = event.wait(10000); });  // the set at 5 s comes first
  ASSERT_TRUE(ZtClock::WaitForTimedWaitersForTest(3));
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(60));
  std::vector<long long> seenByNow;
  {
    std::lock_guard<std::mutex> lock(mutex);
    seenByNow = seen;
  }
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(3600));  // frees whatever a faulty advance left behind
  for (std::thread* t : {&twice, &setter, &waiter}) t->join();
  EXPECT_EQ((std::vector<long long>{3, 5, 7}), seenByNow);
  EXPECT_EQ(1, eventResult);
}

TEST(ScaledClockTest, FactorWithinLimitsSpeedsUpEveryReading) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, bool> cases[] = {  // factor, accepted
      {1.0, true},  {ZtClock::kMaxTimeScale, true}, {std::nextafter(1.0, 0.0), false},
      {0.0, false}, {std::nextafter(ZtClock::kMaxTimeScale, inf), false},
      {inf, false}, {std::nan(""), false}};
  for (const auto& c : cases) {
    ZtClock::UseVirtualTimeForTest();
    EXPECT_EQ(c.second, ZtClock::UseScaledTime(c.first)) << c.first;
    EXPECT_NE(c.second, ZtClock::IsVirtualTime()) << "a refused factor changes nothing";
    ZtClock::UseRealTime();
  }
  ASSERT_TRUE(ZtClock::UseScaledTime(ZtClock::kMaxTimeScale));
  const long long monotonicBefore = ZtClock::MonotonicTicks(), wallBefore = ZtClock::NowTicks();
  const auto realBefore = std::chrono::steady_clock::now();
  ZtClock::Sleep(CTimeInterval::FromSeconds(100));  // 10 ms of real time
  const auto realSpent = std::chrono::steady_clock::now() - realBefore;
  EXPECT_GE(ZtClock::MonotonicTicks() - monotonicBefore, SecondsToTicks(100));
  EXPECT_GE(ZtClock::NowTicks() - wallBefore, SecondsToTicks(100)) << "dates move with the clock";
  ZtClock::UseRealTime();
  EXPECT_LT(realSpent, std::chrono::seconds(50)) << "the sleep took real time";
}

}  // namespace

namespace {

// The transport's deadlines come after real time: a lab run's faster clock puts them that many times
// further on, so the real wait stays the same; real and virtual time are not changed by them.
TEST(ScaledClockTest, RealDeadlinesKeepRealTimeAtEveryFactor) {
  const CTimeInterval twoSeconds = CTimeInterval::FromSeconds(2);
  for (double factor : {1.0, 60.0, 3600.0, ZtClock::kMaxTimeScale}) {
    ASSERT_TRUE(ZtClock::UseScaledTime(factor));
    const long long before = ZtClock::MonotonicTicks();
    const long long deadline = ZtClock::RealDeadlineAfter(twoSeconds);
    const long long after = ZtClock::MonotonicTicks();
    const long long scaled = static_cast<long long>(static_cast<double>(twoSeconds.Ticks()) * factor);
    EXPECT_GE(deadline - before, scaled) << factor;
    EXPECT_LE(deadline - after, scaled) << factor;
    EXPECT_GT(ZtClock::PollMs(deadline, 5000), 1000) << factor << ": about two real seconds are left";
    EXPECT_EQ(ZtClock::kNoDeadline, ZtClock::RealDeadlineAfter(CTimeInterval::FromSeconds(LLONG_MAX / 2))) << factor;
  }
  ZtClock::UseVirtualTimeForTest();
  EXPECT_EQ(ZtClock::DeadlineAfter(twoSeconds), ZtClock::RealDeadlineAfter(twoSeconds));
  ZtClock::UseRealTime();
}

}  // namespace
