#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "support/TestLab.h"
#include "platform/ev/EvEvent.h"

namespace {


class EvEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(EvEvent::initialize(2, EvDebug::getLogId("quarn"), 0, nullptr, std::string()));
    ASSERT_TRUE(lab::MakeDirs(lab::JobDir(kJobId)));
    EvEvent::setJobId(kJobId);
  }

  std::string LogText() {
    std::string content;
    lab::ReadFile(EvDebug::getLogPath(), content);
    return content;
  }

  static constexpr int64_t kJobId = 4321;
  testsupport::TestLab lab_{"proxyA"};
};

TEST_F(EvEventTest, EventLineCarriesSeverityIdAndTypedArguments) {
  EvEvent event;
  event << 7 << -3 << static_cast<long long>(-5000000000LL) << static_cast<unsigned long>(ULONG_MAX)
        << std::string("vm|one") << "back\\slash\nnext" << static_cast<const char*>(nullptr);
  event.MinorEvent(0x5B000012);
  event.InfoEvent(0x5b0000a1);
  event << std::string("x");
  event.MajorEvent(0x5B000003);
  event.CriticalEvent(0x5B000004);

  std::vector<std::string> lines = EvEvent::ReadJobEvents(kJobId);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("MINOR 0x5B000012 7|-3|-5000000000|18446744073709551615|vm\\|one|back\\\\slash\\nnext|", lines[0]);
  // Arguments belong to one event only.
  EXPECT_EQ("INFO 0x5B0000A1", lines[1]);
  EXPECT_EQ("MAJOR 0x5B000003 x", lines[2]);
  EXPECT_EQ("CRITICAL 0x5B000004", lines[3]);
  EXPECT_EQ(0u, event.PendingArgumentCount());

  std::string log = LogText();
  EXPECT_NE(std::string::npos, log.find(" 4321 "));
  EXPECT_NE(std::string::npos, log.find("Job event [MAJOR 0x5B000003 x]"));
}

TEST_F(EvEventTest, RaiseEventUsesTheContainerAndLeavesPendingArgumentsAlone) {
  EvEvent event;
  event << std::string("pending");
  EvMessageContainer container;
  container.SetMessageID(0x5B000087);
  container << std::string("vm1") << 11;
  event.RaiseEvent(container, EvEvent::kCritical);
  event.RaiseEvent(container, 9);
  EXPECT_EQ(1u, event.PendingArgumentCount());
  event.MinorEvent(0x5B000001);

  std::vector<std::string> lines = EvEvent::ReadJobEvents(kJobId);
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("CRITICAL 0x5B000087 vm1|11", lines[0]);
  EXPECT_EQ("SEVERITY9 0x5B000087 vm1|11", lines[1]);
  EXPECT_EQ("MINOR 0x5B000001 pending", lines[2]);
}

TEST_F(EvEventTest, WithoutJobOrJobFolderTheEventIsOnlyLogged) {
  EvEvent event;
  EvEvent::setJobId(0);
  event << std::string("a");
  event.MajorEvent(0x5B000010);
  EXPECT_EQ(0u, event.PendingArgumentCount());
  EXPECT_TRUE(EvEvent::ReadJobEvents(0).empty());
  EXPECT_NE(std::string::npos, LogText().find("Job event [MAJOR 0x5B000010 a]"));

  // A job whose folder does not exist: the failure is logged, no folder is made up.
  EvEvent::setJobId(999);
  event.MajorEvent(0x5B000011);
  EXPECT_FALSE(testsupport::Exists(lab::JobDir(999)));
  EXPECT_NE(std::string::npos, LogText().find("ERROR"));
  EXPECT_NE(std::string::npos, LogText().find("Failed to record job event [MAJOR 0x5B000011]"));
}

TEST_F(EvEventTest, ObjectsKeepTheirOwnArgumentsAcrossThreads) {
  const int kThreads = 6;
  const int kEvents = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t]() {
      EvEvent event;
      for (int i = 0; i < kEvents; ++i) {
        event << t << i;
        event.InfoEvent(0x5B000100u + static_cast<uint32_t>(t));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<std::string> lines = EvEvent::ReadJobEvents(kJobId);
  ASSERT_EQ(static_cast<size_t>(kThreads * kEvents), lines.size());
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    unsigned id = 0;
    int t = -1;
    int i = -1;
    char tail = 0;
    ASSERT_EQ(3, std::sscanf(line.c_str(), "INFO 0x%8X %d|%d%c", &id, &t, &i, &tail)) << line;
    ASSERT_EQ(0x5B000100u + static_cast<unsigned>(t), id) << line;
    EXPECT_EQ(next[t]++, i);
  }
}

}  // namespace
