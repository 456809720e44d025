// The archiving promise, tried as an administrator's bad day would: a stub deletes a VM's disks, so a
// disk may go only while a backup holds exactly its bytes. Each case is a lab of two VMs with two disks
// of seeded bytes (vm01 off for 72 hours, vm02 running), whole archiving jobs run by the lab tool (a
// backup phase, then a stub phase), and one way a stub can meet bytes no backup holds: a stub cut off
// and retried later, a write, an added or a detached disk between the phases, the job process killed
// at each disk of the stub phase (a run that is no end of the job, whose stub phase the job manager's
// next run resumes), a media fault in the backup phase. After every job, every disk gone
// from the hypervisor restores (the lab tool's "vm restore", in a copy of the lab) byte for byte to the
// bytes it had just before the stub phase that deleted it, every VM meant to be stubbed that was not
// says why, and no stream stays reserved.
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobRun.h"
#include "platform/lab/LabMount.h"
#include "records/messages/JobManagerMessages.h"
#include "support/DiskCopies.h"
#include "support/LabRunSupport.h"
#include "support/PromiseSupport.h"

namespace {

using Info = JobManager::VMUpdateInfo;

const char* const kVM = "vm01";    // idle: the one to be stubbed
const char* const kRunningVM = "vm02";

class ArchivingPromise : public testing::TestWithParam<const char*> {
 public:
  void SetUp() override {
    ASSERT_EQ(0, Tool({"create", lab_, "--vms", "2", "--disks", "2", "--clients", "coordinator", "--time-scale",
                       "60"}));
    for (const char* vm : {kVM, kRunningVM})
      for (const char* disk : {"0", "1"}) ASSERT_EQ(0, Tool({"disk", lab_, vm, disk, "write", "--percent", "100"}));
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "power", "off", "--hours", "72"}));
    lab::SetRoot(lab_);
    std::string error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "archiveDays", "2", error)) << error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "archiveRule", "1", error)) << error;
  }
  void TearDown() override { testsupport::TestLab::RemoveProcessTables(dir_.Root()); }

  // The lab tool; its exit status (its output is kept for the failure message).
  int Tool(const std::vector<std::string>& args) { return labrun::RunTool(args, out_); }
  std::string Output() const { return labrun::ReadText(out_); }

  void BackupPhase(int64_t job, const char* level = "1") {
    const int status =
        Tool({"run", lab_, "--job", std::to_string(job), "--", "-t", level, "-numStreams", "1", "-stub"});
    EXPECT_TRUE(status == 0 || status == 1 || status == 2) << Output();
    CheckStreams(job, "the backup phase of job " + std::to_string(job));
  }
  // The stub phase, after copies of every disk the hypervisor has (what a stub would delete).
  void StubPhase(int64_t job, const char* level = "1") {
    TakeCopies();
    const int status =
        Tool({"run", lab_, "--job", std::to_string(job), "--", "-t", level, "-numStreams", "1", "-stub", "-stubPhase"});
    EXPECT_TRUE(status == 0 || status == 1 || status == 2) << Output();
    CheckPromise(job, "the stub phase of job " + std::to_string(job));
  }
  void NextJob(int64_t job) { ASSERT_EQ(0, Tool({"create", lab_, "--job", std::to_string(job)})) << Output(); }

  lab::VMDescription Description(const std::string& vm) {
    lab::VMDescription description;
    EXPECT_TRUE(lab::FindVM(lab::SampleServer(), vm, description)) << vm;
    return description;
  }
  // Copies of every disk the hypervisor has, by VM and disk name; a disk gone keeps its last copy.
  void TakeCopies() {
    for (const testsupport::DiskCopy& copy : testsupport::CopyDisks({kVM, kRunningVM}, dir_.Path("copies")))
      copies_[copy.vm][copy.diskName] = copy.path;
  }
  // Whether the VM is a whole stub: its stub record done and every disk it has deleted.
  bool Stubbed(const std::string& vm) { return promise::IsStub(Description(vm)); }

  // After a job (`when` says which): the disks gone restore to their last bytes, a VM meant to be
  // stubbed that is not says why, no stream stays reserved.
  void CheckPromise(int64_t job, const std::string& when) {
    CheckRestores(when);
    Info record;
    const bool chosen = vsJobMgr::ReadVMStatus(job, Description(kVM).guid, record) &&
                        record.getint64(Info::F_stubStatus) != 0;
    if (chosen && !Stubbed(kVM)) {
      EXPECT_FALSE(WhyNotStubbed(job, kVM).empty()) << when << ": " << kVM << " is not stubbed and does not say why";
    }
    EXPECT_FALSE(Stubbed(kRunningVM)) << when << ": a running VM was stubbed";
    CheckStreams(job, when);
  }
  // The VM's reason with the job manager, or its line of the result file of the job's last phase.
  std::string WhyNotStubbed(int64_t job, const std::string& vm) { return promise::VMReason(job, Description(vm)); }
  void CheckRestores(const std::string& when) {
    for (const char* vm : {kVM, kRunningVM}) {
      const lab::VMDescription description = Description(vm);
      const std::vector<size_t> gone = promise::GoneDisks(description);
      if (gone.empty()) continue;
      const promise::Restore restore =
          promise::RestoreInCopy(lab_, dir_.Path("restore" + std::to_string(++restores_)), description, gone, out_);
      EXPECT_EQ(0, restore.status) << when << ": " << restore.output;
      for (const auto& disk : restore.disks) {
        ASSERT_TRUE(copies_[vm].count(disk.first)) << when << ": " << vm << " lost " << disk.first
                                                   << " before any copy of it";
        EXPECT_TRUE(!disk.second.empty() && disk.second == testsupport::ReadDisk(copies_[vm][disk.first]))
            << when << ": disk " << disk.first << " of " << vm << " does not restore to its last bytes";
      }
    }
  }
  void CheckStreams(int64_t job, const std::string& when) {
    EXPECT_EQ("", promise::StreamsLeftReserved(job)) << when;
  }

  // A rule of the lab tool's fault table on vm01.
  void Fault(const std::vector<std::string>& rule) {
    std::vector<std::string> args = {"fault", lab_};
    args.insert(args.end(), rule.begin(), rule.end());
    args.insert(args.end(), {"--vm", kVM});
    ASSERT_EQ(0, Tool(args)) << Output();
  }
  void ClearFaults() { ASSERT_EQ(0, Tool({"fault", lab_, "clear"})) << Output(); }
  // A guest write over a range of vm01's disk, powered on for it and off again after it.
  void GuestWrite(const char* disk, const char* offset, const char* bytes, bool staysOn = false) {
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "power", "on"}));
    ASSERT_EQ(0, Tool({"disk", lab_, kVM, disk, "write", "--offset", offset, "--bytes", bytes})) << Output();
    if (!staysOn) {
      ASSERT_EQ(0, Tool({"vm", lab_, kVM, "power", "off", "--hours", "72"}));
    }
  }

  // The stub phase of job 1001 held at the stub's disk (after `disks` deleted) and its job process
  // killed there: the run does not end the job (its backup phase's result is no result of the stub
  // phase), and the job manager takes back the stream the process held.
  void KillStubPhaseAt(const std::string& disks) {
    TakeCopies();
    Fault({"hold", "vminfo.StubVMDisk", "--after", disks});
    const pid_t run = labrun::StartTool({"run", lab_, "--job", "1001", "--", "-numStreams", "1", "-stub", "-stubPhase"},
                                        dir_.Path("held.txt"));
    ASSERT_GT(run, 0);
    const std::string log = lab::ClientLogPath("coordinator", "quarn");
    const bool held = labrun::WaitForLab({lab_, log.substr(0, log.rfind('/'))}, [] {
      lab::FaultTable table;
      std::string error;
      return lab::ReadFaultTable(table, error) && !table.rules.empty() && table.rules[0].fired > 0;
    });
    long process = 0;
    for (const std::string& event : lab::ReadRunEvents(1001))
      if (event.compare(0, 8, "started ") == 0) process = std::stol(event.substr(event.rfind("pid=") + 4));
    if (held && process > 0) kill(static_cast<pid_t>(process), SIGKILL);
    ClearFaults();
    const int status = testsupport::WaitProgram(run);
    const std::string when = "the stub phase killed after " + disks + " disks";
    const std::string output = labrun::ReadText(dir_.Path("held.txt"));
    ASSERT_TRUE(held && process > 0) << output;
    const std::string killed = "job 1001: pending: the job process of its stub phase was killed by signal 9";
    EXPECT_EQ(2, status) << when << ": " << output;
    EXPECT_TRUE(labrun::Has(output, killed) && !labrun::Has(output, "job 1001: completed")) << when << ": " << output;
    EXPECT_EQ(0, Tool({"outcome", lab_}));
    EXPECT_EQ(0u, Output().find(killed)) << when << ": " << Output();
    CheckRestores(when);
    CheckStreams(1001, when);
  }

  // The stub phase of job 1001 held at a call (a rule of the lab tool's fault table) and stopped there
  // by `stop`, given the run's process: the phase ends pending with `status` and gives vm01 back as
  // its backup phase left it, saying why it is not stubbed; the job manager's next run (no job or
  // phase named) resumes the stub phase, which stubs vm01 and completes the job.
  void StoppedAt(const std::vector<std::string>& hold, const std::function<void(pid_t)>& stop, int status,
                 bool letGoAtTheSummary) {
    BackupPhase(1001);
    std::vector<std::string> rule = {"fault", lab_, "hold"};
    rule.insert(rule.end(), hold.begin(), hold.end());
    ASSERT_EQ(0, Tool(rule)) << Output();
    TakeCopies();
    const pid_t run = labrun::StartTool({"run", lab_, "--job", "1001", "--", "-numStreams", "1", "-stub", "-stubPhase"},
                                        dir_.Path("stopped.txt"));
    ASSERT_GT(run, 0);
    const bool held = labrun::WaitForLab({lab_}, [] {
      lab::FaultTable table;
      std::string error;
      return lab::ReadFaultTable(table, error) && !table.rules.empty() && table.rules[0].fired > 0;
    });
    if (held) stop(run);
    const std::string log = lab::ClientLogPath("coordinator", "quarn");
    const bool summed = held && labrun::WaitForLab({log.substr(0, log.rfind('/'))}, [&log] {
      return labrun::Has(labrun::ReadText(log), "===== JOB SUMMARY REPORT STUB PHASE");
    });
    // A call held in the start of an agent keeps the job process from ending: it is let go once the
    // phase has summed up its VMs (none is given out after that). One held in a VM's stub is let go
    // once the process has ended, or the worker left running would go on with the stub.
    int stopped = -1;
    if (!letGoAtTheSummary) stopped = testsupport::WaitProgram(run);
    ClearFaults();
    if (letGoAtTheSummary) stopped = testsupport::WaitProgram(run);
    ASSERT_TRUE(lab::ClearJobQuit(1001));
    const std::string output = labrun::ReadText(dir_.Path("stopped.txt"));
    ASSERT_TRUE(held && summed) << output;
    EXPECT_EQ(status, stopped) << output;
    EXPECT_FALSE(Stubbed(kVM)) << output;
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, Description(kVM).guid, record));
    EXPECT_EQ(0, record.getint64(Info::F_vmStatus)) << "the backup phase's result stands: " << output;
    EXPECT_EQ(1, record.getint64(Info::F_stubStatus)) << output;
    CheckPromise(1001, "the stub phase stopped");

    EXPECT_EQ(0, Tool({"run", lab_})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "the stub phase of job 1001 has not ended (")) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "job 1001: completed\n")) << Output();
    CheckPromise(1001, "the stub phase resumed");
    EXPECT_TRUE(Stubbed(kVM)) << "the stub phase's next attempt stubs the VM the stopped one did not";
  }

  // A stub cut off by the hypervisor after `disks` disks; vm01 is then written (running, or off again)
  // and job 1002 backs it up again before its stub is retried.
  void RetryAfterCutOff(const char* disks, bool staysOn) {
    BackupPhase(1001);
    Fault({"add", "vminfo.StubVMDisk", "--code", "3010", "--after", disks});
    StubPhase(1001);
    EXPECT_FALSE(Stubbed(kVM));
    ClearFaults();
    GuestWrite("1", "0", "2097152", staysOn);
    NextJob(1002);
    BackupPhase(1002, "2");
    StubPhase(1002, "2");
    EXPECT_EQ(!staysOn, Stubbed(kVM)) << "a stub cut off is retried once the VM is backed up again";
    if (staysOn) {
      EXPECT_EQ(0, Tool({"verify", lab_, "--job", "1002", "--vm", kVM})) << Output();
    }
  }
  // Something changes vm01 between the phases of job 1001: its stub waits for job 1002's backup.
  void ChangeBetweenPhases(const std::function<void()>& change, bool stubbedAnyway) {
    BackupPhase(1001);
    change();
    StubPhase(1001);
    EXPECT_EQ(stubbedAnyway, Stubbed(kVM));
    if (stubbedAnyway) return;
    NextJob(1002);
    BackupPhase(1002, "2");
    StubPhase(1002, "2");
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1002, kVM);
  }
  void AddDisk() {
    lab::VMDescription description = Description(kVM);
    lab::VMDisk added = description.disks[1];
    added.file = added.file.substr(0, added.file.rfind('/') + 1) + "vm01_2.img";
    std::string error, changeId;
    const std::string image = lab::DiskImagePath(lab::SampleServer(), added.file);
    ASSERT_TRUE(lab::WriteImageAtomic(image, std::string(), added.sizeBytes, error)) << error;
    ASSERT_TRUE(lab::WriteDiskRanges(image, {{0, added.sizeBytes}}, true, 33, changeId, error)) << error;
    ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), kVM, [&](lab::VMDescription& vm, std::string&) {
      vm.disks.push_back(added);
      return true;
    }, error)) << error;
  }
  // The last disk taken off the VM; its image stays where it was.
  void DetachDisk() {
    std::string error;
    ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), kVM, [](lab::VMDescription& vm, std::string&) {
      vm.disks.pop_back();
      return true;
    }, error)) << error;
  }
  // The job process killed at a disk of the stub phase; the job manager's next run of the job (no job
  // or phase named) resumes the stub phase, which finishes the stub.
  void KilledAt(const char* disks) {
    BackupPhase(1001);
    KillStubPhaseAt(disks);
    EXPECT_EQ(0, Tool({"run", lab_})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "the stub phase of job 1001 has not ended (")) << Output();
    EXPECT_FALSE(lab::JobExists(1002)) << Output();
    CheckPromise(1001, "the stub phase resumed");
    EXPECT_TRUE(Stubbed(kVM)) << "the stub phase's next attempt goes on with the stub";
  }
  // A media fault fails vm01's backup phase: its stub phase leaves it whole; the phase run again
  // backs it up, and the stub phase stubs it.
  void MediaFault(const std::vector<std::string>& rule, int64_t job = 1001, const char* level = "1") {
    Fault(rule);
    BackupPhase(job, level);
    StubPhase(job, level);
    EXPECT_FALSE(Stubbed(kVM));
    ClearFaults();
    BackupPhase(job, level);
    StubPhase(job, level);
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(job, kVM);
  }
  // The same in an incremental: vm01 runs through job 1001 and is written, and job 1002 stubs it.
  void MediaFaultInAnIncremental(const std::vector<std::string>& rule) {
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "power", "on"}));
    BackupPhase(1001);
    StubPhase(1001);
    EXPECT_FALSE(Stubbed(kVM));
    GuestWrite("0", "65536", "65536");
    NextJob(1002);
    MediaFault(rule, 1002, "2");
  }


 private:
  testsupport::TestLab dir_;
  const std::string lab_ = dir_.Path("lab");
  const std::string out_ = dir_.Path("tool.txt");
  std::map<std::string, std::map<std::string, std::string>> copies_;  // VM -> disk name -> its last copy
  int restores_ = 0;
};

const std::map<std::string, std::function<void(ArchivingPromise&)>>& Ways() {
  static const std::map<std::string, std::function<void(ArchivingPromise&)>> ways = {
      {"RetryAfterACutOffBeforeAnyDisk", [](ArchivingPromise& t) { t.RetryAfterCutOff("0", false); }},
      {"RetryAfterACutOffAfterOneDisk", [](ArchivingPromise& t) { t.RetryAfterCutOff("1", false); }},
      {"CutOffAndRunningAgain", [](ArchivingPromise& t) { t.RetryAfterCutOff("1", true); }},
      {"AWriteBetweenThePhases",
       [](ArchivingPromise& t) {
         ArchivingPromise& s = t;
         s.ChangeBetweenPhases([&] { s.GuestWrite("1", "65536", "65536"); }, false);
       }},
      {"ADiskAddedBetweenThePhases",
       [](ArchivingPromise& t) {
         ArchivingPromise& s = t;
         s.ChangeBetweenPhases([&] { s.AddDisk(); }, false);
       }},
      {"ADiskDetachedBetweenThePhases",
       [](ArchivingPromise& t) {
         ArchivingPromise& s = t;
         s.ChangeBetweenPhases([&] { s.DetachDisk(); }, true);
       }},
      {"KilledAtTheFirstDisk", [](ArchivingPromise& t) { t.KilledAt("0"); }},
      // Ctrl-C to the run while its agent starts: no VM was given out.
      {"InterruptedBeforeAnyVM",
       [](ArchivingPromise& t) {
         t.StoppedAt({"ra.LaunchAgent", "--client", "coordinator"}, [](pid_t run) { kill(run, SIGINT); }, 130, true);
       }},
      // The job manager's suspend while the VM's stub asks the hypervisor for the VM.
      {"SuspendedInTheVMsStub",
       [](ArchivingPromise& t) {
         t.StoppedAt({"vminfo.GetVMInfoForVM", "--vm", kVM}, [](pid_t) { lab::RequestJobQuit(1001); }, 2, false);
       }},
      {"KilledAtTheSecondDisk", [](ArchivingPromise& t) { t.KilledAt("1"); }},
      {"AnArchiveWriteRefused",
       [](ArchivingPromise& t) {
         t.MediaFault({"add", "archive.write", "--code", "28", "--after", "3"});
       }},
      {"AnArchiveFileNotClosed",
       [](ArchivingPromise& t) { t.MediaFault({"add", "archive.closeArchiveFile", "--code", "28"}); }},
      // Every write refused from the fourth on, until the job manager's resume.
      {"EveryArchiveWriteRefusedUntilTheResume",
       [](ArchivingPromise& t) {
         t.MediaFault({"add", "archive.write", "--code", "5", "--after", "3", "--times", "always"});
       }},
      {"EveryArchiveWriteRefusedUntilTheResumeOfAnIncremental",
       [](ArchivingPromise& t) {
         t.MediaFaultInAnIncremental({"add", "archive.write", "--code", "5", "--after", "3", "--times", "always"});
       }},
  };
  return ways;
}

std::vector<const char*> WayNames() {
  std::vector<const char*> names;
  for (const auto& way : Ways()) names.push_back(way.first.c_str());
  return names;
}

TEST_P(ArchivingPromise, EveryDiskAStubDeletedRestoresAndEveryVMNotStubbedSaysWhy) {
  Ways().at(GetParam())(*this);
}

INSTANTIATE_TEST_SUITE_P(EachWay, ArchivingPromise, testing::ValuesIn(WayNames()),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
