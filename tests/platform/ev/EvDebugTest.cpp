#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "support/TestLab.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/ev/EvDebug.h"

namespace {

using testsupport::Exists;
using lab::ReadLines;

struct ParsedLine {
  long pid = 0;
  unsigned long tid = 0;
  std::string date;
  std::string time;
  std::string job;
  std::string rest;  // "[ERROR ]<sig>: <text>" or the plain text
};

bool Parse(const std::string& line, ParsedLine& parsed) {
  std::istringstream stream(line);
  std::string tidText;
  if (!(stream >> parsed.pid >> tidText >> parsed.date >> parsed.time >> parsed.job)) return false;
  parsed.tid = std::strtoul(tidText.c_str(), nullptr, 16);
  std::getline(stream, parsed.rest);
  if (!parsed.rest.empty() && parsed.rest[0] == ' ') parsed.rest.erase(0, 1);
  return parsed.date.size() == 5 && parsed.date[2] == '/' && parsed.time.size() == 8 && parsed.time[2] == ':';
}

unsigned long ThreadId() { return static_cast<unsigned long>(syscall(SYS_gettid)); }

TEST(EvDebugTest, EveryLineCarriesPidThreadDateJobAndSignature) {
  testsupport::TestLab lab("proxyA");
  ASSERT_TRUE(EvDebug::initializeLog(2, EvDebug::getLogId("quarn")));
  EXPECT_EQ(lab::ClientLogPath("proxyA", "quarn"), EvDebug::getLogPath());

  EvDebug::debug("= %s [%s PHASE] has started %s", "quarn", "BACKUP", "quarn -j 42");
  EvDebug::setJobId(42);
  EvDebug::Debug("bool QuarnCoordinator::Run()", "agents [%d]\n", 3);
  EvDebug::Error("bool QuarnCoordinator::Run()", "failed [%s]", "two\nlines");
  EvDebug::DebugJob(77, "void f()", "for another job");
  unsigned long workerTid = 0;
  std::thread worker([&workerTid]() {
    workerTid = ThreadId();
    EvDebug::Debug("void QuarnWorker::Run()", "from a worker");
  });
  worker.join();

  std::vector<std::string> lines = ReadLines(EvDebug::getLogPath());
  ASSERT_EQ(5u, lines.size());
  std::vector<ParsedLine> parsed(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_TRUE(Parse(lines[i], parsed[i])) << lines[i];
    EXPECT_EQ(static_cast<long>(getpid()), parsed[i].pid) << lines[i];
  }
  EXPECT_EQ(ThreadId(), parsed[0].tid);
  EXPECT_EQ("-", parsed[0].job);
  EXPECT_EQ("= quarn [BACKUP PHASE] has started quarn -j 42", parsed[0].rest);
  EXPECT_EQ("42", parsed[1].job);
  EXPECT_EQ("bool QuarnCoordinator::Run(): agents [3]", parsed[1].rest);
  EXPECT_EQ("ERROR bool QuarnCoordinator::Run(): failed [two lines]", parsed[2].rest);
  EXPECT_EQ("77", parsed[3].job);
  EXPECT_EQ(workerTid, parsed[4].tid);
  EXPECT_NE(parsed[0].tid, parsed[4].tid);
  EXPECT_EQ("void QuarnWorker::Run(): from a worker", parsed[4].rest);
}

TEST(EvDebugTest, LogCannotOpenWithoutLabOrWithAnUnsafeName) {
  testsupport::TestLab lab("proxyA");
  EXPECT_FALSE(EvDebug::initializeLog(2, "../quarn"));
  EXPECT_FALSE(EvDebug::initializeLog(2, ""));
  EXPECT_FALSE(EvDebug::isInitialized());
  EXPECT_EQ("", EvDebug::getLogPath());
  // Lines before initialisation go to stderr and create nothing.
  EvDebug::Debug("void f()", "early line");
  EXPECT_FALSE(Exists(lab::ClientLogDir("proxyA")));
  lab.RemoveLab();
  EXPECT_FALSE(EvDebug::initializeLog(2, "quarn"));
}

TEST(EvDebugTest, LevelComesFromOverrideThenEnvironmentThenSettingsThenOne) {
  testsupport::TestLab lab("proxyA");
  const char* sig = "void QuarnRegistry::loadRegistryEntries()";
  ASSERT_TRUE(EvDebug::initializeLog(2, "quarn"));
  EXPECT_EQ(1, EvDebug::getLevel());
  EvDebug::DebugLvl(1, sig, "level one");
  EvDebug::DebugLvl(2, sig, "hidden two");

  ZTPlatformInfo info;
  ASSERT_TRUE(info.setNumber("Base", "nQuarnDebugLevel", 2));
  EvDebug::refreshAllParams();
  EXPECT_EQ(2, EvDebug::getLevel());
  EvDebug::DebugLvl(2, sig, "shown two");
  EvDebug::DebugLvl(3, sig, "hidden three");

  setenv("QUARN_DEBUG_LEVEL", "3", 1);
  EvDebug::refreshAllParams();
  unsetenv("QUARN_DEBUG_LEVEL");
  EXPECT_EQ(3, EvDebug::getLevel());
  EvDebug::DebugLvl(3, sig, "shown three");

  EvDebug::setLevel(0);
  EvDebug::refreshAllParams();  // the explicit level stays
  EvDebug::DebugLvl(1, sig, "hidden one");

  std::string content;
  ASSERT_TRUE(lab::ReadFile(EvDebug::getLogPath(), content));
  EXPECT_NE(std::string::npos, content.find("level one"));
  EXPECT_NE(std::string::npos, content.find("shown two"));
  EXPECT_NE(std::string::npos, content.find("shown three"));
  EXPECT_EQ(std::string::npos, content.find("hidden"));
}

TEST(EvDebugTest, RotatesPastTheSizeKeepingTheConfiguredVersions) {
  testsupport::TestLab lab("proxyA");
  ASSERT_TRUE(EvDebug::initializeLog(2, "quarn"));
  EvDebug::setDefaultLogFileSize(10);
  EvDebug::setDefaultMaxVersion(2);
  EvDebug::setLogFileBytesForTest(400);
  const int kLines = 60;
  for (int i = 0; i < kLines; ++i) EvDebug::Debug("void f()", "line %03d", i);

  std::string path = EvDebug::getLogPath();
  ASSERT_TRUE(Exists(path));
  ASSERT_TRUE(Exists(path + ".1"));
  ASSERT_TRUE(Exists(path + ".2"));
  EXPECT_FALSE(Exists(path + ".3"));

  // Oldest file first: the kept lines are the newest ones, whole and in order, and no file is past
  // the limit.
  std::vector<int> numbers;
  for (const std::string& file : {path + ".2", path + ".1", path}) {
    std::string content;
    ASSERT_TRUE(lab::ReadFile(file, content));
    EXPECT_LE(content.size(), 400u) << file;
    for (const std::string& line : ReadLines(file)) {
      ParsedLine parsed;
      ASSERT_TRUE(Parse(line, parsed)) << line;
      int number = -1;
      ASSERT_EQ(1, std::sscanf(parsed.rest.c_str(), "void f(): line %d", &number)) << line;
      numbers.push_back(number);
    }
  }
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(kLines - 1, numbers.back());
  for (size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i - 1] + 1, numbers[i]);
  EXPECT_LT(numbers.size(), static_cast<size_t>(kLines));
}

TEST(EvDebugTest, VersionCountIsRecordedOnlyOnceInitialisedAndNeverOverwritten) {
  testsupport::TestLab lab("proxyA");
  ZTPlatformInfo info;
  unsigned long long versions = 0;
  EvDebug::setDefaultMaxVersion(5);  // not initialised: nothing happens
  EXPECT_EQ(0, info.getNumber("Base", "nQuarnLogMaxVersions", &versions));

  ASSERT_TRUE(EvDebug::initializeLog(2, "quarn"));
  EvDebug::setDefaultMaxVersion(5);
  EXPECT_NE(0, info.getNumber("Base", "nQuarnLogMaxVersions", &versions));
  EXPECT_EQ(5u, versions);

  // An administrator's value stays, and is the one the log uses after a refresh.
  ASSERT_TRUE(info.setNumber("Base", "nQuarnLogMaxVersions", 1));
  EvDebug::setDefaultMaxVersion(3);
  EXPECT_NE(0, info.getNumber("Base", "nQuarnLogMaxVersions", &versions));
  EXPECT_EQ(1u, versions);
  EvDebug::refreshAllParams();
  EvDebug::setLogFileBytesForTest(300);
  for (int i = 0; i < 40; ++i) EvDebug::Debug("void f()", "line %03d", i);
  EXPECT_TRUE(Exists(EvDebug::getLogPath() + ".1"));
  EXPECT_FALSE(Exists(EvDebug::getLogPath() + ".2"));
}

TEST(EvDebugTest, ConcurrentWritersNeverInterleaveLines) {
  testsupport::TestLab lab("proxyA");
  ASSERT_TRUE(EvDebug::initializeLog(2, "quarn"));
  const int kThreads = 8;
  const int kLinesPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t]() {
      std::string payload(100 + t * 37, static_cast<char>('a' + t));
      for (int i = 0; i < kLinesPerThread; ++i) EvDebug::Debug("void w()", "%d %d %s", t, i, payload.c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<std::string> lines = ReadLines(EvDebug::getLogPath());
  ASSERT_EQ(static_cast<size_t>(kThreads * kLinesPerThread), lines.size());
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    ParsedLine parsed;
    ASSERT_TRUE(Parse(line, parsed)) << line;
    int t = -1;
    int i = -1;
    char payload[512];
    ASSERT_EQ(3, std::sscanf(parsed.rest.c_str(), "void w(): %d %d %511s", &t, &i, payload)) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(next[t]++, i);
    EXPECT_EQ(std::string(100 + t * 37, static_cast<char>('a' + t)), payload);
  }
}

// The log is for its owner and group: created so, an older one opened to others is closed to them,
// and a link planted at its name is not followed.
TEST(EvDebugTest, TheLogIsNotReadableByOthersAndFollowsNoLink) {
  testsupport::TestLab lab("proxyA");
  const std::string path = lab::ClientLogPath("proxyA", "quarn");
  ASSERT_TRUE(lab::MakeDirs(lab::ClientLogDir("proxyA")));
  ASSERT_TRUE(lab::WriteFileAtomic(path, "older line\n"));
  ASSERT_EQ(0, chmod(path.c_str(), 0644));
  ASSERT_TRUE(EvDebug::initializeLog(2, "quarn"));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);
  EvDebug::shutdownLog();

  ASSERT_EQ(0, unlink(path.c_str()));
  ASSERT_TRUE(lab::WriteFileAtomic(lab.Path("victim"), "precious"));
  ASSERT_EQ(0, symlink(lab.Path("victim").c_str(), path.c_str()));
  EXPECT_FALSE(EvDebug::initializeLog(2, "quarn"));
  EvDebug::Debug("void f()", "where does this go");
  std::string content;
  ASSERT_TRUE(lab::ReadFile(lab.Path("victim"), content));
  EXPECT_EQ("precious", content);
}

}  // namespace
