// "quarn-lab run" as the job manager and its console: the exit status tells how the job ended (a VM whose
// disk's description disagrees with its image failing with the reason while the other is backed up), one run
// holds the lab (and the job process of a run whose lab tool was killed holds it and its streams until
// it ends), Ctrl-C ends a run interrupted within the job's deadline, the next job keeps the lab's
// VMs and settings (every VM it still has), a resumed job keeps its level and its summary counts its own
// run, outcome shows the proxy of a failed VM, and a job runs at every allowed time scale. verify counts
// an archive lost from a backup the job reported (also as of a later job), checks every disk of a stub
// cut off, and takes one image for a disk; as of a job whose records no longer tell the disks a VM had
// then, verify and the restore refuse a disk no backup holds.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/archive/ArchiveFormat.h"
#include "platform/archive/ArchiveReader.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabHistory.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobRun.h"
#include "platform/lab/LabKeyValue.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabReservations.h"
#include "platform/lab/LabSubclient.h"
#include "records/messages/JobManagerMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/DiskCopies.h"
#include "support/LabRunSupport.h"
#include "support/LabWait.h"
#include "support/PromiseSupport.h"
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
  // Copies of the first disk of each VM as it is now, taken through the lab model: what a VM the job
  // reports done must restore to. Fewer copies than VMs when one cannot be taken.
  std::vector<std::string> CopyFirstDisks(const std::vector<std::string>& vms) {
    std::vector<std::string> copies;
    lab::SetRoot(labDir);
    for (const std::string& vm : vms) {
      std::string image, error;
      uint64_t size = 0;
      const std::string copy = dir.Path(vm + "-before.img");
      if (!lab::FindVMDiskImage(vm, "0", image, size, error) || !lab::CopyImageAtomic(image, copy, error)) {
        ADD_FAILURE() << vm << ": " << error;
        break;
      }
      copies.push_back(copy);
    }
    lab::SetRoot(std::string());
    return copies;
  }
  std::map<std::string, std::string> LeftoversOfVM02AndACopyNoNoteNames(int64_t jobId);
  // A lab of `vms` VMs with two disks each, archiving on (VMs off two days), vm01 off for 72 hours: the
  // copies of vm01's disks as they are then.
  testsupport::DiskCopies ArchivingLabWithVM01Idle(const char* vms) {
    EXPECT_EQ(0, Tool({"create", labDir, "--vms", vms, "--disks", "2", "--clients", "coordinator", "--time-scale",
                       "60"}).exitCode);
    EXPECT_EQ(0, Tool({"vm", labDir, "vm01", "power", "off", "--hours", "72"}).exitCode);
    lab::SetRoot(labDir);
    std::string error;
    EXPECT_TRUE(lab::SetSubclientValue("1", "archiveDays", "2", error)) << error;
    EXPECT_TRUE(lab::SetSubclientValue("1", "archiveRule", "1", error)) << error;
    const testsupport::DiskCopies copies = testsupport::CopyDisks({"vm01"}, dir.Path("before"));
    lab::SetRoot(std::string());
    return copies;
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
  const Args newestJobFault = {"index.GetVMNewestRecordJob", "--vm", "vm01", "--code", "5", "--times", "always"};
  struct Case {
    const char* name;
    std::vector<Args> faults;
    Args passed;  // after "--"
    int exitCode;
    const char* words;
    const char* why;  // a line that says why, or nullptr
    bool vm01BackedUp;
    uint64_t vm01DescribedBytes = 0;  // what vm01's description says of its first disk (4 MiB); 0: left so
  };
  const char* const describedSmaller =
      "vm01 [50290000-0000-4000-8000-000000000001] Failed: Cannot mount VM [vm01]: disk [vm01_0.img] is described "
      "as 1048576 bytes, but its image holds 4194304 bytes";
  const Case cases[] = {
      {"completed", {}, {}, 0, "job 1001: completed\n", nullptr, true},
      {"completed with errors", {readFault}, {"-lastAttempt"}, 1, "job 1001: completed with errors\n",
       "vm01 [50290000-0000-4000-8000-000000000001] Failed: Could not read data", false},
      {"pending with its cause", {readFault}, {}, 2, "job 1001: pending\n", "  0x5B000071 vm01_0.img|vm01", false},
      {"pending without streams", {}, {"-numStreams", "0"}, 2, "job 1001: pending\n",
       "why: the job process logged no pending cause; no streams were reserved for the job", false},
      {"no outcome", {{"jobmgr.initBackup", "--code", "1"}}, {}, 2,
       "job 1001: pending: the job process ended (status=0) without an outcome\n", nullptr, false},
      {"a disk described smaller than its image", {}, {}, 1, "job 1001: completed with errors\n", describedSmaller,
       false, 1 << 20},
      // A VM the index cannot tell the newest job of is left to the next attempt, never backed up blind.
      {"pending: the newest job of a VM not told", {newestJobFault}, {}, 2, "job 1001: pending\n",
       "vm01 [50290000-0000-4000-8000-000000000001] To be backed up: Failed to get the index information from "
       "previous backup",
       false},
      {"completed with errors: the newest job of a VM not told", {newestJobFault}, {"-lastAttempt"}, 1,
       "job 1001: completed with errors\n",
       "vm01 [50290000-0000-4000-8000-000000000001] Failed: Failed to get the index information from previous backup",
       false},
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
    if (c.vm01DescribedBytes != 0) {
      lab::SetRoot(caseLab);
      lab::VMDescription vm;
      std::string error;
      ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", vm));
      vm.disks[0].sizeBytes = c.vm01DescribedBytes;
      ASSERT_TRUE(lab::WriteVMDescription(lab::SampleServer(), vm, error)) << error;
      lab::SetRoot(std::string());
    }
    lab::SetRoot(caseLab);
    const testsupport::DiskCopies before = testsupport::CopyDisks({"vm01", "vm02"}, caseDir.Path("before"));
    lab::SetRoot(std::string());
    Args run = {"run", caseLab};
    if (!c.passed.empty()) run.push_back("--");
    run.insert(run.end(), c.passed.begin(), c.passed.end());
    const Result result = Tool(run);
    EXPECT_EQ(c.exitCode, result.exitCode) << result.out;
    EXPECT_TRUE(Has(result.out, c.words)) << result.out;
    if (c.why != nullptr) {
      EXPECT_TRUE(Has(result.out, c.why)) << result.out;
    }
    // Every VM the job manager records as backed up restores as of the job to its bytes before the job,
    // and verify agrees; vm02 is never failed.
    EXPECT_EQ(c.vm01BackedUp, Has(result.out, "vm01 [50290000-0000-4000-8000-000000000001] Backed up")) << result.out;
    EXPECT_FALSE(Has(result.out, "vm02 [50290000-0000-4000-8000-000000000002] Failed")) << result.out;
    for (const char* vm : {"vm01", "vm02"}) {
      const testsupport::DiskCopies copies = testsupport::CopiesOf(before, vm);
      ASSERT_FALSE(copies.empty()) << vm;
      JobManager::VMUpdateInfo record;
      lab::SetRoot(caseLab);
      const bool recorded = vsJobMgr::ReadVMStatus(1001, copies[0].guid, record);
      lab::SetRoot(std::string());
      const int64_t status = record.getint64(JobManager::VMUpdateInfo::F_vmStatus);
      if (!recorded || (status != lab::kVMStatusBackedUp && status != lab::kVMStatusBackedUpWithErrors)) continue;
      EXPECT_EQ(0, Tool({"verify", caseLab, "--job", "1001", "--vm", vm}).exitCode) << vm;
      const promise::Restore restore = promise::RestoreAsOfJobInCopy(
          caseLab, caseDir.Path(std::string("asof-") + vm), vm, 1001, caseDir.Path("asof.txt"));
      EXPECT_EQ(0, restore.status) << vm << ": " << restore.output;
      for (const testsupport::DiskCopy& copy : copies) {
        EXPECT_TRUE(restore.disks.count(copy.diskName) &&
                    restore.disks.at(copy.diskName) == testsupport::ReadDisk(copy.path))
            << vm << ": disk " << copy.diskName << " does not restore to its bytes before the job";
      }
    }
    // Progress as the records changed, and the summary of the job's records.
    if (c.exitCode < 2) {
      EXPECT_TRUE(Has(result.out, "  vm02         100%  Backed up\n")) << result.out;
      EXPECT_TRUE(Has(result.out, "summary of job 1001: full backup, ")) << result.out;
      EXPECT_TRUE(Has(result.out, c.exitCode == 0 ? "  VMs: 2 Backed up (of 2)\n" : "  VMs: 1 Backed up, 1 Failed (of 2)\n"))
          << result.out;
      EXPECT_TRUE(std::regex_search(result.out, std::regex(" archive files?\n  throughput "))) << result.out;
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
  // On a loaded machine vm01 may still be in progress too.
  EXPECT_TRUE(std::regex_search(Text(dir.Path("first.txt")),
                                std::regex("interrupted: telling job 1001 to stop; its workers get up to 5 minutes "
                                           "\\(5 s at time scale 60\\) to end the backups of (vm01, )?vm02 "
                                           "before they are terminated; Ctrl-C again kills the job now\n")))
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

// A VM deleted from the hypervisor leaves every other VM of the lab in the jobs after it, whichever VM
// it was (the first one's disks are those a new job's plan reads); "create --vms N" makes the deleted
// ones again. A run with a program it cannot start makes no job.
TEST_F(LabToolRun, EveryLaterJobTakesEveryVMTheLabStillHas) {
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "5", "--time-scale", "60"}).exitCode);
  ASSERT_EQ(0, Tool({"run", labDir}).exitCode);
  ASSERT_EQ(0, Tool({"vm", labDir, "vm02", "delete"}).exitCode);
  EXPECT_EQ(64, Tool({"run", labDir, "--program", dir.Path("no-program")}).exitCode);
  lab::SetRoot(labDir);
  EXPECT_FALSE(lab::JobExists(1002)) << "a refused run makes no job";
  lab::SetRoot(std::string());

  const Result second = Tool({"run", labDir});
  EXPECT_EQ(0, second.exitCode) << second.out;
  EXPECT_TRUE(Has(second.out, "running the subclient's next job, 1002, with the lab's 4 VMs")) << second.out;
  EXPECT_TRUE(Has(second.out, "  not in it: vm02, of job 1001, no longer on the hypervisor\n")) << second.out;
  EXPECT_TRUE(Has(second.out, "  VMs: 4 Backed up (of 4)\n")) << second.out;
  const Result verified = Tool({"verify", labDir, "--job", "1002"});
  EXPECT_EQ(0, verified.exitCode) << verified.out;
  EXPECT_TRUE(Has(verified.out, " archives and 4 VMs: 0 problems")) << verified.out;

  ASSERT_EQ(0, Tool({"vm", labDir, "vm01", "delete"}).exitCode);
  const Result third = Tool({"create", labDir, "--job", "1003"});
  EXPECT_TRUE(Has(third.out, "job 1003 (full), 3 VMs on vcenter")) << third.out;
  EXPECT_TRUE(Has(Tool({"run", labDir, "--job", "1003"}).out, "  VMs: 3 Backed up (of 3)\n"));
  ASSERT_EQ(0, Tool({"create", labDir, "--job", "1004", "--vms", "5"}).exitCode);
  const Result fourth = Tool({"run", labDir, "--job", "1004"});
  EXPECT_EQ(0, fourth.exitCode) << fourth.out;
  EXPECT_TRUE(Has(fourth.out, "  VMs: 5 Backed up (of 5)\n")) << fourth.out;
  EXPECT_EQ(0, Tool({"verify", labDir, "--job", "1004"}).exitCode);

  lab::SetRoot(labDir);
  const std::pair<int64_t, std::vector<std::string>> expected[] = {
      {1002, {"vm01", "vm03", "vm04", "vm05"}},
      {1003, {"vm03", "vm04", "vm05"}},
      {1004, {"vm01", "vm02", "vm03", "vm04", "vm05"}},
  };
  for (const auto& job : expected) EXPECT_EQ(job.second, lab::SampleVMsOfJob(job.first)) << job.first;
  lab::SetRoot(std::string());
}

// A job that went pending keeps the level of its first run: its resume runs at that level, a resume
// that asks for another is refused and changes nothing, and the summary of the resume counts what that
// run did. "outcome" answers about the newest job that ran unless asked for another, with that job's
// log lines only. Every VM restores as its disks were before the job.
TEST_F(LabToolRun, AResumedJobKeepsItsLevelAndItsSummaryCountsTheRunsOwnWork) {
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "2", "--time-scale", "60"}).exitCode);
  ASSERT_EQ(0, Tool({"run", labDir}).exitCode);
  ASSERT_EQ(0, Tool({"disk", labDir, "vm02", "0", "write", "--offset", "0", "--bytes", "4096"}).exitCode);
  const std::vector<std::string> copies = CopyFirstDisks({"vm01", "vm02"});
  ASSERT_EQ(2u, copies.size());
  ASSERT_EQ(0, Tool({"fault", labDir, "add", "disk.Read", "--vm", "vm02", "--code", "5"}).exitCode);

  const Result first = Tool({"run", labDir, "--", "-t", "2"});
  EXPECT_EQ(2, first.exitCode) << first.out;
  EXPECT_TRUE(Has(first.out, "job 1002 runs at level 2 (incremental): its record keeps the level")) << first.out;
  const Result other = Tool({"run", labDir, "--", "-t", "1"});
  EXPECT_EQ(64, other.exitCode) << other.out;
  EXPECT_TRUE(Has(other.out, "job 1002 has run at level 2 (incremental), and every later run of it keeps that level"))
      << other.out;
  lab::SetRoot(labDir);
  lab::JobRecord record;
  std::string error;
  ASSERT_TRUE(lab::ReadJobRecord(1002, record, error)) << error;
  EXPECT_EQ(2, record.bkpLevel);
  const std::vector<std::string> runs = lab::ReadRunEvents(1002);
  ASSERT_EQ(2u, runs.size()) << "the refused run is not one";
  const std::regex started(
      "started \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC pid=\\d+ phase=backup results=0 causes=0 events=0 "
      "options=-t,2");
  EXPECT_TRUE(std::regex_match(runs[0], started)) << runs[0];
  lab::SetRoot(std::string());

  const Result resumed = Tool({"run", labDir});
  EXPECT_EQ(0, resumed.exitCode) << resumed.out;
  EXPECT_TRUE(Has(resumed.out, "job 1002 has not ended: pending; running it again")) << resumed.out;
  EXPECT_TRUE(Has(resumed.out, "running job 1002 (incremental backup) on coordinator with 3 streams reserved\n"))
      << resumed.out;
  EXPECT_TRUE(Has(resumed.out, "summary of job 1002: incremental backup, ")) << resumed.out;
  EXPECT_TRUE(Has(resumed.out, " (its run 2: what earlier runs sent is not counted below)\n")) << resumed.out;
  // Only vm02 is left for the resume, and only its changed extent.
  EXPECT_TRUE(Has(resumed.out, "  this run read 1.0 MiB (1.0 MiB of data, 0.0 MiB of zeros), sent ")) << resumed.out;
  EXPECT_TRUE(Has(resumed.out, " in 1 archive file\n")) << resumed.out;

  lab::SetRoot(labDir);
  JobManager::VMUpdateInfo info;
  ASSERT_TRUE(lab::LoadVMStatus(1002, "50290000-0000-4000-8000-000000000002", info, error)) << error;
  EXPECT_NE(1, info.getint64(JobManager::VMUpdateInfo::F_backupLevel)) << "vm02 was not read whole";
  std::vector<lab::HistoryJob> history;
  ASSERT_TRUE(lab::ReadHistory("1", history, error)) << error;
  ASSERT_EQ(2u, history.size());
  EXPECT_EQ(2, history[1].level) << "the subclient's history records an incremental";
  lab::SetRoot(std::string());
  for (size_t i = 0; i < copies.size(); ++i) {
    const std::string vm = i == 0 ? "vm01" : "vm02";
    const Result verified = Tool({"verify", labDir, "--job", "1002", "--vm", vm, "--image", "0=" + copies[i]});
    EXPECT_EQ(0, verified.exitCode) << verified.out;
    EXPECT_TRUE(Has(verified.out, "VM " + vm + " [50290000-0000-4000-8000-00000000000" + std::to_string(i + 1) +
                                      "] as of job 1002 (jobs 1001, 1002):"))
        << verified.out;
    EXPECT_TRUE(Has(verified.out, "matches the image " + copies[i])) << verified.out;
  }

  // Each job's own log lines: the newest job's by default, another's when asked.
  const Result newest = Tool({"outcome", labDir});
  EXPECT_TRUE(Has(newest.out, "job 1002: completed\n")) << newest.out;
  EXPECT_TRUE(Has(newest.out, " -j 1002 ") && !Has(newest.out, " -j 1001 ")) << newest.out;
  const Result earlier = Tool({"outcome", labDir, "--job", "1001"});
  EXPECT_TRUE(Has(earlier.out, "job 1001: completed\n")) << earlier.out;
  EXPECT_TRUE(Has(earlier.out, " -j 1001 ") && !Has(earlier.out, " -j 1002 ")) << earlier.out;

  // A new job's level is set when it is made, and kept.
  EXPECT_TRUE(Has(Tool({"create", labDir, "--job", "1003", "--level", "incremental"}).out, "job 1003 (incremental)"));
  lab::SetRoot(labDir);
  ASSERT_TRUE(lab::ReadJobRecord(1003, record, error)) << error;
  EXPECT_EQ(2, record.bkpLevel);
  lab::SetRoot(std::string());
}

// A VM's failure is logged by the proxy that handled it: outcome shows that proxy's lines of the job
// too. The VM that was backed up restores as it was before the job; the other says why.
TEST_F(LabToolRun, OutcomeShowsTheLinesOfTheProxyThatHandledAFailedVM) {
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "2", "--time-scale", "60", "--clients", "coordinator,proxyA"}).exitCode);
  const std::vector<std::string> copies = CopyFirstDisks({"vm01"});
  ASSERT_EQ(1u, copies.size());
  const std::string& copy = copies[0];
  lab::SetRoot(labDir);
  const std::string proxyLog = lab::ClientLogPath("proxyA", "quarn");
  lab::SetRoot(std::string());
  // The coordinator's own agent does not start, so proxyA backs up every VM.
  ASSERT_EQ(0, Tool({"fault", labDir, "add", "ra.LaunchAgent", "--client", "coordinator", "--code", "5", "--times",
                     "always"}).exitCode);
  ASSERT_EQ(0, Tool({"fault", labDir, "add", "archive.write", "--vm", "vm02", "--code", "5", "--times", "always"})
                   .exitCode);
  const Result run = Tool({"run", labDir, "--", "-lastAttempt"});
  EXPECT_EQ(1, run.exitCode) << run.out;
  EXPECT_TRUE(Has(run.out, "vm02 [50290000-0000-4000-8000-000000000002] Failed: ")) << run.out;
  EXPECT_TRUE(Has(run.out, "backup.out:\n  vm02 Skipped Failed to send the backup of the VM to the media agent\n"))
      << run.out;
  const std::string section = "log " + proxyLog + ", which handled vm02, the lines of job 1001 that matter:\n";
  ASSERT_TRUE(Has(run.out, section)) << run.out;
  EXPECT_TRUE(Has(run.out.substr(run.out.find(section)), "[archive.write] Fault injected by the lab into archive.write"))
      << run.out;
  EXPECT_TRUE(Has(Tool({"outcome", labDir}).out, section));
  const Result verified = Tool({"verify", labDir, "--vm", "vm01", "--image", "0=" + copy});
  EXPECT_EQ(0, verified.exitCode) << verified.out;
}

// Ctrl-C while a call is held: the run says what the stop waits for, and ends within the job's own
// deadline for its workers though the call is never let go; the next run resumes the job, and every
// VM restores as its disks were before it. The archive a terminated worker left uncommitted is named
// by a verify of its VM, and by none of another VM.
TEST_F(LabToolRun, CtrlCEndsTheRunWithinTheJobsDeadlineWhileACallStaysHeld) {
  // At 60 the workers' five minutes are five real seconds, and the coordinator's two minutes for its
  // agent to initialize are two: at 3600 a loaded machine fails the agent before the call is held.
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "2", "--time-scale", "60", "--clients", "coordinator"}).exitCode);
  const std::vector<std::string> copies = CopyFirstDisks({"vm01", "vm02"});
  ASSERT_EQ(2u, copies.size());
  ASSERT_EQ(0, Tool({"fault", labDir, "hold", "disk.Read", "--vm", "vm02"}).exitCode);
  const pid_t run = Start({"run", labDir}, "run.txt");
  ASSERT_GT(run, 0);
  lab::SetRoot(labDir);
  const auto held = [] {
    lab::FaultTable table;
    std::string error;
    return lab::ReadFaultTable(table, error) && !table.rules.empty() && table.rules[0].calls > 0;
  };
  ASSERT_TRUE(testsupport::WaitForLab({labDir}, held)) << Text(dir.Path("run.txt"));
  ASSERT_EQ(0, kill(run, SIGINT));
  EXPECT_EQ(130, testsupport::WaitProgram(run)) << Text(dir.Path("run.txt"));
  EXPECT_TRUE(held()) << "the call is still held: the job ended by its own deadline";
  lab::SetRoot(std::string());
  const std::string out = Text(dir.Path("run.txt"));
  // vm01 may still be in progress too.
  EXPECT_TRUE(std::regex_search(out, std::regex("interrupted: telling job 1001 to stop; its workers get up to 5 minutes "
                                                "\\(5 s at time scale 60\\) to end the backups of (vm01, )?vm02 "
                                                "before they are terminated; Ctrl-C again kills the job now\n")))
      << out;
  EXPECT_TRUE(Has(out, "job 1001: not running: its run was interrupted; ")) << out;

  ASSERT_EQ(0, Tool({"fault", labDir, "clear"}).exitCode);
  const Result resumed = Tool({"run", labDir});
  EXPECT_EQ(0, resumed.exitCode) << resumed.out;
  EXPECT_TRUE(Has(resumed.out, "job 1001 has not ended")) << resumed.out;

  // The workers terminated left vm02's archive uncommitted (and vm01's, when it was still in progress),
  // noted for it; a copy of vm02's under an id no note names is its leftover too. A verify names each
  // leftover where it covers the VM the leftover is of, and a verify of one VM no other VM's.
  const std::map<std::string, std::string> leftovers = LeftoversOfVM02AndACopyNoNoteNames(1001);
  for (size_t i = 0; i <= copies.size(); ++i) {
    const std::string vm = i == 0 ? std::string() : "vm0" + std::to_string(i);
    const Result verified = vm.empty() ? Tool({"verify", labDir})
                                       : Tool({"verify", labDir, "--vm", vm, "--image", "0=" + copies[i - 1]});
    EXPECT_EQ(0, verified.exitCode) << verified.out;
    for (const auto& leftover : leftovers) {
      EXPECT_EQ(vm.empty() || vm == leftover.second,
                Has(verified.out, "archive " + leftover.first + ": not committed, left by an interrupted attempt\n"))
          << "the leftover of " << leftover.second << " in a verify of " << (vm.empty() ? "every VM" : vm) << ": "
          << verified.out;
    }
  }
}

// The job's archive files left uncommitted that a note names, by the name of the VM the note is of,
// and a copy of vm02's committed archive of the job left uncommitted under a new id of its media agent
// that no note names: of vm02 by its beginning.
std::map<std::string, std::string> LabToolRun::LeftoversOfVM02AndACopyNoNoteNames(int64_t jobId) {
  std::map<std::string, std::string> leftovers;
  lab::SetRoot(labDir);
  std::vector<lab::ArchiveLocation> committedOfVM02;
  for (const char* name : {"vm01", "vm02"}) {
    lab::VMDescription vm;
    EXPECT_TRUE(lab::FindVM(lab::SampleServer(), name, vm)) << name;
    for (const lab::NotedArchive& noted : lab::ListVMNotedArchives(jobId, vm.guid))
      if (noted.state == lab::NotedArchive::State::kUncommitted) leftovers[noted.FoundPath()] = name;
    if (std::string(name) == "vm02") committedOfVM02 = lab::ListVMArchiveFiles(jobId, vm.guid);
  }
  EXPECT_EQ(1, std::count_if(leftovers.begin(), leftovers.end(), [](const auto& left) { return left.second == "vm02"; }))
      << "the terminated worker left no archive of vm02 uncommitted";
  std::string bytes, error;
  uint64_t id = 0;
  if (committedOfVM02.empty() || !lab::ReadRegularFile(committedOfVM02[0].path, 64 << 20, bytes, error) ||
      !lab::TakeArchiveFileId(committedOfVM02[0].mediaAgent, id, error)) {
    ADD_FAILURE() << "no archive of vm02 to copy: " << error;
  } else {
    const std::string copy = lab::ArchiveFilePath(committedOfVM02[0].mediaAgent, jobId, id) + archive::kUncommittedSuffix;
    EXPECT_TRUE(lab::WriteFileAtomic(copy, bytes)) << copy;
    leftovers[copy] = "vm02";
  }
  lab::SetRoot(std::string());
  return leftovers;
}

// Waits until each process has ended (none of them need be a child of this one); false when one has
// not within a minute.
bool WaitForEnds(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) continue;  // gone already
    pollfd ended = {fd, POLLIN, 0};
    const int ready = poll(&ended, 1, 60000);
    close(fd);
    if (ready <= 0) return false;
  }
  return true;
}

// The lab tool killed during a run: the job process goes on, holding the lab and its streams, so no
// run starts beside it and outcome says it runs. Once it has ended (killed too, its streams still
// open), the next run gives back the streams it left, resumes the job as a later attempt, and every VM
// restores as its disks were before the job. What the dead processes held of the hypervisor (disk
// streams) and of the clean-up service (registrations) is given back before the resumed job process
// does its first thing: none of it stands beside that process.
TEST_F(LabToolRun, AJobProcessWhoseRunWasKilledHoldsTheLabAndItsStreamsUntilItEnds) {
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "2", "--time-scale", "60"}).exitCode);
  const std::vector<std::string> copies = CopyFirstDisks({"vm01", "vm02"});
  ASSERT_EQ(2u, copies.size());
  // vm02's disk is held after its first extent: its stream is open.
  ASSERT_EQ(0, Tool({"fault", labDir, "hold", "disk.Read", "--vm", "vm02", "--after", "1"}).exitCode);
  const pid_t run = Start({"run", labDir, "--", "-numStreams", "2"}, "run.txt");
  ASSERT_GT(run, 0);
  lab::SetRoot(labDir);
  const auto holders = [] {
    std::vector<pid_t> pids;
    lab::ReservationLedger ledger;
    std::string error;
    if (lab::ReadReservationLedger(1001, ledger, error))
      for (const lab::Reservation& r : ledger.reservations)
        if (!r.holder.empty() && r.state == lab::ReservationState::kReserved)
          pids.push_back(static_cast<pid_t>(std::stol(r.holder.substr(r.holder.rfind(':') + 1))));
    return pids;
  };
  const bool held = testsupport::WaitForLab({labDir, lab::JobDir(1001)}, [&] {
    lab::FaultTable table;
    std::string error;
    return lab::ReadFaultTable(table, error) && !table.rules.empty() && table.rules[0].fired > 0 && !holders().empty();
  });
  lab::JobRun started;
  const bool hasRun = lab::LatestRun(1001, started);
  lab::SetRoot(std::string());
  ASSERT_TRUE(held && hasRun) << Text(dir.Path("run.txt"));
  const pid_t jobProcess = static_cast<pid_t>(started.pid);
  ASSERT_EQ(0, kill(run, SIGKILL));
  EXPECT_EQ(128 + SIGKILL, testsupport::WaitProgram(run));

  const std::string process = std::to_string(jobProcess);
  const std::string holder = "job 1001 is running (its job process " + process +
                             ", whose quarn-lab run was killed; kill -INT " + process + " tells it to stop)";
  for (const std::vector<std::string>& second :
       {std::vector<std::string>{"run", labDir}, std::vector<std::string>{"run", labDir, "--job", "1001"}}) {
    const Result refused = Tool(second);
    EXPECT_EQ(3, refused.exitCode) << refused.out;
    EXPECT_TRUE(Has(refused.out, "refused: " + holder + "\n")) << refused.out;
  }
  EXPECT_FALSE(lab::IsDirectory(labDir + "/jobs/1002")) << "a refused run makes no job";
  const Result outcome = Tool({"outcome", labDir});
  EXPECT_TRUE(Has(outcome.out, "job 1001: running (its job process " + process + ", whose quarn-lab run was killed)"))
      << outcome.out;
  lab::SetRoot(labDir);
  std::vector<pid_t> open = holders();
  lab::SetRoot(std::string());
  EXPECT_FALSE(open.empty()) << "the stream the job process writes to stays reserved to it";

  // The job process and its agents killed with their streams open.
  open.push_back(jobProcess);
  ASSERT_EQ(0, kill(-jobProcess, SIGKILL));
  ASSERT_TRUE(WaitForEnds(open));
  const std::vector<std::string> clients = {"coordinator", "proxyA", "proxyB"};
  const auto registrations = [&clients] {
    size_t standing = 0;
    for (const std::string& client : clients) standing += lab::ReadCleanupRegistrations(client).size();
    return standing;
  };
  lab::SetRoot(labDir);
  EXPECT_GT(lab::DiskStreamsHeld(1001), 0) << "the killed processes held a disk stream of the hypervisor";
  EXPECT_GT(registrations(), 0u) << "the killed processes left registrations with the clean-up service";
  lab::SetRoot(std::string());
  ASSERT_EQ(0, Tool({"fault", labDir, "clear"}).exitCode);
  // The resumed job process held at its first registration with the clean-up service.
  ASSERT_EQ(0, Tool({"fault", labDir, "hold", "cleanup.RegisterProcess"}).exitCode);
  const pid_t resumedRun = Start({"run", labDir, "--", "-numStreams", "2"}, "resumed.txt");
  ASSERT_GT(resumedRun, 0);
  lab::SetRoot(labDir);
  const bool resumedHeld = testsupport::WaitForLab({labDir}, [] {
    lab::FaultTable table;
    std::string error;
    return lab::ReadFaultTable(table, error) && !table.rules.empty() && table.rules[0].fired > 0;
  });
  const int64_t diskStreamsBeside = lab::DiskStreamsHeld(1001);
  const size_t registrationsBeside = registrations();
  std::string cleared;
  lab::ClearFaultTable(cleared);
  lab::SetRoot(std::string());
  Result resumed;
  resumed.exitCode = testsupport::WaitProgram(resumedRun);
  resumed.out = Text(dir.Path("resumed.txt"));
  ASSERT_TRUE(resumedHeld) << resumed.out;
  EXPECT_EQ(0, diskStreamsBeside) << "a dead process's disk streams stand beside the resumed job process";
  EXPECT_EQ(0u, registrationsBeside) << "a dead process's registrations stand beside the resumed job process";
  EXPECT_EQ(0, resumed.exitCode) << resumed.out;
  EXPECT_TRUE(Has(resumed.out, "job 1001 has not ended: not running: its run ended without a word")) << resumed.out;
  EXPECT_TRUE(std::regex_search(resumed.out, std::regex("an earlier run of job 1001 left [12] streams? reserved: "
                                                        "given back\n")))
      << resumed.out;
  lab::SetRoot(labDir);
  const std::vector<std::string> runs = lab::ReadRunEvents(1001);
  lab::ReservationLedger ledger;
  std::string error;
  EXPECT_TRUE(lab::ReadReservationLedger(1001, ledger, error)) << error;
  lab::SetRoot(std::string());
  ASSERT_EQ(4u, runs.size());
  EXPECT_EQ("lost ", runs[1].substr(0, 5)) << "the killed run has ended: the next one is a later attempt";
  EXPECT_EQ(0, ledger.CountReserved());
  for (size_t i = 0; i < copies.size(); ++i) {
    const Result verified = Tool({"verify", labDir, "--vm", i == 0 ? "vm01" : "vm02", "--image", "0=" + copies[i]});
    EXPECT_EQ(0, verified.exitCode) << verified.out;
  }
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

// One archive of several of a VM's backup lost (each disk on a stream of its own), with or without the
// index's record of the VM in that job: verify names the file MISSING from its job and counts it, beside
// what the loss does to the VM (no usable backup, or a disk whose chain breaks there). With the VM's own
// mount record of the job lost too, another VM's mount of the job says nothing of its disks: the VM is
// not reassembled, and its restore as of the job refuses and writes nothing. Once the job
// manager no longer reports the VM backed up in the job, the file is named as of a job that did not,
// and is no problem of its own. A verify as of a later full, whose chains do not read the lost file,
// still names and counts it.
TEST_F(LabToolRun, VerifyCountsAnArchiveLostFromABackupTheJobReported) {
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "2", "--disks", "2", "--time-scale", "60"}).exitCode);
  // Each disk of each VM on a stream and an archive file of its own.
  const labrun::Disk1AloneRun run = labrun::RunWithDisk1InAnArchiveOfItsOwn(
      labDir, 1001, {"vm01", "vm02"}, {"run", labDir, "--", "-numStreams", "4"}, dir.Path("run.txt"));
  ASSERT_EQ("", run.failure) << run.output;
  ASSERT_EQ(0, run.status) << run.output;
  struct Case {
    const char* vm;
    bool archiveLost;      // its archive of disk 1 removed
    bool indexRecordLost;  // the index's record of the VM in the job removed
    bool mountLost;        // the VM's own mount record of the job removed (the other VM's stays)
    bool reported;         // the job manager's record still says the VM was backed up
    const char* after;     // what follows "in job 1001" on the lost file's line
    const char* besides;   // the VM's other problem
    const char* problems;
  };
  const Case cases[] = {
      // The job's mount still says which disks its backup held: only disk 1's chain breaks there.
      {"vm01", true, true, false, true, "\n",
       "  disk scsi0-1-vm01_1.img: NOT RESTORED: its chain of backups is broken", "and 1 VM: 2 problems\n"},
      // Then its own mount record too: nothing says which disks the job's backup held, and vm02's mount
      // of the job is no record of vm01's.
      {"vm01", false, false, true, true, "\n", "  CANNOT REASSEMBLE: ", "and 1 VM: 2 problems\n"},
      {"vm02", true, false, false, true, "\n",
       "  disk scsi0-1-vm02_1.img: NOT RESTORED: its chain of backups is broken", "and 1 VM: 2 problems\n"},
      {"vm01", false, false, false, false, ", which did not report the VM backed up\n", "  CANNOT REASSEMBLE: ",
       "and 1 VM: 1 problem\n"},
  };
  std::map<std::string, std::string> lost;  // VM -> the path of its archive removed
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.vm) + (c.reported ? " reported backed up" : " not reported backed up"));
    lab::SetRoot(labDir);
    lab::VMDescription vm;
    ASSERT_TRUE(lab::FindVM(lab::SampleServer(), c.vm, vm));
    std::string error;
    if (c.archiveLost) {
      lost[c.vm] = archivetest::ArchiveOfDisk1Alone(1001, c.vm).path;
      ASSERT_FALSE(lost[c.vm].empty()) << c.vm << "'s disk 1 has no archive of its own";
      ASSERT_EQ(0, unlink(lost[c.vm].c_str()));
    }
    if (c.indexRecordLost) {
      lab::SubclientRecord subclient;
      ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error)) << error;
      const std::string records = lab::IndexVMDir(subclient.settings["subclientGUID"], vm.guid, error);
      ASSERT_FALSE(records.empty()) << error;
      ASSERT_EQ(0, unlink((records + "/1001.idx").c_str())) << "the index has no record of " << c.vm;
    }
    if (c.mountLost) {
      ASSERT_EQ(0, unlink(lab::MountRecordPath(lab::SampleServer(), 1001, vm.guid).c_str()))
          << "the job has no mount record of " << c.vm;
    }
    if (!c.reported) {
      JobManager::VMUpdateInfo record;
      ASSERT_TRUE(lab::LoadVMStatus(1001, vm.guid, record, error)) << error;
      record.setint64(JobManager::VMUpdateInfo::F_vmStatus, 1);
      ASSERT_TRUE(lab::SaveVMStatus(1001, vm.guid, record, false, error)) << error;
    }
    lab::SetRoot(std::string());
    const Result verified = Tool({"verify", labDir, "--job", "1001", "--vm", c.vm});
    EXPECT_EQ(1, verified.exitCode) << verified.out;
    EXPECT_TRUE(Has(verified.out, "archive " + lost[c.vm] + ": MISSING: noted for VM " + vm.guid +
                                      ", but not there in job 1001" + c.after))
        << verified.out;
    EXPECT_TRUE(Has(verified.out, c.besides)) << verified.out;
    EXPECT_TRUE(Has(verified.out, c.problems)) << verified.out;
    if (c.mountLost) {
      // What nothing records any more is no backup to go around: the restore as of the job refuses.
      const promise::Restore restore =
          promise::RestoreAsOfJobInCopy(labDir, dir.Path("asof"), c.vm, 1001, dir.Path("asof.txt"));
      EXPECT_NE(0, restore.status) << restore.output;
      EXPECT_TRUE(Has(restore.output, "is not restored")) << restore.output;
      EXPECT_TRUE(restore.disks.empty()) << "a refused restore wrote a disk back: " << restore.output;
    }
  }

  // A full after the loss: each VM's chain as of job 1002 is that full alone, and both verify. verify
  // as of job 1002 reads job 1001's archives too and judges them as a verify of job 1001 does: the
  // file vm02's backup lost there is a problem still.
  ASSERT_EQ(0, Tool({"create", labDir, "--job", "1002"}).exitCode);
  const Result full = Tool({"run", labDir, "--job", "1002", "--", "-t", "1", "-numStreams", "4"});
  ASSERT_EQ(0, full.exitCode) << full.out;
  const Result asOfFull = Tool({"verify", labDir, "--job", "1002"});
  EXPECT_EQ(1, asOfFull.exitCode) << asOfFull.out;
  EXPECT_TRUE(Has(asOfFull.out, "archive " + lost["vm02"] + ": MISSING: noted for VM 50290000-0000-4000-8000-"
                                "000000000002, but not there in job 1001\n"))
      << asOfFull.out;
  for (const char* vm : {"vm01 [50290000-0000-4000-8000-000000000001]", "vm02 [50290000-0000-4000-8000-000000000002]"})
    EXPECT_TRUE(Has(asOfFull.out, std::string("VM ") + vm + " as of job 1002 (job 1002):\n")) << asOfFull.out;
  EXPECT_TRUE(Has(asOfFull.out, " and 2 VMs: 1 problem\n")) << asOfFull.out;
}

// A stub cut off after its first disk deleted that disk and left the other on the hypervisor: every
// verify that covers the VM checks the deleted disk against the backup its stub deleted it on and the
// other one as any disk, against the image given for it or the job's point-in-time copy. An image is
// given once for a disk: a second one for it, by any of its names, is a bad argument, and nothing is
// verified.
TEST_F(LabToolRun, VerifyChecksEveryDiskOfAStubCutOffAndTakesOneImageADisk) {
  const testsupport::DiskCopies copies = ArchivingLabWithVM01Idle("2");
  ASSERT_EQ(2u, copies.size());
  const Result backup = Tool({"run", labDir, "--job", "1001", "--", "-numStreams", "1", "-stub"});
  ASSERT_EQ(0, backup.exitCode) << backup.out;
  ASSERT_EQ(0, Tool({"fault", labDir, "add", "vminfo.StubVMDisk", "--vm", "vm01", "--code", "3010", "--after", "1"})
                   .exitCode);
  const Result stub = Tool({"run", labDir, "--job", "1001", "--", "-numStreams", "1", "-stub", "-stubPhase"});
  ASSERT_EQ(0, Tool({"fault", labDir, "clear"}).exitCode);
  lab::SetRoot(labDir);
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", vm));
  lab::SetRoot(std::string());
  ASSERT_TRUE(vm.disks[0].deleted && !vm.disks[1].deleted) << "the stub was not cut off after one disk: " << stub.out;

  // By number with the VM named, by the names the backup keeps them under without it.
  const std::string byNumber = "0=" + copies[0].path + ",1=" + copies[1].path;
  const std::string byName = copies[0].diskName + "=" + copies[0].path + "," + copies[1].diskName + "=" + copies[1].path;
  using Args = std::vector<std::string>;
  for (const Args& args : {Args{"--vm", "vm01", "--image", byNumber}, Args{"--job", "1001", "--image", byName},
                           Args{"--job", "1001", "--vm", "vm01"}}) {
    Args verify = {"verify", labDir};
    verify.insert(verify.end(), args.begin(), args.end());
    const Result verified = Tool(verify);
    EXPECT_EQ(0, verified.exitCode) << verified.out;
    EXPECT_TRUE(Has(verified.out, "  a stub in job 1001: ")) << verified.out;
    for (const testsupport::DiskCopy& copy : copies) {
      const std::string against = args[args.size() - 2] == "--image" ? "matches the image " + copy.path
                                                        : "matches the point-in-time copy of job 1001";
      // The disk's own line, "  disk NAME: SIZE bytes, sha256 HEX: matches ...".
      const size_t line = verified.out.find("\n  disk " + copy.diskName + ": ");
      const std::string said = line == std::string::npos
                                   ? std::string()
                                   : verified.out.substr(line + 1, verified.out.find('\n', line + 1) - line - 1);
      EXPECT_TRUE(Has(said, " bytes, sha256 ") && said.size() > against.size() &&
                  said.compare(said.size() - against.size(), against.size(), against) == 0)
          << copy.diskName << ": " << verified.out;
    }
  }

  const std::string& other = copies[0].path;
  for (const Args& args : {Args{"--image", "1=" + copies[1].path + ",1=" + other},
                           Args{"--image", "1=" + copies[1].path + "," + copies[1].diskName + "=" + other},
                           Args{"--image", "1=" + copies[1].path, "--image", "1=" + other}}) {
    Args verify = {"verify", labDir, "--vm", "vm01"};
    verify.insert(verify.end(), args.begin(), args.end());
    const Result refused = Tool(verify);
    EXPECT_EQ(64, refused.exitCode) << refused.out;
    EXPECT_TRUE(Has(refused.out, ": an image is given for that disk already\n") ||
                Has(refused.out, "option '--image' given twice\n"))
        << refused.out;
    EXPECT_FALSE(Has(refused.out, "archive ") || Has(refused.out, "verified ")) << "a bad argument verified: "
                                                                                << refused.out;
  }
}

// Job 1001 stubs vm01 and job 1002 reports the stub; vm01 is then given a disk. As of job 1002 the disk is
// not the VM's (the stub of job 1001 had disks 0 and 1): verify says so, and the restore as of the job, and
// as of the stub's job, leaves it as it is. Every record that still tells the stub's disks tells them: the
// index's record of the job naming the stub's job, the job manager's record saying stubbed, the hypervisor's
// marks of the disks the stub deleted. Where none does, a disk no backup holds may be one the VM had: verify
// counts it a problem and the restore refuses it, writing nothing, and both say why.
TEST_F(LabToolRun, WhereTheDisksOfAJobCannotBeToldVerifyAndTheRestoreAsOfItRefuseADiskNoBackupHolds) {
  const testsupport::DiskCopies before = ArchivingLabWithVM01Idle("1");
  for (const char* job : {"1001", "1002"}) {
    if (std::string(job) != "1001") {
      ASSERT_EQ(0, Tool({"create", labDir, "--job", job}).exitCode);
    }
    for (const char* phase : {"", "-stubPhase"}) {
      std::vector<std::string> run = {"run", labDir, "--job", job, "--", "-numStreams", "1", "-stub"};
      if (*phase != 0) run.push_back(phase);
      const Result ran = Tool(run);
      ASSERT_EQ(0, ran.exitCode) << ran.out;
    }
  }
  lab::SetRoot(labDir);
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", vm));
  ASSERT_TRUE(vm.disks[0].deleted && vm.disks[1].deleted) << "job 1001 did not stub vm01";
  std::string error;
  ASSERT_TRUE(promise::GiveVMADisk("vm01", "vm01_2.img", error)) << error;
  lab::SubclientRecord subclient;
  ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error)) << error;
  const std::string records = lab::IndexVMDir(subclient.settings["subclientGUID"], vm.guid, error);
  ASSERT_FALSE(records.empty()) << error;
  lab::SetRoot(std::string());

  // Each loss is of the records of vm01 (the index's record `.idx` of a job, the job manager's record, the
  // mount record) or of the hypervisor's marks (disk<i>.stubJob) of the disks the stub deleted.
  enum Loss {
    kNone,
    kIndexRecordRemoved,
    kIndexRecordCutShort,
    kStubsJobRecordsRemoved,
    kIndexAndJobManagersRecordsRemoved,
    kStubsJobRecordsAndTheMarksLost
  };
  const std::string byTheMarks = "those the hypervisor marks as deleted by the stub job 1002 reported (the job "
                                 "manager's record of the VM in job 1002 says stubbed)";
  struct Case {
    const char* what;
    Loss loss;
    std::string verifySays;   // of the disk, after "  disk scsi0-2-vm01_2.img: "
    std::string restoreSays;  // empty: the restore leaves the disk as it is and says that
    int verifyProblems = 0;   // beside the disk's (the stub's mount record lost: its copies are not to be had)
  } cases[] = {
      {"the job's records whole", kNone,
       "not the VM's at job 1002 (its disks then: those of the stub of job 1001 that job 1002 reported: those the "
       "mount of job 1001 took)",
       ""},
      {"the index's record of the VM in the job removed", kIndexRecordRemoved,
       "not the VM's at job 1002 (its disks then: " + byTheMarks + ")", ""},
      {"the index's record of the VM in the job cut short", kIndexRecordCutShort,
       "not the VM's at job 1002 (its disks then: " + byTheMarks + ")", ""},
      {"the mount and the index's record of the VM in the stub's job removed", kStubsJobRecordsRemoved,
       "not the VM's at job 1002 (its disks then: those of the stub of job 1001 that job 1002 reported: those the "
       "hypervisor marks as deleted by the stub job 1001 reported (the job manager's record of the VM in job 1001 "
       "says stubbed))",
       "", 2},
      {"the index's and the job manager's records of the VM in the job removed", kIndexAndJobManagersRecordsRemoved,
       "HELD BY NO BACKUP at or before job 1002, and the disks the VM had at job 1002 cannot be told: neither the "
       "job's mount of the VM nor the index's record of it in job 1002 is there\n",
       "no backup of VM [vm01] holds its disk scsi0-2-vm01_2.img at or before job 1002, and the disks the VM had at "
       "job 1002 cannot be told: neither the job's mount of the VM nor the index's record of it in job 1002 is "
       "there; nothing was written"},
      {"the stub's job's mount and index records removed, its disks' marks lost", kStubsJobRecordsAndTheMarksLost,
       "HELD BY NO BACKUP at or before job 1002, and the disks the VM had at job 1002 cannot be told: job 1002 "
       "reported the VM as the stub of job 1001, whose disks cannot be told: job 1001 reported the VM as a stub "
       "(the job manager's record of the VM in job 1001 says stubbed), and the hypervisor marks no disk as deleted "
       "by a stub at or before it\n",
       "cannot be told: job 1002 reported the VM as the stub of job 1001, whose disks cannot be told: job 1001 "
       "reported the VM as a stub (the job manager's record of the VM in job 1001 says stubbed), and the "
       "hypervisor marks no disk as deleted by a stub at or before it; nothing was written",
       2},
  };
  const std::string disk = "scsi0-2-vm01_2.img";
  int copies = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string copy = dir.Path("copy" + std::to_string(++copies));
    std::error_code failed;
    std::filesystem::copy(labDir, copy, std::filesystem::copy_options::recursive, failed);
    ASSERT_FALSE(failed) << failed.message();
    const std::string copied = copy + records.substr(labDir.size());
    testsupport::LabRootScope root(copy);
    switch (c.loss) {
      case kNone: break;
      case kIndexRecordRemoved: ASSERT_EQ(0, unlink((copied + "/1002.idx").c_str())); break;
      case kIndexRecordCutShort: {
        const std::string text = Text(copied + "/1002.idx");
        ASSERT_FALSE(text.empty());
        ASSERT_EQ(0, truncate((copied + "/1002.idx").c_str(), static_cast<off_t>(text.size() / 2)));
        break;
      }
      case kStubsJobRecordsRemoved:
      case kStubsJobRecordsAndTheMarksLost:
        ASSERT_EQ(0, unlink((copied + "/1001.idx").c_str()));
        ASSERT_EQ(0, unlink(lab::MountRecordPath(lab::SampleServer(), 1001, vm.guid).c_str()));
        if (c.loss == kStubsJobRecordsRemoved) break;
        ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), "vm01", [](lab::VMDescription& vm, std::string&) {
          for (lab::VMDisk& disk : vm.disks) disk.stubJob = 0;
          return true;
        }, error)) << error;
        break;
      case kIndexAndJobManagersRecordsRemoved:
        ASSERT_EQ(0, unlink((copied + "/1002.idx").c_str()));
        ASSERT_EQ(0, unlink(lab::VMStatusPath(1002, vm.guid).c_str()));
        break;
    }
    const bool left = c.restoreSays.empty();
    const Result verified = Tool({"verify", copy, "--job", "1002", "--vm", "vm01"});
    const int problems = c.verifyProblems + (left ? 0 : 1);
    EXPECT_EQ(problems == 0 ? 0 : 1, verified.exitCode) << verified.out;
    const std::string counted = std::to_string(problems) + (problems == 1 ? " problem\n" : " problems\n");
    EXPECT_TRUE(Has(verified.out, " and 1 VM: " + counted)) << verified.out;
    EXPECT_TRUE(Has(verified.out, "  disk " + disk + ": " + c.verifySays)) << verified.out;
    // As of the job, and as of the stub's job, whose mount had the disks the stub deleted.
    for (int64_t job : left ? std::vector<int64_t>{1002, 1001} : std::vector<int64_t>{1002}) {
      const std::string asOf = std::to_string(job);
      const promise::Restore restore =
          promise::RestoreAsOfJobInCopy(copy, dir.Path("asof"), "vm01", job, dir.Path("asof.txt"));
      EXPECT_EQ(left ? 0 : 1, restore.status) << restore.output;
      EXPECT_TRUE(Has(restore.output, left ? "  " + disk + " left as it is: VM [vm01] had no such disk at job " + asOf
                                           : c.restoreSays))
          << restore.output;
      EXPECT_EQ(left ? 2u : 0u, restore.disks.size()) << "disks written back: " << restore.output;
      for (const testsupport::DiskCopy& copy : before) {
        EXPECT_TRUE(!left || (restore.disks.count(copy.diskName) &&
                              restore.disks.at(copy.diskName) == testsupport::ReadDisk(copy.path)))
            << copy.diskName << " does not restore as of job " << job << " to its bytes before job 1001";
      }
    }
  }
}

}  // namespace
