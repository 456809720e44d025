// "quarn-lab run" as the job manager and its console: the exit status tells how the job ended, one run
// holds the lab, Ctrl-C ends a run interrupted, the next job keeps the lab's VMs and settings, and a
// job runs at every allowed time scale.
#include <signal.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/lab/Lab.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabKeyValue.h"
#include "support/LabWait.h"
#include "support/TestLab.h"

namespace {

class LabToolRun : public testing::Test {
 protected:
  struct Result {
    int exitCode = -1;
    std::string out;  // standard output and error
  };

  pid_t Start(const std::vector<std::string>& args, const std::string& outName) {
    std::vector<std::string> argv = {QUARN_LAB_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::StartProgram(argv, dir.Path(outName));
  }
  Result Tool(const std::vector<std::string>& args) {
    Result result;
    result.exitCode = testsupport::WaitProgram(Start(args, "tool.txt"));
    result.out = Text(dir.Path("tool.txt"));
    return result;
  }
  static std::string Text(const std::string& path) {
    std::string text, error;
    lab::ReadRegularFile(path, 64 << 20, text, error);
    return text;
  }
  testsupport::TestLab dir;
  const std::string labDir = dir.Path("lab");
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(LabToolRun, TheExitStatusTellsHowTheJobEndedAndTheOutputSaysWhy) {
  using Args = std::vector<std::string>;
  const Args readFault = {"disk.Read", "--vm", "vm01", "--code", "5", "--times", "always"};
  struct Case {
    const char* name;
    std::vector<Args> faults;
    Args passed;  // after "--"
    int exitCode;
    const char* words;
    const char* why;  // a line that says why, or nullptr
    bool vm01BackedUp;
  };
  const Case cases[] = {
      {"completed", {}, {}, 0, "job 1001: completed\n", nullptr, true},
      {"completed with errors", {readFault}, {"-lastAttempt"}, 1, "job 1001: completed with errors\n",
       "vm01 [50290000-0000-4000-8000-000000000001] Failed: Could not read data", false},
      {"pending with its cause", {readFault}, {}, 2, "job 1001: pending\n", "  0x5B000071 vm01_0.img|vm01", false},
      {"pending without streams", {}, {"-numStreams", "0"}, 2, "job 1001: pending\n",
       "why: the job process logged no pending cause; no streams were reserved for the job", false},
      {"no outcome", {{"jobmgr.initBackup", "--code", "1"}}, {}, 2,
       "job 1001: pending: the job process ended (status=0) without an outcome\n", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TestLab caseDir;
    const std::string caseLab = caseDir.Path("lab");
    lab::SetRoot(std::string());
    ASSERT_EQ(0, Tool({"create", caseLab, "--vms", "2", "--time-scale", "60"}).exitCode);
    for (Args fault : c.faults) {
      fault.insert(fault.begin(), {"fault", caseLab, "add"});
      ASSERT_EQ(0, Tool(fault).exitCode);
    }
    Args run = {"run", caseLab};
    if (!c.passed.empty()) run.push_back("--");
    run.insert(run.end(), c.passed.begin(), c.passed.end());
    const Result result = Tool(run);
    EXPECT_EQ(c.exitCode, result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, c.words)) << result.out;
    if (c.why != nullptr) {
      EXPECT_TRUE(Has(result.out, c.why)) << result.out;
    }
    // Every VM reported backed up restores; vm02 is never failed.
    const bool vm02BackedUp = c.exitCode < 2 || Has(c.name, "cause");
    EXPECT_EQ(c.vm01BackedUp, Has(result.out, "vm01 [50290000-0000-4000-8000-000000000001] Backed up")) << result.out;
    for (const auto& vm : {std::make_pair("vm01", c.vm01BackedUp), std::make_pair("vm02", vm02BackedUp)}) {
      if (vm.second) {
        EXPECT_EQ(0, Tool({"verify", caseLab, "--vm", vm.first}).exitCode) << vm.first;
      }
    }
    // Progress as the records changed, and the summary of the job's records.
    if (c.exitCode < 2) {
      EXPECT_TRUE(Has(result.out, "  vm02         100%  Backed up\n")) << result.out;
      EXPECT_TRUE(Has(result.out, "summary of job 1001: full backup, ")) << result.out;
      EXPECT_TRUE(Has(result.out, c.exitCode == 0 ? "  VMs: 2 Backed up (of 2)\n" : "  VMs: 1 Backed up, 1 Failed (of 2)\n"))
          << result.out;
      EXPECT_TRUE(Has(result.out, "archive files\n  throughput ")) << result.out;
    }
  }
}

// A run holds the lab: a second run of the job, or of another job of the lab, is refused with the
// holder's process id. Ctrl-C stops the job; the run ends interrupted, and outcome says the job is not
// running any more.
TEST_F(LabToolRun, OneRunHoldsTheLabAndCtrlCEndsItInterrupted) {
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "2", "--time-scale", "60"}).exitCode);
  ASSERT_EQ(0, Tool({"create", labDir, "--job", "1002"}).exitCode);
  ASSERT_EQ(0, Tool({"fault", labDir, "hold", "disk.Read", "--vm", "vm02"}).exitCode);
  const pid_t first = Start({"run", labDir, "--job", "1001"}, "first.txt");
  ASSERT_GT(first, 0);
  lab::SetRoot(labDir);
  const bool held = testsupport::WaitForLab({labDir}, [] {
    lab::FaultTable table;
    std::string error;
    return lab::ReadFaultTable(table, error) && !table.rules.empty() && table.rules[0].calls > 0;
  });
  lab::SetRoot(std::string());
  ASSERT_TRUE(held) << Text(dir.Path("first.txt"));

  const std::string holder = "job 1001 is running (quarn-lab run, process " + std::to_string(first) + ")";
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"run", labDir, "--job", "1001"}, "refused: " + holder + "\n"},
      {{"run", labDir}, "refused: " + holder + "\n"},
      {{"run", labDir, "--job", "1002"}, "refused: " + holder + " in this lab, and a lab runs one job at a time\n"},
  };
  for (const auto& second : refused) {
    const Result result = Tool(second.first);
    EXPECT_EQ(3, result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, second.second)) << result.out;
  }
  EXPECT_FALSE(lab::IsDirectory(labDir + "/jobs/1003")) << "a refused run makes no job";
  EXPECT_TRUE(Has(Tool({"outcome", labDir}).out, "job 1001: running (quarn-lab run, process " + std::to_string(first)));

  ASSERT_EQ(0, kill(first, SIGINT));
  // The held read goes on once the table is cleared, and the job stops at its next look.
  ASSERT_EQ(0, Tool({"fault", labDir, "clear"}).exitCode);
  EXPECT_EQ(130, testsupport::WaitProgram(first)) << Text(dir.Path("first.txt"));
  EXPECT_TRUE(Has(Text(dir.Path("first.txt")),
                  "interrupted: telling job 1001 to stop; its workers get up to 5 minutes (5 s at time scale 60) to "
                  "end the backups of vm02 before they are terminated; Ctrl-C again kills the job now\n"))
      << Text(dir.Path("first.txt"));
  const Result outcome = Tool({"outcome", labDir});
  EXPECT_TRUE(Has(outcome.out, "job 1001: not running: its run was interrupted; ")) << outcome.out;
  for (size_t line = outcome.out.find("In progress"); line != std::string::npos;
       line = outcome.out.find("In progress", line + 1))
    EXPECT_EQ(line, outcome.out.find("In progress (but the job is not running)", line)) << outcome.out;
  // The lab is free again.
  EXPECT_EQ(0, Tool({"run", labDir, "--job", "1002"}).exitCode);
}

// "run" without --job on a lab whose job has run starts the subclient's next job, and "create --job"
// makes one, both with the lab's VMs, disks and time scale; the incremental sends what changed and
// both restore.
TEST_F(LabToolRun, TheNextJobKeepsTheLabsVMsAndSettings) {
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "3", "--disks", "2", "--disk-size", "2", "--time-scale", "60"}).exitCode);
  ASSERT_EQ(0, Tool({"run", labDir}).exitCode);
  ASSERT_EQ(0, Tool({"disk", labDir, "vm02", "scsi0-1-vm02_1.img", "write", "--offset", "4096", "--bytes", "9"}).exitCode);
  const Result next = Tool({"run", labDir, "--", "-t", "2"});
  ASSERT_EQ(0, next.exitCode) << next.out;
  EXPECT_TRUE(Has(next.out, "job 1001 has ended: running the subclient's next job, 1002, with the lab's 3 VMs")) << next.out;
  EXPECT_TRUE(Has(next.out, "summary of job 1002: incremental backup")) << next.out;
  EXPECT_TRUE(Has(next.out, "  VMs: 3 Backed up (of 3)\n")) << next.out;
  EXPECT_TRUE(Has(next.out, "read 1.0 MiB (1.0 MiB of data")) << "one extent changed: " << next.out;
  ASSERT_EQ(0, Tool({"create", labDir, "--job", "1003"}).exitCode);

  lab::SetRoot(labDir);
  for (int64_t job : {1002, 1003}) {
    lab::JobRecord record;
    std::string error;
    ASSERT_TRUE(lab::ReadJobRecord(job, record, error)) << error;
    EXPECT_EQ(60, record.timeScale) << job;
    EXPECT_EQ(3, record.streams) << job;
    int vms = 0;
    for (const auto& value : record.other) vms += value.first.rfind("vm.", 0) == 0;
    EXPECT_EQ(3, vms) << job;
  }
  lab::SetRoot(std::string());
  const Result verified = Tool({"verify", labDir, "--job", "1002"});
  EXPECT_EQ(0, verified.exitCode) << verified.out;
  EXPECT_TRUE(Has(verified.out, "disk scsi0-1-vm02_1.img: 2097152 bytes")) << verified.out;
}

// The transport's deadlines keep real time: at 60 and at the largest scale every agent starts (none is
// refused for a late hello) and every VM is backed up and restores.
TEST_F(LabToolRun, JobsRunAtEveryTimeScaleAndNoAgentStartIsRefused) {
  for (const char* scale : {"60", "3600"}) {
    SCOPED_TRACE(scale);
    testsupport::TestLab caseDir;
    const std::string caseLab = caseDir.Path("lab");
    lab::SetRoot(std::string());
    ASSERT_EQ(0, Tool({"create", caseLab, "--vms", "4", "--time-scale", scale}).exitCode);
    const Result run = Tool({"run", caseLab});
    EXPECT_EQ(0, run.exitCode) << run.out;
    EXPECT_TRUE(Has(run.out, "  VMs: 4 Backed up (of 4)\n")) << run.out;
    EXPECT_EQ(0, Tool({"verify", caseLab}).exitCode);
    std::string logs;
    lab::SetRoot(caseLab);
    for (const char* client : {"coordinator", "proxyA", "proxyB"}) logs += Text(lab::ClientLogPath(client, "quarn"));
    lab::SetRoot(std::string());
    EXPECT_EQ(0u, testsupport::CountOf(logs, "did not say hello in time"));
    EXPECT_EQ(0u, testsupport::CountOf(logs, "sent no valid hello"));
    // At 60 the coordinator's two minutes for an agent to initialize are two real seconds: enough.
    if (std::string(scale) == "60") {
      EXPECT_EQ(0u, testsupport::CountOf(logs, "has failed to start"));
    }
  }
}

}  // namespace
