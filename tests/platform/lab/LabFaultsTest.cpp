// The fault table: rules counted across processes and threads, selectors, limits, and every stand-in
// operation that asks it.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "platform/appmgr/vsAppMgr.h"
#include "platform/config/ZTPlatformInfo.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabJob.h"
#include "platform/msg/CNMessageBase.h"
#include "platform/msg/vsXMLFile.h"
#include "platform/vminfo/LabVMInfo.h"
#include "platform/vminfo/VMInfoStartup.h"
#include "support/TestLab.h"

namespace {

// A child process that asks the table about `op` once for each request and answers whether the call
// failed.
class CheckingProcess {
 public:
  explicit CheckingProcess(const std::string& op) {
    if (pipe(requests_) != 0 || pipe(answers_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(requests_[1]);
      close(answers_[0]);
      char request = 0;
      while (read(requests_[0], &request, 1) == 1) {
        lab::Fault fault;
        char answer = lab::CheckFault(op, fault) ? 'F' : '.';
        if (write(answers_[1], &answer, 1) != 1) break;
      }
      _exit(0);
    }
    close(requests_[0]);
    close(answers_[1]);
  }
  ~CheckingProcess() {
    close(requests_[1]);
    close(answers_[0]);
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
  }
  CheckingProcess(const CheckingProcess&) = delete;
  CheckingProcess& operator=(const CheckingProcess&) = delete;

  // 'F' when the call failed, '.' when it passed, '?' when the process did not answer.
  char Call() {
    char request = 'c';
    char answer = '?';
    if (pid_ <= 0 || write(requests_[1], &request, 1) != 1 || read(answers_[0], &answer, 1) != 1) return '?';
    return answer;
  }

 private:
  int requests_[2] = {-1, -1};
  int answers_[2] = {-1, -1};
  pid_t pid_ = -1;
};

TEST(LabFaults, ARuleIsCountedAcrossProcesses) {
  testsupport::TestLab lab;
  ASSERT_TRUE(lab.Fault("jobmgr.initBackup", 7, "refused", /*after=*/2, /*times=*/2));
  CheckingProcess first("jobmgr.initBackup");
  CheckingProcess second("jobmgr.initBackup");
  std::string calls;
  for (int i = 0; i < 3; ++i) {
    calls += first.Call();
    calls += second.Call();
  }
  // Fires on the third call overall, twice, then stops.
  EXPECT_EQ("..FF..", calls);
  lab::FaultTable table;
  std::string error;
  ASSERT_TRUE(lab::ReadFaultTable(table, error));
  ASSERT_EQ(1u, table.rules.size());
  EXPECT_EQ(6, table.rules[0].calls);
  EXPECT_EQ(2, table.rules[0].fired);
}

TEST(LabFaults, ThreadsFireARuleExactlyItsTimes) {
  testsupport::TestLab lab;
  ASSERT_TRUE(lab.Fault("vminfo.LoadVMInfo", 3, std::string(), /*after=*/5, /*times=*/17));
  constexpr int kThreads = 8;
  constexpr int kCalls = 10;
  std::atomic<int> fired{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&fired]() {
      for (int i = 0; i < kCalls; ++i) {
        lab::Fault fault;
        if (lab::CheckFault("vminfo.LoadVMInfo", fault)) ++fired;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(17, fired.load());
  lab::FaultTable table;
  std::string error;
  ASSERT_TRUE(lab::ReadFaultTable(table, error));
  EXPECT_EQ(kThreads * kCalls, table.rules[0].calls);
}

// Calls no rule names leave a table as a person wrote it, comments and all; the first call a rule
// names counts, and only then is the table written in the model's own form.
TEST(LabFaults, OnlyACallARuleNamesWritesTheTable) {
  testsupport::TestLab lab("proxyA");
  const std::string written = "# refuse the second load of vm01\nop=vminfo.LoadVMInfo vm=vm01 after=1 code=5\n";
  ASSERT_TRUE(lab::WriteFileAtomic(lab::FaultTablePath(), written));
  lab::Fault fault;
  EXPECT_FALSE(lab::CheckFault("vminfo.GetHostInfo", fault));
  EXPECT_FALSE(lab::CheckFault(lab::FaultCall{"vminfo.LoadVMInfo", "", "vm02", "", ""}, fault));
  std::string text;
  ASSERT_TRUE(lab::ReadFile(lab::FaultTablePath(), text));
  EXPECT_EQ(written, text);
  // The first load of vm01 passes and is counted, the second fails.
  EXPECT_FALSE(lab::CheckFault(lab::FaultCall{"vminfo.LoadVMInfo", "", "VM01", "", ""}, fault));
  EXPECT_TRUE(lab::CheckFault(lab::FaultCall{"vminfo.LoadVMInfo", "", "vm01", "", ""}, fault));
  EXPECT_EQ(5, fault.code);
  ASSERT_TRUE(lab::ReadFile(lab::FaultTablePath(), text));
  EXPECT_EQ("op=vminfo.LoadVMInfo vm=vm01 after=1 times=1 code=5 calls=2 fired=1\n", text);
}

TEST(LabFaults, SelectorsNarrowARuleAndTheFirstDueRuleFires) {
  testsupport::TestLab lab("proxyA");
  auto rule = [](const char* client, const char* vm, const char* disk, int64_t times, int code) {
    lab::FaultRule made;
    made.op = "op";
    made.client = client;
    made.vm = vm;
    made.disk = disk;
    made.times = times;
    made.code = code;
    return made;
  };
  ASSERT_TRUE(lab.Fault(rule("proxyB", "", "", lab::kFaultAlways, 1)));
  ASSERT_TRUE(lab.Fault(rule("", "VM01", "disk1", lab::kFaultAlways, 2)));
  ASSERT_TRUE(lab.Fault(rule("", "", "", 1, 3)));
  struct Case {
    std::string client, vm, disk;
    int code;  // 0: passes
  } cases[] = {
      {"proxyB", "", "", 1},            // the client's rule comes first
      {"", "vm01", "disk1", 2},         // the focus client is proxyA; VM names match in any case
      {"", "vm01", "disk2", 3},         // another disk: only the plain rule is left, once
      {"", "vm01", "disk2", 0},
      {"proxyB", "vm01", "disk1", 1},
  };
  for (const Case& c : cases) {
    lab::Fault fault;
    EXPECT_EQ(c.code != 0, lab::CheckFault(lab::FaultCall{"op", c.client, c.vm, c.disk, ""}, fault)) << c.vm << c.disk;
    if (c.code != 0) {
      EXPECT_EQ(c.code, fault.code);
    }
  }
}

// A held call waits while its rule stands and goes on unharmed once the table is cleared; other
// calls pass meanwhile.
TEST(LabFaults, AHoldingRuleHoldsItsCallUntilTheTableIsCleared) {
  testsupport::TestLab lab("proxyA");
  lab::FaultRule hold;
  hold.op = "disk.Read";
  hold.vm = "vm02";
  hold.hold = true;
  ASSERT_TRUE(lab.Fault(hold));
  std::atomic<int> state{0};  // 1 while held, 2 once through
  bool faulted = true;
  std::thread reader([&] {
    lab::Fault fault;
    state = 1;
    faulted = lab::CheckFault(lab::FaultCall{"disk.Read", "", "vm02", "", ""}, fault);
    state = 2;
  });
  lab::FaultTable table;
  std::string error;
  while (table.rules.empty() || table.rules[0].calls == 0) ASSERT_TRUE(lab::ReadFaultTable(table, error));
  lab::Fault fault;
  EXPECT_FALSE(lab::CheckFault(lab::FaultCall{"disk.Read", "", "vm01", "", ""}, fault));
  EXPECT_EQ(1, state.load()) << "held while the rule stands";
  ASSERT_TRUE(lab::ClearFaultTable(error));
  reader.join();
  EXPECT_EQ(2, state.load());
  EXPECT_FALSE(faulted) << "a released call goes on unharmed";
}

TEST(LabFaults, RuleLinesAtTheirLimits) {
  const std::string max = std::to_string(lab::kMaxFaultCount);
  const std::string past = std::to_string(lab::kMaxFaultCount + 1);
  struct Case {
    std::string line;
    bool valid;
  } cases[] = {
      {"op=a code=1", true},
      {"op=a after=0 times=1 code=-1 calls=0 fired=0", true},
      {"op=a after=" + max + " times=" + max + " code=2147483647", true},
      {"op=a after=" + past + " code=1", false},
      {"op=a times=" + past + " code=1", false},
      {"op=a times=0 code=1", false},
      {"op=a times=always code=1", true},
      {"op=a code=0", false},
      {"op=a code=2147483648", false},
      {"op=a code=1 event=0xFFFFFFFF", true},
      {"op=a code=1 event=0x100000000", false},
      {"op=a code=1 calls=1 fired=2", false},
      {"op=a code=1 vm=x vm=y", false},
      {"op=a code=1 colour=blue", false},
      {"code=1", false},
      {"op=a code=1 text=two words = fine", true},
      {"op=a hold=yes", true},
      {"op=a hold=yes code=1", false},
      {"op=a hold=no", false},
  };
  for (const Case& c : cases) {
    lab::FaultRule rule;
    std::string error;
    EXPECT_EQ(c.valid, lab::ParseFaultRule(c.line, rule, error)) << c.line << ": " << error;
  }
}

// Every stand-in operation that can fail asks the table by its name, fails when a rule says so, and
// leaves nothing behind that a successful call would have written.
TEST(LabFaults, EveryStandInOperationAsksTheTable) {
  testsupport::TestLab lab("proxyA");
  ASSERT_TRUE(lab.Create());
  vsJobMgr jm;
  jm.setJobId("1001");
  ASSERT_EQ(vsJobMgr::kInitOk, jm.initBackup());
  vsAppMgr am;
  am.setAppIdStr("1");
  ASSERT_EQ(vsAppMgr::kRetOk, am.querySettings());
  LabVMInfo vmInfo(101);
  std::string text;
  uint64_t id = 0;
  VMInfoStructs::SHostInfo host;
  VMInfoStructs::SVMInfo vm;
  std::unique_ptr<CNMessageBase> status = CNMessageBase::Create(0x15A0B32E);
  vsXMLFile kept(lab.Path("kept.xml"));
  ASSERT_TRUE(kept.Save(*status));
  struct Case {
    const char* op;
    std::function<bool()> call;  // true when the operation succeeded
    std::function<bool()> leftNothing;
  } cases[] = {
      {"jobmgr.initBackup", [&]() { return jm.initBackup() == vsJobMgr::kInitOk; },
       [&]() { return lab::ReadSessions(1001).size() == 1; }},
      {"jobmgr.setPendingCause", [&]() { return jm.setPendingCause(0x5B000001); },
       [&]() { return lab::ReadPendingCauses(1001).empty(); }},
      {"jobmgr.setPhaseResult", [&]() { return jm.phaseSuccessful(false); },
       [&]() { return lab::ReadPhaseLines(1001).empty(); }},
      {"jobmgr.StopAndAutoResume", [&]() { return jm.StopAndAutoResume(30, "later"); },
       [&]() { return lab::ReadPhaseLines(1001) == std::vector<std::string>{"StopAndAutoResumeRefused 30 later"}; }},
      {"jobmgr.setVMStatus", [&]() { return jm.setVMStatus("g1", *status); },
       [&]() { return lab::VMStatusGuids(1001).empty(); }},
      {"jobmgr.updateVMBkpJobStatus", [&]() { return jm.updateVMBkpJobStatus(7, true); },
       [&]() { return lab::ReadVMStatusUpdates(1001).empty(); }},
      {"appmgr.querySettings", [&]() { return am.querySettings() == vsAppMgr::kRetOk; }, [] { return true; }},
      {"appmgr.querySnapFailoverESXHostsProperties",
       [&]() { return am.querySnapFailoverESXHostsProperties(false) == vsAppMgr::kRetOk; }, [] { return true; }},
      {"appmgr.queryVMArchivingSettings", [&]() { return am.queryVMArchivingSettings() == vsAppMgr::kRetOk; },
       [] { return true; }},
      {"appmgr.queryReplicationSettingsForFailback",
       [&]() { return am.queryReplicationSettingsForFailback(0, 1, text, id); },
       [&]() { return text == "untouched"; }},
      {"appmgr.queryMemberServersForInstance", [&]() { return !vsAppMgr::isRetCodeError(am.queryMemberServersForInstance(1)); },
       [&]() { return am.getMemberServers().size() == 3; }},
      {"vminfo.StartupVMInfo", [&]() { return StartupVMInfo(); }, [] { return VMInfoStartupCount() == 0; }},
      {"vminfo.GetHostInfo", [&]() { return vmInfo.GetHostInfo("esx1", host, 0, 0) != 0; },
       [&]() { return host.name.empty(); }},
      {"vminfo.LoadVMInfo", [&]() { return vmInfo.LoadVMInfo("vm01", vm) != 0; }, [&]() { return vm.guid.empty(); }},
      {"msg.SaveFile", [&]() { return vsXMLFile(lab.Path("new.xml")).Save(*status); },
       [&]() { return !testsupport::Exists(lab.Path("new.xml")); }},
      {"msg.LoadFile", [&]() { return kept.Load(*status); },
       [&]() { return kept.LastError() == "cannot read " + kept.Path() + ": injected"; }},
      {"config.setString", [&]() { return ZTPlatformInfo().setString("VirtualServer", "sNew", "x"); },
       [&]() { std::string v; return !lab::ReadSetting("proxyA", "VirtualServer", "sNew", v); }},
  };
  while (VMInfoStartupCount() > 0) ShutdownVMInfo();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    text = "untouched";
    ASSERT_TRUE(lab.Fault(c.op, 42, "injected"));
    EXPECT_FALSE(c.call());
    EXPECT_TRUE(c.leftNothing());
    lab::FaultTable table;
    std::string error;
    ASSERT_TRUE(lab::ReadFaultTable(table, error));
    EXPECT_EQ(1, table.rules.back().fired) << "the operation asked under its own name";
    ASSERT_TRUE(lab::ClearFaultTable(error));
  }
  EXPECT_EQ(42, vmInfo.GetErrorCode());
  EXPECT_EQ("injected", am.getLastError());
}

}  // namespace
