#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/os/OsTestDir.h"
#include "records/FXLockableResource.h"

namespace {

using Clock = std::chrono::steady_clock;

bool OtherThreadCanTake(FXLockableResource& resource) {
  std::atomic<bool> took{false};
  std::thread([&] {
    if (resource.TryLock()) {
      took = true;
      resource.Unlock();
    }
  }).join();
  return took;
}

// A resource whose Lock fails, as FXCriticalSection's does when the mutex reports an error.
class FailingResource : public FXLockableResource {
 public:
  bool TryLock() override { return false; }
  bool TryLock(CTimeInterval interval) override { return FXLockableResource::TryLock(interval); }
  void Lock() override { ++lockCalls; }
  void Unlock() override { ++unlockCalls; }
  int lockCalls = 0;
  int unlockCalls = 0;

 protected:
  bool LockChecked() override {
    Lock();
    return false;
  }
};

TEST(AutoLockTest, LocksOnceUnlocksOnlyWhatItHolds) {
  FXCriticalSection cs;
  {
    auto_lock holder(&cs, false);
    holder.Unlock();  // never locked: nothing happens
    EXPECT_TRUE(OtherThreadCanTake(cs));
    EXPECT_TRUE(holder.Lock());
    EXPECT_TRUE(holder.Lock());  // twice: still one hold
    EXPECT_NE(cs.GetLockOwner(), 0u);
    EXPECT_FALSE(OtherThreadCanTake(cs));
    holder.Unlock();
    EXPECT_TRUE(OtherThreadCanTake(cs)) << "a single Unlock released it: it was locked once";
    EXPECT_EQ(cs.GetLockOwner(), 0u);

    holder.Lock();
    holder.reset(&cs, true);  // same pointer: keeps the hold, no extra lock
    EXPECT_FALSE(OtherThreadCanTake(cs));
    FXCriticalSection other;
    holder.reset(&other, false);  // another pointer: the old one is released
    EXPECT_TRUE(OtherThreadCanTake(cs));
    EXPECT_FALSE(holder.IsLocked());
  }
  EXPECT_TRUE(OtherThreadCanTake(cs));

  FailingResource failing;
  {
    auto_lock holder(&failing);
    EXPECT_FALSE(holder.IsLocked());
    EXPECT_FALSE(holder.Lock());
    EXPECT_EQ(failing.lockCalls, 2);
  }
  EXPECT_EQ(failing.unlockCalls, 0) << "a lock that failed must not be unlocked";

  auto_lock empty;
  EXPECT_FALSE(empty.Lock());
  EXPECT_FALSE(empty.TryLock(CTimeInterval::FromSeconds(1)));
}

TEST(AutoLockTest, TimedTryOnCriticalSectionDoesNotWaitOnNamedMutexDoes) {
  OsTestDir dir;
  FXCriticalSection cs;
  FXNamedMutex named("QUARN_TEST_AUTO_LOCK");
  ASSERT_TRUE(named.valid());
  std::atomic<int> phase{0};
  std::thread holder([&] {
    cs.Lock();
    named.Lock();
    phase = 1;
    while (phase.load() != 2) std::this_thread::yield();
    cs.Unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    named.Unlock();
  });
  while (phase.load() != 1) std::this_thread::yield();

  auto start = Clock::now();
  auto_lock onCs(&cs, false);
  EXPECT_FALSE(onCs.TryLock(CTimeInterval::FromSeconds(10)));
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 1000);
  EXPECT_FALSE(onCs.IsLocked());

  phase = 2;
  auto_lock onNamed(&named, false);
  EXPECT_TRUE(onNamed.TryLock(CTimeInterval::FromSeconds(10)));
  holder.join();
  EXPECT_EQ(named.getLockCnt(), 1);
}

TEST(FXNamedMutexTest, OwnerClearedOnlyAtOutermostUnlockAndBadNameNeverHolds) {
  OsTestDir dir;
  FXNamedMutex named("QUARN_TEST_OWNER");
  named.Lock();
  EXPECT_TRUE(named.TryLock());
  EXPECT_EQ(named.getLockCnt(), 2);
  uint32_t owner = named.GetLockOwner();
  EXPECT_NE(owner, 0u);
  named.Unlock();
  EXPECT_EQ(named.GetLockOwner(), owner);
  named.Unlock();
  EXPECT_EQ(named.GetLockOwner(), 0u);
  EXPECT_EQ(named.getLockCnt(), 0);

  FXNamedMutex bad("../outside");
  EXPECT_FALSE(bad.valid());
  auto_lock holder(&bad);
  EXPECT_FALSE(holder.IsLocked());
  EXPECT_EQ(bad.GetLockOwner(), 0u) << "a failed lock records no owner";
}

TEST(AutoHandleTest, AssignmentTransfersAndDescriptorZeroIsReal) {
  int a = open("/dev/null", O_RDONLY);
  int b = open("/dev/null", O_RDONLY);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  auto_handle target(a);
  auto_handle source(b);
  target = source;
  EXPECT_EQ(target.get(), b);
  EXPECT_EQ(source.get(), -1);
  EXPECT_FALSE(source.is_valid());
  EXPECT_EQ(fcntl(a, F_GETFD), -1) << "the target's old descriptor is closed";
  EXPECT_NE(fcntl(b, F_GETFD), -1);

  target.reset(b);  // the same descriptor: must stay open
  EXPECT_NE(fcntl(b, F_GETFD), -1);
  int released = target.release();
  EXPECT_EQ(released, b);
  EXPECT_NE(fcntl(b, F_GETFD), -1) << "release does not close";
  close(b);

  int savedStdin = dup(0);
  ASSERT_GE(savedStdin, 0);
  {
    auto_handle zero(0);
    EXPECT_TRUE(zero.is_valid());
  }
  EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 is valid and closed";
  ASSERT_EQ(dup2(savedStdin, 0), 0);
  close(savedStdin);
}

}  // namespace
