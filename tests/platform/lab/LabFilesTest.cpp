// The sharing rules every lab record relies on, tried with hostile files and with several processes.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/config/ZTPlatformInfo.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/os/CPxDirectory.h"
#include "support/FedFifo.h"
#include "support/TestLab.h"

namespace {

// Runs `work` in `count` child processes at once; true when every child ended with exit code 0.
bool InChildren(int count, const std::function<bool(int)>& work) {
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    pid_t pid = fork();
    if (pid == 0) _exit(work(i) ? 0 : 1);
    if (pid < 0) return false;
    children.push_back(pid);
  }
  bool ok = true;
  for (pid_t pid : children) {
    int status = 0;
    ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
  }
  return ok;
}

using testsupport::WithFedFifo;

TEST(LabFiles, ReadsAreBoundedAtTheLimit) {
  testsupport::TestLab lab;
  const std::string path = lab.Path("record");
  ASSERT_TRUE(lab::WriteFileAtomic(path, std::string(100, 'x')));
  std::string content = "unchanged";
  std::string error;
  EXPECT_TRUE(lab::ReadRegularFile(path, 100, content, error));
  EXPECT_EQ(100u, content.size());
  content = "unchanged";
  EXPECT_FALSE(lab::ReadRegularFile(path, 99, content, error));
  EXPECT_EQ("unchanged", content);
  EXPECT_NE(std::string::npos, error.find("too large"));

  // The records' own limit, at it and one past it.
  ASSERT_TRUE(lab::WriteFileAtomic(path, std::string(lab::kMaxRecordBytes, '#')));
  EXPECT_TRUE(lab::ReadFile(path, content));
  ASSERT_TRUE(lab::WriteFileAtomic(path, std::string(lab::kMaxRecordBytes + 1, '#')));
  EXPECT_FALSE(lab::ReadFile(path, content));
  EXPECT_TRUE(lab::ReadLines(path).empty());
}

// A FIFO or a device where a lab file belongs is refused at once: it neither hangs the reader nor
// fills its memory.
TEST(LabFiles, FifosAndDevicesAreNotRead) {
  testsupport::TestLab lab("proxyA");
  ASSERT_TRUE(lab.Create());
  std::string error;
  std::string content;
  ASSERT_EQ(0, symlink("/dev/zero", lab.Path("zero").c_str()));
  EXPECT_FALSE(lab::ReadRegularFile(lab.Path("zero"), 1 << 20, content, error));
  EXPECT_NE(std::string::npos, error.find("not a regular file"));

  // The settings of a client: read and written.
  const std::string settings = lab::SettingsPath("proxyA", "VirtualServer");
  ASSERT_EQ(0, unlink(settings.c_str()));
  ASSERT_EQ(0, mkfifo(settings.c_str(), 0600));
  ZTPlatformInfo info;
  std::string value;
  EXPECT_EQ(0, WithFedFifo(settings, "nStreamLimit=7\n", [&]() { return info.getString("VirtualServer", "nStreamLimit", &value); }));
  EXPECT_FALSE(WithFedFifo(settings, "nStreamLimit=7\n", [&]() { return info.setNumber("VirtualServer", "nNew", 1); }));
  struct stat st;
  ASSERT_EQ(0, lstat(settings.c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the refused write left the file alone";

  // The job record and the job's event file.
  ASSERT_EQ(0, unlink(lab::JobRecordPath(1001).c_str()));
  ASSERT_EQ(0, mkfifo(lab::JobRecordPath(1001).c_str(), 0600));
  vsJobMgr jm;
  jm.setJobId("1001");
  EXPECT_EQ(vsJobMgr::kInitBadJobConf, WithFedFifo(lab::JobRecordPath(1001), "token=t\n", [&]() { return jm.initBackup(); }));
}

// A settings file that exists but cannot be read is never replaced by a file holding only the new
// key; the refusal is logged.
TEST(LabFiles, UnreadableSettingsAreNotOverwritten) {
  testsupport::TestLab lab("proxyA");
  ASSERT_TRUE(lab.OpenLog());
  ASSERT_TRUE(lab.ReplaceSettings("Base", "# administrator's\nnKeep=1\n" + std::string(lab::kMaxRecordBytes, '#')));
  ZTPlatformInfo info;
  EXPECT_FALSE(info.setNumber("Base", "nQuarnLogMaxVersions", 5));
  std::string content;
  std::string error;
  ASSERT_TRUE(lab::ReadRegularFile(lab::SettingsPath("proxyA", "Base"), 2 * lab::kMaxRecordBytes, content, error));
  EXPECT_EQ(0u, content.find("# administrator's\nnKeep=1\n"));
  EXPECT_EQ(std::string::npos, content.find("nQuarnLogMaxVersions"));
  EXPECT_NE(std::string::npos, lab.Log().find("Setting [nQuarnLogMaxVersions] of section [Base] was not written"));
}

// The temporary name of a replaced file cannot be predicted, and a link planted at any name the
// writer might use is never followed.
TEST(LabFiles, AtomicWritesFollowNoPlantedLink) {
  testsupport::TestLab lab;
  const std::string victim = lab.Path("victim");
  const std::string path = lab.Path("record");
  ASSERT_TRUE(lab::WriteFileAtomic(victim, "precious"));
  // The names an earlier scheme would have used, "<path>.tmp.<pid>.<n>" with n counting this process's
  // writes so far.
  for (int n = 0; n < 20000; ++n) {
    std::string planted = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(n);
    ASSERT_EQ(0, symlink(victim.c_str(), planted.c_str()));
  }
  ASSERT_TRUE(lab::WriteFileAtomic(path, "new record"));
  std::string content;
  ASSERT_TRUE(lab::ReadFile(victim, content));
  EXPECT_EQ("precious", content);
  struct stat st;
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0640u, st.st_mode & 0777);
  ASSERT_TRUE(lab::ReadFile(path, content));
  EXPECT_EQ("new record", content);

  // An append does not follow a link planted at the file's name either.
  const std::string appended = lab.Path("events");
  ASSERT_EQ(0, symlink(victim.c_str(), appended.c_str()));
  EXPECT_FALSE(lab::AppendLineLocked(appended, "line"));
  ASSERT_TRUE(lab::ReadFile(victim, content));
  EXPECT_EQ("precious", content);
}

TEST(LabFiles, LongestNamesAreWrittenAndFailedWritesLeaveTheOldFile) {
  testsupport::TestLab lab;
  // The longest name a file can have still gets its temporary file and its lock.
  std::string error;
  const std::string longest = lab.Path(std::string(lab::kMaxComponentBytes, 'n'));
  EXPECT_TRUE(lab::ReplaceFileLocked(longest, "x", error)) << error;
  ASSERT_TRUE(lab::WriteFileAtomic(lab.Path("record"), "old"));
  EXPECT_FALSE(lab::WriteFileAtomic(lab.Path("missing/record"), "new", error));
  EXPECT_FALSE(error.empty());
  // A change that refuses leaves the record as it was.
  EXPECT_FALSE(lab::UpdateFileLocked(
      lab.Path("record"),
      [](std::string& text, bool, std::string& why) {
        text = "half";
        why = "refused";
        return false;
      },
      error));
  EXPECT_EQ("refused", error);
  std::string content;
  ASSERT_TRUE(lab::ReadFile(lab.Path("record"), content));
  EXPECT_EQ("old", content);
}

// Whether synced or not, a replaced record reads whole, old or new, while it is replaced, even the
// first time; no temporary file stays behind.
TEST(LabFiles, ReplacementsReadWholeWhileTheyHappenAndLeaveNoTemporaryFile) {
  for (lab::Durability durability : {lab::Durability::kDurable, lab::Durability::kVolatile}) {
    testsupport::TestLab lab;
    const std::string folder = lab.Path("records");
    ASSERT_TRUE(lab::MakeDirs(folder));
    const std::string path = folder + "/status.xml";
    const std::string texts[2] = {std::string(3000, 'a'), std::string(5000, 'b')};
    std::string error;
    ASSERT_TRUE(lab::WriteFileAtomic(path, texts[0], error, durability)) << error;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&]() {
      while (!done.load()) {
        std::string content;
        if (!lab::ReadFile(path, content) || (content != texts[0] && content != texts[1])) ++torn;
      }
    });
    for (int i = 1; i <= 200; ++i) ASSERT_TRUE(lab::WriteFileAtomic(path, texts[i % 2], error, durability)) << error;
    done = true;
    reader.join();
    EXPECT_EQ(0, torn.load());
    std::vector<std::string> names;
    ASSERT_TRUE(CPxDirectory::List(folder, names).IsSuccess());
    EXPECT_EQ(std::vector<std::string>{"status.xml"}, names);
  }
}

// Several processes appending to one file and changing one record at the same time lose nothing.
TEST(LabFiles, ProcessesShareAppendsAndChangesWithoutLoss) {
  testsupport::TestLab lab;
  constexpr int kProcesses = 4;
  constexpr int kAppends = 100;
  constexpr int kChanges = 25;
  const std::string log = lab.Path("log");
  const std::string counter = lab.Path("counter");
  ASSERT_TRUE(InChildren(kProcesses, [&](int child) {
    bool ok = true;
    for (int i = 0; i < kAppends; ++i)
      ok = lab::AppendLineLocked(log, std::to_string(child) + ":" + std::string(300, 'a' + child)) && ok;
    for (int i = 0; i < kChanges; ++i) {
      std::string error;
      ok = lab::UpdateFileLocked(
               counter,
               [](std::string& text, bool, std::string&) {
                 int64_t value = 0;
                 labkv::ParseInt64(text, value);
                 text = std::to_string(value + 1);
                 return true;
               },
               error) &&
           ok;
    }
    return ok;
  }));
  std::vector<std::string> lines = lab::ReadLines(log);
  ASSERT_EQ(static_cast<size_t>(kProcesses * kAppends), lines.size());
  for (const std::string& line : lines) {
    int child = line[0] - '0';
    EXPECT_EQ(std::to_string(child) + ":" + std::string(300, 'a' + child), line);
  }
  std::string content;
  ASSERT_TRUE(lab::ReadFile(counter, content));
  EXPECT_EQ(std::to_string(kProcesses * kChanges), content);
}

// A record whose lines each count: a write cut short leaves a line no reader counts, and the next
// append cuts it off instead of running on from it, however long it is against the reader's
// backward scan (4096 bytes at a time).
TEST(LabFiles, ALineCutShortIsNeverReadNorRunIntoTheNext) {
  testsupport::TestLab lab;
  struct Step {
    std::string line;
    size_t cutAfter;  // std::string::npos: the write is whole
  };
  constexpr size_t kWhole = std::string::npos;
  const std::string chunk(4096, 'c');
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> whole;  // what ReadWholeLines gives after the steps
  } cases[] = {
      {"cut short in an empty record", {{"proxyA", 3}}, {}},
      {"then a whole line", {{"proxyA", 3}, {"proxyB", kWhole}}, {"proxyB"}},
      {"between whole lines", {{"proxyA", kWhole}, {"proxyB", 3}, {"proxyA", kWhole}}, {"proxyA", "proxyA"}},
      {"twice in a row", {{"a", kWhole}, {"proxyB", 4}, {"proxyA", 2}, {"b", kWhole}}, {"a", "b"}},
      {"nothing written of it", {{"a", kWhole}, {"proxyB", 0}, {"b", kWhole}}, {"a", "b"}},
      {"last, after whole lines", {{"a", kWhole}, {"b", kWhole}, {"proxyB", 5}}, {"a", "b"}},
      {"one byte short of the scan", {{"a", kWhole}, {chunk + "x", 4095}, {"b", kWhole}}, {"a", "b"}},
      {"as long as the scan", {{"a", kWhole}, {chunk + "x", 4096}, {"b", kWhole}}, {"a", "b"}},
      {"one byte past the scan", {{"a", kWhole}, {chunk + "x", 4097}, {"b", kWhole}}, {"a", "b"}},
      {"alone, past the scan", {{chunk + "x", 4097}, {"b", kWhole}}, {"b"}},
      {"after a line as long as the scan", {{chunk.substr(1), kWhole}, {"proxyB", 3}, {"b", kWhole}},
       {chunk.substr(1), "b"}},
  };
  int index = 0;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string path = lab.Path("record" + std::to_string(++index));
    for (const Step& step : test.steps) {
      if (step.cutAfter == kWhole)
        ASSERT_TRUE(lab::AppendWholeLineLocked(path, step.line, lab::Durability::kVolatile));
      else
        ASSERT_TRUE(lab::AppendTornLineLocked(path, step.line, step.cutAfter));
    }
    EXPECT_EQ(test.whole, lab::ReadWholeLines(path));
    // The torn line is on disk as it was left (a reader of every line sees it last, as a part).
    const Step& last = test.steps.back();
    std::vector<std::string> every = test.whole;
    if (last.cutAfter != kWhole && last.cutAfter > 0) every.push_back(last.line.substr(0, last.cutAfter));
    EXPECT_EQ(every, lab::ReadLines(path));
  }
}

// Threads appending whole lines and lines cut short to one record at once: it holds exactly the whole
// lines, each intact.
TEST(LabFiles, ThreadsCuttingLinesShortLoseNoWholeLineAndMergeNone) {
  testsupport::TestLab lab;
  constexpr int kThreads = 4;
  constexpr int kAppends = 50;
  const std::string path = lab.Path("record");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kAppends; ++i) {
        const std::string line = "t" + std::to_string(t) + "-" + std::to_string(1000 + i) + std::string(40, 'a' + t);
        if (!lab::AppendTornLineLocked(path, line, static_cast<size_t>(i) % line.size())) ++failures;
        if (!lab::AppendWholeLineLocked(path, line, lab::Durability::kVolatile)) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  std::multiset<std::string> expected, read;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kAppends; ++i)
      expected.insert("t" + std::to_string(t) + "-" + std::to_string(1000 + i) + std::string(40, 'a' + t));
  for (const std::string& line : lab::ReadWholeLines(path)) read.insert(line);
  EXPECT_EQ(expected, read);
}

}  // namespace
