#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/TestLab.h"
#include "platform/frame/VSApp.h"

namespace {

using namespace std::chrono_literals;

// Counts shutdown calls; the flag it sets stands for the subclass's quit flags.
class CountingApp : public VSApp {
 public:
  ~CountingApp() override { Deinitialize(); }

  void OnServiceShutdown() override {
    callerThread = std::this_thread::get_id();
    calls.fetch_add(1);
    entered.store(true);
    while (holdInShutdown.load()) std::this_thread::sleep_for(1ms);
    if (slowShutdown) std::this_thread::sleep_for(50ms);
    finished.store(true);
  }

  void BeginTeardown() { StopServiceShutdownDelivery(); }

  bool WaitForCalls(int expected) {
    for (int i = 0; i < 2000 && calls.load() < expected; ++i) std::this_thread::sleep_for(1ms);
    return calls.load() >= expected;
  }

  std::atomic<int> calls{0};
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> holdInShutdown{false};
  bool slowShutdown = false;
  std::thread::id callerThread;
};

// Puts SIGTERM and SIGINT to "ignore" around a test, so that a signal arriving when no application
// listens cannot end the test program.
class IgnoredSignals {
 public:
  IgnoredSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGTERM, &ignore, &oldTerm_);
    sigaction(SIGINT, &ignore, &oldInt_);
  }
  ~IgnoredSignals() {
    sigaction(SIGTERM, &oldTerm_, nullptr);
    sigaction(SIGINT, &oldInt_, nullptr);
  }

 private:
  struct sigaction oldTerm_ {};
  struct sigaction oldInt_ {};
};

bool HandlerIsIgnore(int signal) {
  struct sigaction current {};
  sigaction(signal, nullptr, &current);
  return current.sa_handler == SIG_IGN;
}

TEST(VSAppTest, SigtermReachesOnServiceShutdownOnceOnTheWatcherThread) {
  testsupport::TestLab lab("proxyA");
  IgnoredSignals ignored;
  CountingApp app;
  ASSERT_TRUE(app.Initialize());
  EXPECT_TRUE(app.Initialize());  // already initialised
  ASSERT_EQ(0, kill(getpid(), SIGTERM));
  ASSERT_TRUE(app.WaitForCalls(1));
  EXPECT_NE(std::this_thread::get_id(), app.callerThread);

  ASSERT_EQ(0, kill(getpid(), SIGTERM));
  ASSERT_EQ(0, raise(SIGINT));
  EXPECT_FALSE(app.RaiseServiceShutdownForTest());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(1, app.calls.load());

  app.Deinitialize();
  EXPECT_TRUE(HandlerIsIgnore(SIGTERM));
  EXPECT_TRUE(HandlerIsIgnore(SIGINT));
}

TEST(VSAppTest, SigintCountsAsServiceShutdownAndReinitialiseArmsAgain) {
  IgnoredSignals ignored;
  CountingApp app;
  ASSERT_TRUE(app.Initialize());
  ASSERT_EQ(0, raise(SIGINT));
  ASSERT_TRUE(app.WaitForCalls(1));
  app.Deinitialize();

  ASSERT_TRUE(app.Initialize());
  EXPECT_TRUE(app.RaiseServiceShutdownForTest());
  EXPECT_EQ(2, app.calls.load());
}

TEST(VSAppTest, NoShutdownDuringOrAfterTeardown) {
  IgnoredSignals ignored;
  CountingApp app;
  ASSERT_TRUE(app.Initialize());
  // The subclass starts deleting what its hook touches: a signal now must not reach it.
  app.BeginTeardown();
  ASSERT_EQ(0, kill(getpid(), SIGTERM));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(app.RaiseServiceShutdownForTest());
  app.Deinitialize();
  EXPECT_FALSE(app.RaiseServiceShutdownForTest());
  ASSERT_EQ(0, kill(getpid(), SIGTERM));  // the restored handler ignores it
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(0, app.calls.load());

  // Deinitialize alone, without the subclass's early stop, closes the delivery too.
  CountingApp plain;
  ASSERT_TRUE(plain.Initialize());
  plain.Deinitialize();
  EXPECT_FALSE(plain.RaiseServiceShutdownForTest());
  EXPECT_EQ(0, plain.calls.load());

  // Deinitialize twice, and without Initialize, is harmless.
  app.Deinitialize();
  CountingApp never;
  never.Deinitialize();
  never.Deinitialize();
  EXPECT_FALSE(never.RaiseServiceShutdownForTest());
}

TEST(VSAppTest, TeardownWaitsForARunningShutdownHook) {
  IgnoredSignals ignored;
  CountingApp app;
  app.holdInShutdown.store(true);
  app.slowShutdown = true;
  ASSERT_TRUE(app.Initialize());
  ASSERT_EQ(0, kill(getpid(), SIGTERM));
  for (int i = 0; i < 2000 && !app.entered.load(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(app.entered.load());

  std::atomic<bool> torn{false};
  std::thread teardown([&]() {
    app.Deinitialize();
    torn.store(true);
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(torn.load());  // still inside the hook
  app.holdInShutdown.store(false);
  teardown.join();
  EXPECT_TRUE(app.finished.load());
  EXPECT_EQ(1, app.calls.load());
}

TEST(VSAppTest, OnlyOneApplicationOwnsTheSignals) {
  IgnoredSignals ignored;
  CountingApp first;
  CountingApp second;
  ASSERT_TRUE(first.Initialize());
  EXPECT_FALSE(second.Initialize());
  ASSERT_EQ(0, kill(getpid(), SIGTERM));
  ASSERT_TRUE(first.WaitForCalls(1));
  EXPECT_EQ(0, second.calls.load());
  first.Deinitialize();
  EXPECT_FALSE(second.RaiseServiceShutdownForTest());

  ASSERT_TRUE(second.Initialize());
  EXPECT_EQ(0, second.calls.load());
  EXPECT_TRUE(second.RaiseServiceShutdownForTest());
}

TEST(VSAppTest, DestroyingAnInitialisedApplicationStopsItsWatcher) {
  IgnoredSignals ignored;
  {
    CountingApp app;
    ASSERT_TRUE(app.Initialize());
  }
  EXPECT_TRUE(HandlerIsIgnore(SIGTERM));
  CountingApp next;
  EXPECT_TRUE(next.Initialize());
}

}  // namespace
