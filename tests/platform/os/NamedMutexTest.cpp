#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/os/OsTestDir.h"
#include "platform/os/ZtHandles.h"
#include "support/VirtualClock.h"

namespace {

TEST(NamedMutexTest, RecursiveWithinThreadExclusiveBetweenThreadsAndObjects) {
  OsTestDir dir;
  ZtNamedMutex a("QUARN_TEST_MUTEX");
  ZtNamedMutex b("QUARN_TEST_MUTEX");  // a second object of the same name is the same lock
  ASSERT_TRUE(a.valid());
  EXPECT_EQ(a.path(), lab::ClientTempDir(lab::FocusClient()) + "/QUARN_TEST_MUTEX.lock");
  ASSERT_TRUE(a.lock(0));
  ASSERT_TRUE(b.lock(0));
  EXPECT_EQ(a.getLockCnt(), 2);

  std::atomic<int> other{-1};
  std::thread([&] { other = b.lock(0) ? 1 : 0; }).join();
  EXPECT_EQ(other, 0);
  std::thread([&] { other = a.unlock() ? 1 : 0; }).join();
  EXPECT_EQ(other, 0) << "a thread that does not hold it cannot unlock it";
  EXPECT_EQ(a.getLockCnt(), 2);

  EXPECT_TRUE(a.unlock());
  EXPECT_EQ(b.getLockCnt(), 1);
  std::thread([&] { other = b.lock(0) ? 1 : 0; }).join();
  EXPECT_EQ(other, 0) << "still held once";

  // A waiter blocked on the lock gets it as soon as the holder lets go (the virtual clock only shows
  // when it is blocked).
  std::atomic<bool> waiterHasIt{false};
  {
    testsupport::VirtualClock clock;
    std::thread waiter([&] {
      if (b.lock(5000)) {
        waiterHasIt = true;
        b.unlock();
      }
    });
    EXPECT_TRUE(ZtClock::WaitForTimedWaitersForTest(1));
    EXPECT_TRUE(b.unlock());
    waiter.join();
  }
  EXPECT_TRUE(waiterHasIt);
  EXPECT_FALSE(a.unlock()) << "nothing held any more";
  EXPECT_EQ(a.getLockCnt(), 0);
}

TEST(NamedMutexTest, UnsafeNamesAreRefused) {
  OsTestDir dir;
  for (const char* name : {"", "..", "a/b", "../escape"}) {
    ZtNamedMutex bad(name);
    EXPECT_FALSE(bad.valid()) << name;
    EXPECT_FALSE(bad.lock(0)) << name;
    EXPECT_FALSE(bad.unlock()) << name;
  }
}

TEST(NamedMutexTest, ReleasedWhenTheHoldingProcessDies) {
  OsTestDir dir;
  ZtNamedMutex mutex("QUARN_TEST_CROSS_PROCESS");
  ASSERT_TRUE(mutex.valid());
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    ZtNamedMutex mine("QUARN_TEST_CROSS_PROCESS");
    char ok = mine.lock(2000) ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    for (;;) pause();  // hold it until killed
  }
  close(ready[1]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  close(ready[0]);
  ASSERT_EQ(ok, 'y');

  EXPECT_FALSE(mutex.lock(0));

  kill(child, SIGKILL);
  int status;
  waitpid(child, &status, 0);
  EXPECT_TRUE(mutex.lock(2000));
  EXPECT_TRUE(mutex.unlock());
}

TEST(NamedMutexTest, ForkedChildDoesNotInheritTheParentsHold) {
  OsTestDir dir;
  ZtNamedMutex mutex("QUARN_TEST_FORK_HOLD");
  ASSERT_TRUE(mutex.lock(0));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The forking thread's identity lives on in the child: it must still not count as holder.
    bool got = mutex.lock(50);
    _exit(got ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child took a lock its parent holds";
  EXPECT_EQ(mutex.getLockCnt(), 1);
  EXPECT_TRUE(mutex.unlock());
}

}  // namespace
