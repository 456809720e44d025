#include <gtest/gtest.h>

#include <climits>

#include "platform/os/ZtTime.h"

namespace {

class ClockOffsetGuard {
 public:
  ~ClockOffsetGuard() { ZtClock::ResetTestOffset(); }
};

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

}  // namespace
