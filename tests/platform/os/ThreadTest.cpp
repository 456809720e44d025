#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "platform/os/ZtHandles.h"
#include "platform/os/ZtThread.h"

namespace {

struct Gate {
  ZtEventH open{true};
  std::atomic<int> ran{0};
};

void* WaitAtGate(void* arg) {
  auto* gate = static_cast<Gate*>(arg);
  gate->open.wait();
  ++gate->ran;
  return nullptr;
}

TEST(ZtThreadTest, JoinTimesOutWhileRunningAndCopiesShareTheJoin) {
  Gate gate;
  ZtThread thread;
  ASSERT_TRUE(thread.Create(&WaitAtGate, &gate, "gate-thread"));
  EXPECT_FALSE(thread.Create(&WaitAtGate, &gate)) << "one object runs one thread";
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_FALSE(thread.Join(0));
  EXPECT_EQ(thread.joinThread(0), 0);

  ZtThread copy = thread;
  EXPECT_EQ(copy.getThreadID(), thread.getThreadID());
  EXPECT_NE(copy.getThreadID(), pthread2threadId(pthread_self()));
  gate.open.set();
  EXPECT_TRUE(copy.Join());
  // The original now reports the join done instead of joining a second time.
  EXPECT_TRUE(thread.Join(0));
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(gate.ran.load(), 1);
  ASSERT_TRUE(thread.Create(&WaitAtGate, &gate)) << "an ended thread can be replaced";
  EXPECT_TRUE(thread.Join(5000));
  EXPECT_EQ(gate.ran.load(), 2);

  ZtThread never;
  EXPECT_FALSE(never.Join(0));
  EXPECT_EQ(never.createThread(nullptr, nullptr), 0xFFFFFFFFu);
}

struct SelfCalls {
  ZtThread* self = nullptr;
  ZtEventH started{true};
  std::atomic<int> joinSelf{-1};
  std::atomic<int> terminateSelf{-1};
  std::atomic<bool> reachedEnd{false};
};

void* CallOnSelf(void* arg) {
  auto* calls = static_cast<SelfCalls*>(arg);
  calls->started.wait();
  calls->joinSelf = calls->self->Join(0) ? 1 : 0;
  calls->terminateSelf = calls->self->Terminate() ? 1 : 0;
  usleep(1000);  // a cancellation point: a real self-cancel would end the thread here
  calls->reachedEnd = true;
  return nullptr;
}

TEST(ZtThreadTest, SelfJoinIsRefusedAndSelfTerminateLetsTheThreadFinish) {
  SelfCalls calls;
  ZtThread thread;
  calls.self = &thread;
  ASSERT_TRUE(thread.Create(&CallOnSelf, &calls));
  calls.started.set();
  ASSERT_TRUE(thread.Join(5000));
  EXPECT_EQ(calls.joinSelf.load(), 0);
  EXPECT_EQ(calls.terminateSelf.load(), 1);
  EXPECT_TRUE(calls.reachedEnd);
}

void* BlockInRead(void* arg) {
  int fd = *static_cast<int*>(arg);
  char c;
  for (;;) {
    if (read(fd, &c, 1) <= 0) break;
  }
  return nullptr;
}

TEST(ZtThreadTest, TerminateEndsAThreadStuckInABlockingCall) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot follow the forced unwinding of a cancelled thread";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "AddressSanitizer cannot follow the forced unwinding of a cancelled thread";
#endif
#endif
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ZtThread thread;
  ASSERT_TRUE(thread.Create(&BlockInRead, &fds[0]));
  EXPECT_FALSE(thread.Join(0));
  EXPECT_TRUE(thread.terminateThread());
  EXPECT_TRUE(thread.Join(5000));
  EXPECT_FALSE(thread.IsRunning());
  close(fds[0]);
  close(fds[1]);
}

TEST(ZtThreadPoolTest, RunsEveryJobIncludingThoseQueuedAtShutdown) {
  std::atomic<int> done{0};
  std::set<std::thread::id> workers;
  std::mutex workersMutex;
  {
    ZtThreadPool pool(4);
    EXPECT_EQ(pool.ThreadCount(), 4);
    for (int i = 0; i < 500; ++i) {
      ASSERT_TRUE(pool.Submit([&] {
        {
          std::lock_guard<std::mutex> lock(workersMutex);
          workers.insert(std::this_thread::get_id());
        }
        if (done.load() < 8) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++done;
      }));
    }
    pool.Shutdown();
    EXPECT_EQ(done.load(), 500);
    EXPECT_FALSE(pool.Submit([&] { ++done; }));
    pool.Shutdown();  // twice, then the destructor: all harmless
  }
  EXPECT_EQ(done.load(), 500);
  EXPECT_GT(workers.size(), 1u);

  // Destroyed without Shutdown, with jobs still queued.
  std::atomic<int> late{0};
  {
    ZtThreadPool pool(0);  // at least one thread
    for (int i = 0; i < 50; ++i) pool.Submit([&] { ++late; });
  }
  EXPECT_EQ(late.load(), 50);
}

}  // namespace
