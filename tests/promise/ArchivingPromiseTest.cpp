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

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/archive/ArchiveFormat.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabDisks.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabFiles.h"
#include "platform/lab/LabHistory.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobRun.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabSubclient.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabTasks.h"
#include "records/messages/IdxMetadataMessages.h"
#include "records/messages/JobManagerMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/DiskCopies.h"
#include "support/LabRunSupport.h"
#include "support/PromiseSupport.h"

namespace {

using Info = JobManager::VMUpdateInfo;

const char* const kVM = "vm01";    // idle: the one to be stubbed
const char* const kRunningVM = "vm02";

class ArchivingLab : public testing::Test {
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

  // The backup phase of an archiving job, or (`withStub` false) of a job run without archiving.
  void BackupPhase(int64_t job, const char* level = "1", const char* streams = "1", bool withStub = true) {
    std::vector<std::string> run = {"run", lab_, "--job", std::to_string(job), "--", "-t", level, "-numStreams",
                                    streams};
    if (withStub) run.push_back("-stub");
    const int status = Tool(run);
    EXPECT_TRUE(status == 0 || status == 1 || status == 2) << Output();
    CheckStreams(job, "the backup phase of job " + std::to_string(job));
  }
  // The stub phase, after copies of every disk the hypervisor has (what a stub would delete).
  void StubPhase(int64_t job, const char* level = "1") {
    TakeCopies();
    const int status =
        Tool({"run", lab_, "--job", std::to_string(job), "--", "-t", level, "-numStreams", "1", "-stub", "-stubPhase"});
    EXPECT_TRUE(status == 0 || status == 1 || status == 2) << Output();
    CheckRunNamesStubPhase(job, level);
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
    // A VM relocated was chosen to be moved, not stubbed, and its stub status says it was.
    Info record;
    const bool chosen = vsJobMgr::ReadVMStatus(job, Description(kVM).guid, record) &&
                        record.getint64(Info::F_stubStatus) != 0 &&
                        record.getint64(Info::F_stubStatus) != JobManager::kStubStatusRelocated;
    if (chosen && !Stubbed(kVM)) {
      EXPECT_FALSE(WhyNotStubbed(job, kVM).empty()) << when << ": " << kVM << " is not stubbed and does not say why";
    }
    EXPECT_FALSE(!runningVMIdle_ && Stubbed(kRunningVM)) << when << ": a running VM was stubbed";
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
    const std::string when = "the stub phase killed after " + disks + " disks";
    ASSERT_NO_FATAL_FAILURE(KillStubPhaseHeldAt({"vminfo.StubVMDisk", "--after", disks}, when));
    EXPECT_EQ(0, Tool({"outcome", lab_}));
    EXPECT_EQ(0u, Output().find("job 1001: pending: the job process of its stub phase was killed by signal 9"))
        << when << ": " << Output();
    // vm01 keeps a disk: its stub record names the job as begun, and the stub is not made.
    ASSERT_LT(promise::GoneDisks(Description(kVM)).size(), Description(kVM).disks.size()) << when;
    EXPECT_TRUE(labrun::Has(Output(), "\n  vm01 [" + Description(kVM).guid + "] Its stub by this job begun and not "
                                      "made") &&
                !labrun::Has(Output(), "Stubbed by this job"))
        << when << ": " << Output();
  }
  // The stub phase of job 1001 held at a call of vm01's stub (`hold`, a rule of the fault table) and its
  // job process killed there, as KillStubPhaseAt does at a disk.
  void KillStubPhaseHeldAt(const std::vector<std::string>& hold, const std::string& when) {
    TakeCopies();
    std::vector<std::string> rule = {"hold"};
    rule.insert(rule.end(), hold.begin(), hold.end());
    Fault(rule);
    const KilledRun run = RunStubPhaseKilledAtTheHold();
    ASSERT_TRUE(run.killed) << run.output;
    EXPECT_EQ(2, run.status) << when << ": " << run.output;
    EXPECT_TRUE(labrun::Has(run.output, "job 1001: pending: the job process of its stub phase was killed by signal 9") &&
                !labrun::Has(run.output, "job 1001: completed"))
        << when << ": " << run.output;
    CheckRestores(when);
    CheckStreams(1001, when);
  }
  // The stub phase of job 1001 run until the fault table's hold holds a call, its job process killed
  // there, and the table cleared: the run's exit status and output; `killed` false when the hold
  // never fired.
  struct KilledRun {
    int status = -1;
    std::string output;
    bool killed = false;
  };
  KilledRun RunStubPhaseKilledAtTheHold() {
    return RunKilledAtTheHold(1001, {"-numStreams", "1", "-stub", "-stubPhase"});
  }
  // The job run (`run --job N -- options`) until the fault table's hold holds a call, its job process
  // killed there (and, with `toolToo`, the run's lab tool first, which then gives nothing back), and the
  // table cleared.
  KilledRun RunKilledAtTheHold(int64_t job, const std::vector<std::string>& options, bool toolToo = false) {
    KilledRun result;
    std::vector<std::string> args = {"run", lab_, "--job", std::to_string(job), "--"};
    args.insert(args.end(), options.begin(), options.end());
    const pid_t run = labrun::StartTool(args, dir_.Path("held.txt"));
    if (run <= 0) return result;
    const std::string log = lab::ClientLogPath("coordinator", "quarn");
    const bool held = labrun::WaitForHeldCalls({lab_, log.substr(0, log.rfind('/'))});
    long process = 0;
    for (const std::string& event : lab::ReadRunEvents(job))
      if (event.compare(0, 8, "started ") == 0) process = std::stol(event.substr(event.rfind("pid=") + 4));
    if (held && process > 0) {
      if (toolToo) kill(run, SIGKILL);
      kill(static_cast<pid_t>(process), SIGKILL);
    }
    ClearFaults();
    result.status = testsupport::WaitProgram(run);
    result.output = labrun::ReadText(dir_.Path("held.txt"));
    result.killed = held && process > 0;
    return result;
  }

  // The stub phase of job 1001 held at a call (a rule of the lab tool's fault table) and stopped there
  // by `stop`, given the run's process: the phase ends pending with `status` and gives vm01 back as
  // its backup phase left it, saying why it is not stubbed; the job manager's next run (no job or
  // phase named) resumes the stub phase, which stubs vm01 and completes the job. After a stub cut off
  // (`afterACutOff`: the hypervisor cut vm01's stub off after one disk, the stub phase failed it, its
  // stub to be retried), the attempt that does not end gives vm01 back too, backed up with the reason
  // it is not archived and its stub still failed, or to be archived once it had begun on it again, so
  // that no later attempt of the job takes it for a VM to back up again.
  void StoppedAt(const std::vector<std::string>& hold, const std::function<void(pid_t)>& stop, int status,
                 bool letGoAtTheSummary, bool afterACutOff = false) {
    BackupPhase(1001);
    if (afterACutOff) {
      Fault({"add", "vminfo.StubVMDisk", "--code", "3010", "--after", "1"});
      StubPhase(1001);
      ClearFaults();
      ASSERT_FALSE(Stubbed(kVM));
    }
    std::vector<std::string> rule = {"fault", lab_, "hold"};
    rule.insert(rule.end(), hold.begin(), hold.end());
    ASSERT_EQ(0, Tool(rule)) << Output();
    TakeCopies();
    // An earlier attempt summed up its VMs already: this one's summary is the next.
    const std::string log = lab::ClientLogPath("coordinator", "quarn");
    const std::string summary = "===== JOB SUMMARY REPORT STUB PHASE";
    const size_t summariesBefore = testsupport::CountOf(labrun::ReadText(log), summary);
    const pid_t run = labrun::StartTool({"run", lab_, "--job", "1001", "--", "-numStreams", "1", "-stub", "-stubPhase"},
                                        dir_.Path("stopped.txt"));
    ASSERT_GT(run, 0);
    const bool held = labrun::WaitForHeldCalls({lab_});
    if (held) stop(run);
    const bool summed = held && labrun::WaitForLab({log.substr(0, log.rfind('/'))}, [&] {
      return testsupport::CountOf(labrun::ReadText(log), summary) > summariesBefore;
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
    const int64_t stubStatus = record.getint64(Info::F_stubStatus);
    EXPECT_TRUE(stubStatus == 1 || (afterACutOff && stubStatus == 6)) << stubStatus << ": " << output;
    if (afterACutOff) {
      EXPECT_FALSE(record.getstring(Info::F_failureText).empty()) << "vm01 does not say why it is not archived: "
                                                                  << output;
    }
    const std::string when = afterACutOff ? "the stub phase stopped after a stub cut off" : "the stub phase stopped";
    CheckPromise(1001, when);

    EXPECT_EQ(0, Tool({"run", lab_})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "the stub phase of job 1001 has not ended (")) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "job 1001: completed\n")) << Output();
    CheckPromise(1001, when + ", resumed");
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
  // A disk given to vm01 (a stub's is a new disk: no stub deleted it).
  void AddDisk() {
    std::string error;
    ASSERT_TRUE(promise::GiveVMADisk(kVM, "vm01_2.img", error)) << error;
  }
  // Runs the job (`run --job N -- options`) with vm01's disk 1 in an archive of its own, however the
  // streams come (labrun::RunWithDisk1InAnArchiveOfItsOwn).
  void RunWithDisk1InAnArchiveOfItsOwn(int64_t job, const std::vector<std::string>& options) {
    std::vector<std::string> args = {"run", lab_, "--job", std::to_string(job), "--"};
    args.insert(args.end(), options.begin(), options.end());
    const labrun::Disk1AloneRun run = labrun::RunWithDisk1InAnArchiveOfItsOwn(
        lab_, job, {kVM}, args, dir_.Path("run" + std::to_string(job) + ".txt"));
    ASSERT_EQ("", run.failure) << run.output;
    EXPECT_TRUE(run.status == 0 || run.status == 1 || run.status == 2) << run.output;
  }
  // The index and the media disagree between the phases of job 1001, the index listing each disk of
  // vm01 at the change id the disk has now: its disk 1, backed up in an archive of its own, has that
  // archive lost; or its disk 0, written since, has the index's record of it say the new change id
  // while its backup read the old one. The stub asks the media and deletes nothing.
  void MediaAndIndexDisagree(bool archiveLost) {
    if (archiveLost) {
      ASSERT_NO_FATAL_FAILURE(RunWithDisk1InAnArchiveOfItsOwn(1001, {"-t", "1", "-numStreams", "4", "-stub"}));
      CheckStreams(1001, "the backup phase of job 1001");
    } else {
      BackupPhase(1001, "1", "4");
    }
    lab::SetRoot(lab_);
    const lab::VMDescription vm = Description(kVM);
    const std::string disk0 = lab::LabDiskIndexName(0, vm.disks[0].file);
    if (archiveLost) {
      ASSERT_EQ(0, unlink(archivetest::ArchiveOfDisk1Alone(1001, kVM).path.c_str()));
    } else {
      GuestWrite("0", "65536", "512");
      lab::SetRoot(lab_);
      ASSERT_NO_FATAL_FAILURE(IndexSaysDiskIsAt(vm.guid, disk0,
                                                lab::ImageChangeId(lab::DiskImagePath(lab::SampleServer(),
                                                                                      vm.disks[0].file))));
    }
    StubPhase(1001);
    lab::SetRoot(lab_);
    EXPECT_TRUE(promise::GoneDisks(Description(kVM)).empty()) << "a disk went on a backup the media do not hold";
  }
  // Rewrites the index's record of the VM's disk in job 1001 to say the change id.
  void IndexSaysDiskIsAt(const std::string& guid, const std::string& disk, const std::string& changeId) {
    using VSMeta = IdxMetadata::VirtualServerIdxMetaData;
    std::string error;
    lab::SubclientRecord record;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", record, error)) << error;
    const std::string subclient = record.settings["subclientGUID"];
    std::vector<std::vector<std::string>> entries;
    ASSERT_TRUE(lab::ReadIndexVMEntries(subclient, guid, 1001, entries, error)) << error;
    bool said = false;
    for (auto& entry : entries) {
      if (entry.size() != 4 || entry[0] != "meta" || entry[1] != "disk" || entry[2] != disk) continue;
      IdxMetadata::IdxMetaData metadata;
      ASSERT_TRUE(metadata.deserialize(entry[3], &error)) << error;
      metadata.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, true)->setstring(VSMeta::F_changeId, changeId);
      ASSERT_TRUE(metadata.serialize(entry[3], true));
      said = true;
    }
    ASSERT_TRUE(said) << "the index has no record of disk " << disk;
    ASSERT_TRUE(lab::WriteIndexVMEntries(subclient, guid, 1001, entries, error)) << error;
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
    CheckRunNamesStubPhase(1001, "1");
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

  // ---- The stub phase killed, and runs.log as the job manager's next run finds it ----
  // runs.log of job 1001 kept; its last "started" line without its phase (an older version's line, or
  // that field damaged); deleted (the administrator then names the job); or a "started" line of a
  // process that never ran appended, as an older version wrote it (no phase, no counts).
  enum class RunsLog { kKept, kStartWithoutPhase, kDeleted, kPhantomStart };
  void LeaveRunsLog(RunsLog how) {
    lab::SetRoot(lab_);
    if (how == RunsLog::kPhantomStart) {
      ASSERT_TRUE(lab::AppendRunEvent(1001, "started 1765000000 pid=2147483646"));
      return;
    }
    if (how == RunsLog::kKept) return;
    std::vector<std::string> events = lab::ReadRunEvents(1001);
    ASSERT_EQ(0, unlink(lab::JobFile(1001, "runs.log").c_str()));
    if (how == RunsLog::kDeleted) return;
    auto start = std::find_if(events.rbegin(), events.rend(),
                              [](const std::string& event) { return event.compare(0, 8, "started ") == 0; });
    ASSERT_NE(events.rend(), start);
    const size_t phase = start->find(" phase=");
    ASSERT_NE(std::string::npos, phase);
    start->erase(phase, start->find(' ', phase + 1) - phase);
    for (const std::string& event : events) ASSERT_TRUE(lab::AppendRunEvent(1001, event));
  }
  // vm01 and vm02 off, both to be archived by job 1001, whose stub phase is killed with vm01's stub held
  // at `hold`, and runs.log is left `how`. Until the job manager's next run the job does not read as
  // ended, and outcome says its job process died; that run (of the job named, once runs.log is gone)
  // resumes the stub phase, never the backup phase, and stubs both; every disk a stub deleted restores
  // to its bytes before the stub phase.
  void KilledWithRunsLog(const std::vector<std::string>& hold, const std::string& at, RunsLog how) {
    ASSERT_EQ(0, Tool({"vm", lab_, kRunningVM, "power", "off", "--hours", "72"}));
    BackupPhase(1001);
    const std::string when = "the stub phase killed " + at;
    ASSERT_NO_FATAL_FAILURE(KillStubPhaseHeldAt(hold, when));
    ASSERT_NO_FATAL_FAILURE(LeaveRunsLog(how));
    EXPECT_EQ(0, Tool({"outcome", lab_, "--job", "1001"}));
    EXPECT_EQ(0u, Output().find("job 1001: pending")) << when << ", runs.log left: the job reads as ended while VMs "
                                                         "it was to archive are not archived: " << Output();
    // Why: the job process's death, not an error it logged before (every stub phase logs that it has no
    // VM collect file). The run's phase is known from runs.log or, without it, from the VMs.
    const std::string why = how == RunsLog::kKept ? "of its stub phase was killed by signal 9 before it logged a "
                                                    "pending cause"
                            : how == RunsLog::kStartWithoutPhase
                                ? "was killed by signal 9 before it logged a pending cause"
                                : "of its stub phase did not end: it was killed, or died, before it set a result";
    EXPECT_TRUE(labrun::Has(Output(), "\nwhy: the job process " + why + "\n")) << when << ": " << Output();
    const std::vector<std::string> next =
        how == RunsLog::kDeleted ? std::vector<std::string>{"run", lab_, "--job", "1001"} : std::vector<std::string>{"run", lab_};
    EXPECT_EQ(0, Tool(next)) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "the stub phase of job 1001 has not ended (")) << Output();
    CheckRunNamesStubPhase(1001, "1");
    EXPECT_TRUE(labrun::Has(Output(), "job 1001: completed\n")) << Output();
    EXPECT_FALSE(lab::JobExists(1002)) << Output();
    CheckRestores(when + ", the stub phase resumed");
    CheckStreams(1001, when + ", the stub phase resumed");
    for (const char* vm : {kVM, kRunningVM}) EXPECT_TRUE(Stubbed(vm)) << vm << ": " << WhyNotStubbed(1001, vm);
  }
  // vm01's stub cut off by the hypervisor after its first disk (the stub phase sets its stub failed)
  // and the stub phase's job process killed as it sets its result, runs.log then left `how`: the job
  // manager holds vm01 taken by the stub phase, half stubbed. Until the next run the job does not read
  // as ended; that run resumes the stub phase, never the backup phase, which retries the stub and
  // completes the job, and both disks restore to their bytes before the stub phase.
  void KilledAfterACutOffWithRunsLog(RunsLog how) {
    BackupPhase(1001);
    const std::string when = "the stub phase killed after vm01's stub was cut off";
    TakeCopies();
    ASSERT_EQ(0, Tool({"fault", lab_, "hold", "jobmgr.setPhaseResult"})) << Output();
    Fault({"add", "vminfo.StubVMDisk", "--code", "3010", "--after", "1"});
    const KilledRun run = RunStubPhaseKilledAtTheHold();
    EXPECT_EQ(2, run.status) << run.output;
    ASSERT_TRUE(run.killed) << run.output;
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, Description(kVM).guid, record));
    ASSERT_EQ(lab::kVMStubStatusStubFailed, record.getint64(Info::F_stubStatus)) << when;
    ASSERT_EQ(1u, promise::GoneDisks(Description(kVM)).size()) << when << ": vm01 is not half stubbed";
    CheckRestores(when);
    ASSERT_NO_FATAL_FAILURE(LeaveRunsLog(how));
    EXPECT_EQ(0, Tool({"outcome", lab_, "--job", "1001"}));
    EXPECT_EQ(0u, Output().find("job 1001: pending")) << when << ", runs.log left: the job reads as ended while vm01 "
                                                         "is half stubbed: " << Output();
    // Once runs.log is gone the administrator names the job.
    std::vector<std::string> next = {"run", lab_};
    if (how == RunsLog::kDeleted) next.insert(next.end(), {"--job", "1001"});
    EXPECT_EQ(0, Tool(next)) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "the stub phase of job 1001 has not ended (")) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "job 1001: completed\n")) << Output();
    CheckPromise(1001, when + ", the stub phase resumed");
    EXPECT_TRUE(Stubbed(kVM)) << "the resumed stub phase leaves the stub cut off: " << WhyNotStubbed(1001, kVM);
  }
  // Job 1001 stubs vm01; job 1002's backup phase goes pending, vm02's archive file not created, beside
  // vm01, job 1001's stub. That stub is no trace of job 1002's stub phase: the job manager's next run
  // resumes the backup phase, which backs vm02 up (it restores as of job 1002 to its bytes before the
  // job) and completes the job.
  void PendingBesideAnEarlierJobsStub() {
    BackupPhase(1001);
    StubPhase(1001);
    ASSERT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1001, kVM);
    NextJob(1002);
    // vm02 written since job 1001: only a backup of it by job 1002 restores as of that job to its bytes.
    ASSERT_EQ(0, Tool({"disk", lab_, kRunningVM, "1", "write", "--offset", "65536", "--bytes", "65536"})) << Output();
    TakeCopies();
    ASSERT_EQ(0, Tool({"fault", lab_, "add", "archive.createArchiveFile", "--vm", kRunningVM, "--code", "28", "--times",
                       "always"}))
        << Output();
    BackupPhase(1002);
    ClearFaults();
    EXPECT_EQ(0, Tool({"outcome", lab_, "--job", "1002"}));
    ASSERT_EQ(0u, Output().find("job 1002: pending\n")) << Output();
    EXPECT_EQ(0, Tool({"run", lab_})) << Output();
    EXPECT_FALSE(labrun::Has(Output(), "the stub phase of job 1002")) << "an earlier job's stub taken for the job's: "
                                                                      << Output();
    EXPECT_TRUE(labrun::Has(Output(), "job 1002: completed\n")) << Output();
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, Description(kRunningVM).guid, record));
    EXPECT_EQ(lab::kVMStatusBackedUp, record.getint64(Info::F_vmStatus)) << WhyNotStubbed(1002, kRunningVM);
    CheckRunningVMRestoresAsOf(1002);
    CheckPromise(1002, "job 1002 resumed");
  }
  // Job 1001 stubs vm01, or the hypervisor cuts its stub off after one disk (`cutOff`: the stub phase
  // fails); then the job's backup phase is run again, a later attempt, without the archiving flag (as a
  // resume passes none). The disks the stub deleted still restore from the attempt the stub was made
  // on, and the backup phase says it left vm01 alone; the job's stub phase then finishes a stub cut off.
  void BackupPhaseRunAgainOverItsStub(bool cutOff) {
    BackupPhase(1001);
    if (cutOff) Fault({"add", "vminfo.StubVMDisk", "--code", "3010", "--after", "1"});
    StubPhase(1001);
    ClearFaults();
    EXPECT_EQ(!cutOff, Stubbed(kVM));
    const int status = Tool({"run", lab_, "--job", "1001", "--", "-t", "1", "-numStreams", "1"});
    EXPECT_TRUE(status == 0 || status == 1) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "vm01 [" + Description(kVM).guid + "] ") &&
                labrun::Has(Output(), "Left as this job's stub phase"))
        << "the backup phase does not say it left vm01 alone: " << Output();
    CheckRestores("the job's backup phase run again over its stub");
    CheckStreams(1001, "the job's backup phase run again over its stub");
    if (!cutOff) return;
    StubPhase(1001);
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1001, kVM);
  }

  // ---- A stub that does not finish, then the jobs that follow ----
  // How job 1001's stub of vm01 does not finish: its disk delete fails, the hypervisor's stub fails, the
  // stub's check reads the chain whole and finds a byte of it changed, or the stub is cut off after one
  // disk; or (kFinished) it finishes. Each leaves vm01's stub record on the hypervisor "in progress".
  enum class StubEnd { kDiskDeleteFails, kStubFails, kChainFoundDamaged, kCutOffAfterOneDisk, kFinished };
  // Then an archiving job at once, or a plain incremental (no archiving) and two archiving jobs. Every
  // job that reports vm01 backed up or stubbed holds it: `verify --job N` finds no problem and `vm
  // restore --job N` gives exactly the bytes vm01 had before job N; the stub finishes in the first
  // archiving job after, and every disk it deleted restores to its bytes before that job.
  void UnfinishedStubThen(StubEnd end, bool plainJobBetween) {
    CopiesBefore(1001);
    BackupPhase(1001);
    switch (end) {
      case StubEnd::kDiskDeleteFails: Fault({"add", "vminfo.StubVMDisk", "--code", "5", "--times", "1"}); break;
      case StubEnd::kStubFails: Fault({"add", "vminfo.StubVM", "--code", "5", "--times", "1"}); break;
      case StubEnd::kCutOffAfterOneDisk: Fault({"add", "vminfo.StubVMDisk", "--code", "3010", "--after", "1"}); break;
      case StubEnd::kChainFoundDamaged: {
        lab::SetRoot(lab_);
        const std::vector<lab::ArchiveLocation> archives = lab::ListVMArchiveFiles(1001, Description(kVM).guid);
        ASSERT_FALSE(archives.empty());
        std::error_code failed;
        archivetest::FlipByte(archives.front().path, std::filesystem::file_size(archives.front().path, failed) / 2);
        damagedJob_ = 1001;
        break;
      }
      case StubEnd::kFinished: break;
    }
    StubPhase(1001);
    ClearFaults();
    EXPECT_EQ(end == StubEnd::kFinished, Stubbed(kVM));
    // The job the test damaged holds what it held no more.
    if (end != StubEnd::kChainFoundDamaged) CheckJobHoldsVM(1001);
    int64_t job = 1002;
    if (plainJobBetween) {
      WriteWhatIsLeft(1);
      CopiesBefore(job);
      NextJob(job);
      const int status = Tool({"run", lab_, "--job", std::to_string(job), "--", "-t", "2", "-numStreams", "1"});
      EXPECT_EQ(0, status) << Output();
      CheckStreams(job, "the plain job");
      CheckJobHoldsVM(job++);
    }
    for (int archiving = 0; archiving < (plainJobBetween ? 2 : 1); ++archiving, ++job) {
      WriteWhatIsLeft(2 + archiving);
      CopiesBefore(job);
      NextJob(job);
      BackupPhase(job, "2");
      StubPhase(job, "2");
      EXPECT_TRUE(Stubbed(kVM)) << "job " << job << ": " << WhyNotStubbed(job, kVM);
      CheckJobHoldsVM(job);
    }
  }
  // A guest write to each disk vm01 still has (none once it is a stub).
  void WriteWhatIsLeft(int seed) {
    lab::SetRoot(lab_);
    const lab::VMDescription vm = Description(kVM);
    for (size_t i = 0; i < vm.disks.size(); ++i) {
      if (vm.disks[i].deleted) continue;
      ASSERT_EQ(0, Tool({"disk", lab_, kVM, std::to_string(i), "write", "--offset", std::to_string(65536 * seed),
                         "--bytes", "65536", "--seed", std::to_string(seed)}))
          << Output();
    }
  }
  // Copies of vm01's disks just before the job; a disk gone keeps the copy taken before it went, one the VM
  // no longer has (detached) none.
  void CopiesBefore(int64_t job) {
    lab::SetRoot(lab_);
    if (job > 1001) before_[job] = before_[job - 1];
    const lab::VMDescription vm = Description(kVM);
    for (auto copy = before_[job].begin(); copy != before_[job].end();) {
      bool had = false;
      for (size_t i = 0; i < vm.disks.size(); ++i)
        had = had || lab::LabDiskIndexName(i, vm.disks[i].file) == copy->first;
      copy = had ? std::next(copy) : before_[job].erase(copy);
    }
    for (const testsupport::DiskCopy& copy :
         testsupport::CopyDisks({kVM}, dir_.Path("before" + std::to_string(job))))
      before_[job][copy.diskName] = copy.path;
  }
  // The job holds vm01 as it was before the job: verify of it finds nothing wrong, and a restore as of
  // it gives back exactly those bytes.
  void CheckJobHoldsVM(int64_t job) {
    const std::string jobText = std::to_string(job);
    // verify as of a job reads the archives of the jobs before it too: the one damaged is its one problem.
    const bool damagedBefore = damagedJob_ != 0 && damagedJob_ < job;
    EXPECT_EQ(damagedBefore ? 1 : 0, Tool({"verify", lab_, "--job", jobText, "--vm", kVM}))
        << "job " << job << ": " << Output();
    if (damagedBefore) {
      EXPECT_TRUE(labrun::Has(Output(), "/" + std::to_string(damagedJob_) + "/") && labrun::Has(Output(), ": 1 problem\n"))
          << "job " << job << ": " << Output();
    }
    CheckRestoreAsOf(job, job);
  }
  // `vm restore --job` of the job gives back exactly the bytes vm01 had before job `copiesOf`.
  void CheckRestoreAsOf(int64_t job, int64_t copiesOf) {
    const promise::Restore restore = promise::RestoreAsOfJobInCopy(lab_, dir_.Path("asof" + std::to_string(job)), kVM,
                                                                   job, dir_.Path("asof.txt"));
    ASSERT_EQ(0, restore.status) << "vm restore --job " << job << ": " << restore.output;
    EXPECT_EQ(before_[copiesOf].size(), restore.disks.size()) << restore.output;
    for (const auto& disk : before_[copiesOf]) {
      EXPECT_TRUE(restore.disks.count(disk.first) && restore.disks.at(disk.first) == testsupport::ReadDisk(disk.second))
          << "vm restore --job " << job << " gives back other bytes than disk " << disk.first << " had before job "
          << copiesOf << ": " << restore.output;
    }
  }
  // A stub record of this subclient, made, on vm01 that was never stubbed (as a VM cloned from a stub
  // carries it), naming `namedJob`: the archiving job backs vm01 up whole and says so, then stubs it.
  void ForgedStubRecord(int64_t namedJob) {
    ASSERT_NO_FATAL_FAILURE(ForgeStubRecord(namedJob));
    CopiesBefore(1001);
    BackupPhase(1001);
    Info status;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, Description(kVM).guid, status));
    EXPECT_EQ(0, status.getint64(Info::F_vmStatus));
    EXPECT_TRUE(labrun::Has(status.getstring(Info::F_failureText), "Not a stub"))
        << "vm01 does not say what became of its stub record: " << status.getstring(Info::F_failureText);
    CheckJobHoldsVM(1001);
    StubPhase(1001);
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1001, kVM);
    CheckJobHoldsVM(1001);
  }

  // ---- A stub record no stub stands behind, lost or unanswered index records, a failed backup phase ----
  // The outcome of the job, as `outcome` says it: its first line.
  std::string OutcomeLine(int64_t job) {
    EXPECT_EQ(0, Tool({"outcome", lab_, "--job", std::to_string(job)})) << Output();
    const std::string out = Output();
    return out.substr(0, out.find('\n'));
  }
  // vm01's status text with the job manager in the job.
  std::string StatusText(int64_t job) {
    Info record;
    EXPECT_TRUE(vsJobMgr::ReadVMStatus(job, Description(kVM).guid, record));
    return record.getstring(Info::F_failureText);
  }
  // An archiving job at `level` (the first one, job 1001, a full), copies of vm01's disks taken before it.
  void ArchivingJob(int64_t job, const char* level = "2") {
    CopiesBefore(job);
    if (job != 1001) NextJob(job);
    BackupPhase(job, level);
    StubPhase(job, level);
  }
  // An archiving job that stubs vm01 and holds it as it was before the job.
  void ArchivingJobThatStubsVM01(int64_t job, const char* level = "2") {
    ArchivingJob(job, level);
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(job, kVM);
    CheckJobHoldsVM(job);
  }
  // Job 1001 stubs vm01; its user gives it a new disk and writes to it, the VM powered on or left off;
  // then two archiving jobs at `level`. A stub made deleted every disk the VM had: each job backs vm01
  // up whole, its new disk with it, and holds it as it was before the job; an idle vm01 is stubbed again.
  void AStubGivenADisk(const char* level, bool poweredOn) {
    ArchivingJob(1001, "1");
    ASSERT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1001, kVM);
    CheckJobHoldsVM(1001);
    ASSERT_NO_FATAL_FAILURE(AddDisk());
    if (poweredOn) {
      ASSERT_EQ(0, Tool({"vm", lab_, kVM, "power", "on"}));
    }
    for (int64_t job : {1002, 1003}) {
      WriteWhatIsLeft(static_cast<int>(job - 1000));
      CopiesBefore(job);
      NextJob(job);
      BackupPhase(job, level);
      const bool stubbedBefore = Stubbed(kVM);
      if (!stubbedBefore) {
        EXPECT_TRUE(labrun::Has(StatusText(job), "Not a stub, though it carries a stub record of this subclient"))
            << "job " << job << ": " << StatusText(job);
      }
      StubPhase(job, level);
      EXPECT_EQ("job " + std::to_string(job) + ": completed", OutcomeLine(job));
      EXPECT_EQ(!poweredOn, Stubbed(kVM)) << "job " << job << ": " << WhyNotStubbed(job, kVM);
      CheckJobHoldsVM(job);
    }
  }
  // Job 1001 stubs vm01 and job 1002 reports the stub; then vm01 is given a disk. The disk is not the
  // VM's as of job 1002 (the stub of job 1001 that the job reported had disks 0 and 1): verify as of the
  // job says so and finds no problem, and `vm restore --job 1002` gives back disks 0 and 1 as they were
  // before the job and leaves the new disk as it is, saying why; job 1003 backs it up, and both agree
  // again as of that job. So too once the job manager's record of vm01 in job 1002 is lost
  // (`jobManagersRecordLost`): the index's record of the job still names the stub, and no record says
  // otherwise.
  void ADiskGivenToAStubAfterItsJob(bool jobManagersRecordLost = false) {
    ArchivingJob(1001, "1");
    ASSERT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1001, kVM);
    ArchivingJob(1002);
    CheckJobHoldsVM(1002);
    if (jobManagersRecordLost) {
      ASSERT_EQ(0, unlink(lab::VMStatusPath(1002, Description(kVM).guid).c_str()));
    }
    ASSERT_NO_FATAL_FAILURE(AddDisk());
    CheckJobHoldsVM(1002);
    CheckGivenSinceIsLeft(1002, "scsi0-2-vm01_2.img");
    ArchivingJobThatStubsVM01(1003);
  }
  // Job 1001 a full; archiving fulls 1002 and 1003 stub vm01 and report the stub; vm01 is given a disk,
  // written, and archiving full 1004 backs it up and stubs it again. The administrator restores vm01 in
  // place as of job 1003 (the given disk stays as the stub of job 1004 left it), the job manager's record
  // of vm01 in job 1004 is lost, and job 1004 is run again: its later attempt backs up disks 0 and 1 and
  // stubs them, and the given disk keeps its backup by the first attempt. Job 1004 holds vm01 with all
  // three disks, as each was before the attempt that backed it up; so does the next archiving job, and
  // the stub comes back in place whole.
  void AGivenDiskKeptByItsStubsJobRunAgainAfterItsRecordLost() {
    CopiesBefore(1001);
    BackupPhase(1001, "1", "1", false);
    CheckJobHoldsVM(1001);
    ArchivingJobThatStubsVM01(1002, "1");
    ArchivingJobThatStubsVM01(1003, "1");
    ASSERT_NO_FATAL_FAILURE(AddDisk());
    WriteWhatIsLeft(4);
    ArchivingJobThatStubsVM01(1004, "1");
    const std::string given = "scsi0-2-vm01_2.img";
    const std::string givenBefore = before_[1004][given];
    ASSERT_FALSE(givenBefore.empty());
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "restore", "--job", "1003"})) << Output();
    ASSERT_EQ(1u, promise::GoneDisks(Description(kVM)).size()) << "the given disk came back as of job 1003";
    lab::SetRoot(lab_);
    ASSERT_EQ(0, unlink(lab::VMStatusPath(1004, Description(kVM).guid).c_str()));
    CopiesBefore(1004);
    before_[1004][given] = givenBefore;
    BackupPhase(1004, "1");
    StubPhase(1004, "1");
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1004, kVM);
    for (int64_t job : {1004, 1003, 1002}) CheckJobHoldsVM(job);
    ArchivingJobThatStubsVM01(1005);
    EXPECT_EQ("job 1005: completed", OutcomeLine(1005));
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "restore"})) << Output();
    EXPECT_TRUE(promise::GoneDisks(Description(kVM)).empty()) << Output();
    CheckJobHoldsVM(1005);
  }
  // vm01's stub cut off after disk 0 by job 1001, whose archive of vm01 is then lost: disk 0 comes back no
  // more. The next archiving job backs up disk 1, and its stub phase deletes nothing: a restore of the
  // stub brings back every disk or none, so disk 1 would come back with no restore either. vm01 says why.
  void AStubWhoseDeletedDiskComesBackNoMoreIsNotTakenFurther() {
    BackupPhase(1001);
    Fault({"add", "vminfo.StubVMDisk", "--code", "3010", "--after", "1"});
    StubPhase(1001);
    ClearFaults();
    ASSERT_EQ(1u, promise::GoneDisks(Description(kVM)).size());
    lab::SetRoot(lab_);
    for (const lab::ArchiveLocation& archive : lab::ListVMArchiveFiles(1001, Description(kVM).guid))
      ASSERT_EQ(0, unlink(archive.path.c_str()));
    NextJob(1002);
    BackupPhase(1002, "2");
    const int status =
        Tool({"run", lab_, "--job", "1002", "--", "-t", "2", "-numStreams", "1", "-stub", "-stubPhase"});
    EXPECT_TRUE(status == 1 || status == 2) << Output();
    EXPECT_EQ(1u, promise::GoneDisks(Description(kVM)).size()) << "a stub deleted disk 1, which would come back with "
                                                                  "no restore: " << Output();
    EXPECT_TRUE(labrun::Has(WhyNotStubbed(1002, kVM), "does not come back")) << WhyNotStubbed(1002, kVM);
  }
  // Job 1001 stubs vm01, job 1002 reports the stub, and the administrator restores it (`vm restore`):
  // verify as of job 1002 checks its disks as any VM's, against what the backup that holds each took,
  // and agrees with the restore as of the job; job 1003 backs the whole VM up and stubs it again. So too
  // once the job manager's record of vm01 in the stub's job is lost (`stubsJobRecordsLost`), and the
  // index's record of it there (`andItsIndexRecord`): the index's record of vm01 in job 1002 names the
  // stub's job.
  void AStubRestoredThenItsJobVerified(bool stubsJobRecordsLost = false, bool andItsIndexRecord = false) {
    ArchivingJob(1001, "1");
    ASSERT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1001, kVM);
    ArchivingJob(1002);
    if (stubsJobRecordsLost) {
      ASSERT_EQ(0, unlink(lab::VMStatusPath(1001, Description(kVM).guid).c_str()));
      if (andItsIndexRecord) ASSERT_EQ(0, unlink(IndexRecordPath(1001, Description(kVM).guid).c_str()));
    }
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "restore"})) << Output();
    ASSERT_TRUE(promise::GoneDisks(Description(kVM)).empty());
    CheckJobHoldsVM(1002);
    EXPECT_TRUE(labrun::Has(Output(), "matches the point-in-time copy of job 1001") &&
                !labrun::Has(Output(), "nothing to check"))
        << "verify as of job 1002 does not check the disks of the stub restored since: " << Output();
    WriteWhatIsLeft(3);
    ArchivingJobThatStubsVM01(1003);
  }
  // A "stubbed" record of this subclient naming job 1001 on vm01, which job 1001 backed up whole and did
  // not stub (it ran then), and has every disk; job 1002's index answers fail at its second question of
  // vm01 (`always`: every one). The hypervisor shows the VM is no stub: the job backs it up and holds it.
  // Its backup phase asks the index of vm01 once, for its last backup (a record of an earlier job is
  // judged without the index): the second question is the stub phase's, and vm01 is then not stubbed,
  // saying why.
  void AStubbedRecordOnAWholeVMWhileTheIndexDoesNotAnswer(bool always) {
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "power", "on"}));
    ArchivingJob(1001, "1");
    ASSERT_FALSE(Stubbed(kVM));
    CheckJobHoldsVM(1001);
    ASSERT_NO_FATAL_FAILURE(ForgeStubRecord(1001));
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "power", "off", "--hours", "72"}));
    WriteWhatIsLeft(2);
    CopiesBefore(1002);
    NextJob(1002);
    if (always) {
      Fault({"add", "index.GetVMMetadata", "--code", "5", "--times", "always"});
    } else {
      Fault({"add", "index.GetVMMetadata", "--code", "5", "--after", "1", "--times", "1"});
    }
    BackupPhase(1002, "2");
    if (always) {
      EXPECT_LE(1, FaultsFired()) << "no index answer of the backup phase failed";
    }
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, Description(kVM).guid, record));
    const int64_t status = record.getint64(Info::F_vmStatus);
    if (status == 0) {
      EXPECT_TRUE(labrun::Has(StatusText(1002), "Not a stub")) << StatusText(1002);
      CheckJobHoldsVM(1002);
    } else {
      EXPECT_FALSE(StatusText(1002).empty()) << "vm01 is not backed up and does not say why";
    }
    EXPECT_NE(5, record.getint64(Info::F_stubStatus)) << "reported stubbed with every disk of it there";
    StubPhase(1002, "2");
    if (!always) {
      EXPECT_EQ(1, FaultsFired()) << "the index's answer the row fails was never asked for";
      EXPECT_FALSE(Stubbed(kVM));
      EXPECT_FALSE(WhyNotStubbed(1002, kVM).empty()) << "vm01 is not stubbed and does not say why";
    }
    ClearFaults();
    EXPECT_FALSE(Stubbed(kVM) && status != 0) << "stubbed on no backup of job 1002";
    if (status == 0) CheckJobHoldsVM(1002);
  }
  // The VM's stub record of this subclient, made, naming `namedJob`, as a VM cloned from a stub carries it.
  void ForgeStubRecord(int64_t namedJob) {
    VirtualServer::VMArchivingData record;
    record.setstring(VirtualServer::VMArchivingData::F_stubVersion, "1.0.0");
    record.setint64(VirtualServer::VMArchivingData::F_stubSubclientId, 1);  // the lab's Keyrealm number is 0
    record.setint64(VirtualServer::VMArchivingData::F_stubState, VMInfoStructs::STUB_STATE_SUCCESSFULLY_STUBBED);
    record.setint64(VirtualServer::VMArchivingData::F_stubJobId, namedJob);
    std::string text, error;
    ASSERT_TRUE(record.serialize(text, true));
    lab::SetRoot(lab_);
    ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), kVM, [&](lab::VMDescription& vm, std::string&) {
      vm.options[lab::kStubRecordOption] = text;
      return true;
    }, error)) << error;
  }
  // How the index's record of vm01 in job 1001 is lost before the job's backup phase runs again; or
  // (kKept) kept, the job manager's record of vm01 in the job removed instead.
  enum class IndexLoss { kRemoved, kCutShort, kQueryFails, kKept };
  // The index's record of the VM's backup by the job.
  std::string IndexRecordPath(int64_t job, const std::string& guid) {
    std::string error;
    lab::SubclientRecord subclient;
    EXPECT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error)) << error;
    const std::string dir = lab::IndexVMDir(subclient.settings["subclientGUID"], guid, error);
    EXPECT_FALSE(dir.empty()) << error;
    return dir + "/" + std::to_string(job) + ".idx";
  }
  // Job 1001's stub of vm01 cut off after its first disk; the index's record of vm01 in the job lost
  // (`loss`); the job's backup phase run again, with or without the archiving flag. The stub deleted a
  // disk of the job's backup, and vm01 still has the other: the later attempt leaves vm01 as the stub
  // phase left it only while the index shows that the job's backup holds that disk, and the job's stub
  // phase finishes the stub. Otherwise nothing shows it, and vm01 fails saying why, neither backed up
  // over the disk the stub deleted nor reported: the stub phase has nothing of it to stub, and the next
  // archiving job backs it up and stubs it. Every disk comes back from `vm restore` and `vm restore
  // --job N`, and verify agrees.
  void ACutOffStubWhoseIndexRecordIsLostThenTheBackupPhaseAgain(IndexLoss loss, bool withStub) {
    CopiesBefore(1001);
    BackupPhase(1001);
    Fault({"add", "vminfo.StubVMDisk", "--code", "5", "--after", "1", "--times", "1"});
    StubPhase(1001);
    ClearFaults();
    ASSERT_EQ(1u, promise::GoneDisks(Description(kVM)).size()) << "vm01 is not half stubbed";
    const std::string record = IndexRecordPath(1001, Description(kVM).guid);
    switch (loss) {
      case IndexLoss::kRemoved: ASSERT_EQ(0, unlink(record.c_str())); break;
      case IndexLoss::kCutShort: {
        const std::string text = labrun::ReadText(record);
        ASSERT_FALSE(text.empty());
        ASSERT_TRUE(lab::WriteFileAtomic(record, text.substr(0, text.size() / 2)));
        break;
      }
      case IndexLoss::kQueryFails:
        // Its first question of vm01 is the backup's own, of vm01's last backup: the second is the one a
        // later attempt asks of the job's backup of it.
        Fault({"add", "index.GetVMMetadata", "--code", "5", "--after", "1", "--times", "1"});
        break;
      case IndexLoss::kKept: ASSERT_EQ(0, unlink(lab::VMStatusPath(1001, Description(kVM).guid).c_str())); break;
    }
    BackupPhase(1001, "1", "2", withStub);
    if (loss == IndexLoss::kQueryFails) {
      EXPECT_EQ(1, FaultsFired()) << "the index's answer the row fails was never asked for";
    }
    ClearFaults();
    const bool left = loss == IndexLoss::kKept;
    if (left) {
      EXPECT_TRUE(labrun::Has(StatusText(1001), "Left as this job's stub phase began its stub"))
          << "the backup phase run again does not leave vm01 as its stub phase left it: " << StatusText(1001);
    } else {
      ASSERT_NO_FATAL_FAILURE(CheckFailedNeitherBackedUpNorReported(1001, "nothing shows that the job's backup of it "
                                                                          "holds it"));
    }
    CheckRestores("the job's backup phase run again over its stub cut off, the index's record lost");
    EXPECT_EQ(left ? "job 1001: completed" : "job 1001: completed with errors", OutcomeLine(1001));
    CheckJobHoldsVM(1001);
    StubPhase(1001);
    EXPECT_EQ(left ? "job 1001: completed" : "job 1001: completed with errors", OutcomeLine(1001));
    EXPECT_EQ(left, Stubbed(kVM)) << WhyNotStubbed(1001, kVM);
    CheckJobHoldsVM(1001);
    ArchivingJobThatStubsVM01(1002);
  }

  // ---- A later attempt of a job's backup phase over the job's own stub, the job's records of it lost ----
  // The calls the fault table's rules made fail so far.
  int64_t FaultsFired() {
    lab::SetRoot(lab_);
    lab::FaultTable table;
    std::string error;
    EXPECT_TRUE(lab::ReadFaultTable(table, error)) << error;
    int64_t fired = 0;
    for (const lab::FaultRule& rule : table.rules) fired += rule.fired;
    return fired;
  }
  // vm01 failed in the job's latest attempt, saying why (`why` part of it): its status with the job
  // manager, its line of the result file and its reason, which names what the next job does.
  void CheckFailedNeitherBackedUpNorReported(int64_t job, const std::string& why) {
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(job, Description(kVM).guid, record));
    const int64_t status = record.getint64(Info::F_vmStatus);
    EXPECT_TRUE(status != lab::kVMStatusBackedUp && status != lab::kVMStatusBackedUpWithErrors &&
                status != lab::kVMStatusToBeBackedUp)
        << "job " << job << " reports vm01 " << status << ": " << StatusText(job);
    EXPECT_EQ(0, record.getint64(Info::F_stubStatus));
    const std::string text = StatusText(job);
    EXPECT_TRUE(labrun::Has(text, "Neither backed up nor reported: ") && labrun::Has(text, why) &&
                labrun::Has(text, "the next job backs it up"))
        << text;
    EXPECT_EQ(0, Tool({"outcome", lab_, "--job", std::to_string(job)}));
    EXPECT_TRUE(labrun::Has(Output(), "\n  vm01 Skipped Neither backed up nor reported: ")) << Output();
  }
  // Job 1001 a full without archiving; vm01 written, then the archiving job 1002 stubs it, or (`cutOff`)
  // its stub is cut off after disk 0.
  void StubbedByJob1002(bool cutOff) {
    CopiesBefore(1001);
    EXPECT_EQ(0, Tool({"run", lab_, "--job", "1001", "--", "-t", "1", "-numStreams", "2"})) << Output();
    CheckJobHoldsVM(1001);
    WriteWhatIsLeft(2);
    CopiesBefore(1002);
    NextJob(1002);
    BackupPhase(1002, "2", "2");
    if (cutOff) Fault({"add", "vminfo.StubVMDisk", "--code", "5", "--after", "1", "--times", "1"});
    StubPhase(1002, "2");
    ClearFaults();
    ASSERT_EQ(cutOff ? 1u : 2u, promise::GoneDisks(Description(kVM)).size());
    CheckJobHoldsVM(1002);
  }
  // Job 1002's stub of vm01 made or cut off, then the index's record of vm01 in the job and the job
  // manager's record of it lost; the job's backup phase run again. The hypervisor still shows the
  // job's stub (no disk left, or disk 0 deleted on job 1002): vm01 is left as a stub made, or fails
  // (nothing shows that the job's backup holds its disk 1), and is never backed up over the backup its
  // stub deleted disks on; the next archiving job finishes the stub.
  void TheJobsRecordsOfItsStubLostThenTheBackupPhaseAgain(bool cutOff, bool withStub) {
    ASSERT_NO_FATAL_FAILURE(StubbedByJob1002(cutOff));
    const std::string guid = Description(kVM).guid;
    ASSERT_EQ(0, unlink(IndexRecordPath(1002, guid).c_str()));
    ASSERT_EQ(0, unlink(lab::VMStatusPath(1002, guid).c_str()));
    BackupPhase(1002, "2", "2", withStub);
    EXPECT_FALSE(labrun::Has(StatusText(1002), "Not a stub")) << StatusText(1002);
    if (cutOff) {
      ASSERT_NO_FATAL_FAILURE(CheckFailedNeitherBackedUpNorReported(1002, "it has disk [scsi0-1-vm01_1.img], and "
                                                                          "nothing shows that the job's backup of it "
                                                                          "holds it"));
    } else {
      EXPECT_TRUE(labrun::Has(StatusText(1002), "Left as this job's stub phase stubbed it")) << StatusText(1002);
    }
    const std::string when = "job 1002's backup phase run again, its records of vm01 lost";
    CheckRestores(when);
    CheckJobHoldsVM(1002);
    if (withStub) {
      StubPhase(1002, "2");
      CheckJobHoldsVM(1002);
    }
    EXPECT_EQ(cutOff ? "job 1002: completed with errors" : "job 1002: completed", OutcomeLine(1002));
    ArchivingJobThatStubsVM01(1003);
  }
  // Job 1002's stub of vm01 cut off after disk 0; its user gives it a new disk and writes to it; the
  // job's backup phase run again. No backup of the job holds the new disk, and only one by this attempt
  // could, which would replace the backup the stub deleted disk 0 on: vm01 fails saying why, and the
  // job's outcome says so; the next archiving job backs the new disk up and finishes the stub.
  void ACutOffStubGivenADiskThenTheBackupPhaseAgain(bool withStub) {
    ASSERT_NO_FATAL_FAILURE(StubbedByJob1002(true));
    ASSERT_NO_FATAL_FAILURE(AddDisk());
    BackupPhase(1002, "2", "2", withStub);
    ASSERT_NO_FATAL_FAILURE(CheckFailedNeitherBackedUpNorReported(1002, "it has disk [scsi0-2-vm01_2.img] that the "
                                                                        "job's backup of it does not hold"));
    EXPECT_EQ("job 1002: completed with errors", OutcomeLine(1002));
    CheckRestores("job 1002's backup phase run again over its stub cut off, a disk given since");
    if (withStub) {
      StubPhase(1002, "2");
      EXPECT_EQ("job 1002: completed with errors", OutcomeLine(1002));
      EXPECT_FALSE(Stubbed(kVM));
    }
    ArchivingJobThatStubsVM01(1003);
  }
  // Job 1001 stubs vm01; the administrator restores it and powers it on, and the job's backup phase runs
  // again: it backs vm01 up whole, and the job manager no longer holds it stubbed.
  void AStubRestoredThenTheJobsBackupPhaseAgain() {
    ArchivingJob(1001, "1");
    ASSERT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1001, kVM);
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "restore"})) << Output();
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "power", "on"})) << Output();
    BackupPhase(1001, "1", "2");
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, Description(kVM).guid, record));
    EXPECT_EQ(lab::kVMStatusBackedUp, record.getint64(Info::F_vmStatus)) << StatusText(1001);
    EXPECT_EQ(0, record.getint64(Info::F_stubStatus)) << "the job manager holds a VM backed up whole stubbed";
    EXPECT_EQ("job 1001: completed", OutcomeLine(1001));
    CheckJobHoldsVM(1001);
  }

  // ---- A later attempt of a job that backed vm01 up: its backup of vm01 is never built on the job ----
  // How job 1002 backed vm01 up, vm01 written since job 1001 (a full without archiving), and what the job
  // manager lost of it: its status never recorded (the job completes with errors), or its record removed
  // after the job (with the index's record of vm01 in the job too, the subclient indexing the first way
  // and comparing checksums, not change ids); or job 1002 stubbed vm01 after a full it ran through, and
  // its user restored it in place. Then, after guest writes or none, job 1002 is run again (`archiving`:
  // its backup phase with -stub, and its stub phase): vm01 is backed up again whole, never on the
  // job's own earlier attempt, which the later one supersedes; the job holds vm01 as it was before each
  // attempt, its outcome names vm01 while the job manager holds no record of it, and the next archiving
  // job stubs it or reports the stub.
  enum class EarlierAttempt { kStatusNotRecorded, kStatusRemoved, kStatusAndIndexRecordRemovedByChecksums, kStubbed };
  void AnEarlierAttemptBackedUpVM01ThenItsJobAgain(EarlierAttempt earlier, bool archiving, bool writes) {
    const std::string guid = Description(kVM).guid;
    if (earlier == EarlierAttempt::kStubbed) {
      ASSERT_NO_FATAL_FAILURE(StubbedByJob1002AfterAFullItRanThrough());
      ASSERT_EQ(0, Tool({"vm", lab_, kVM, "restore"})) << Output();
    } else {
      const bool recorded = earlier != EarlierAttempt::kStatusNotRecorded;
      if (earlier == EarlierAttempt::kStatusAndIndexRecordRemovedByChecksums) {
        std::string error;
        ASSERT_TRUE(lab::SetSubclientValue("1", "indexingV2", "0", error)) << error;
        ASSERT_EQ(0, Tool({"set", lab_, "coordinator", "VirtualServer", "nIgnoreChangeId", "1"})) << Output();
        ASSERT_EQ(0, Tool({"create", lab_, "--job", "1001"})) << Output();  // its collect file for the first index
      }
      CopiesBefore(1001);
      EXPECT_EQ(0, Tool({"run", lab_, "--job", "1001", "--", "-t", "1", "-numStreams", "2"})) << Output();
      WriteWhatIsLeft(2);
      CopiesBefore(1002);
      NextJob(1002);
      if (!recorded) Fault({"add", "jobmgr.setVMStatus", "--code", "5", "--times", "always"});
      BackupPhase(1002, "2", "2", archiving);
      ClearFaults();
      if (recorded) ASSERT_EQ(0, unlink(lab::VMStatusPath(1002, guid).c_str()));
      if (earlier == EarlierAttempt::kStatusAndIndexRecordRemovedByChecksums) {
        ASSERT_EQ(0, unlink(IndexRecordPath(1002, guid).c_str()));
      }
      EXPECT_EQ(recorded ? "job 1002: completed" : "job 1002: completed with errors", OutcomeLine(1002));
      EXPECT_TRUE(labrun::Has(Output(), "VMs of the job the job manager holds no record of:\n  vm01 [" + guid + "]: " +
                                            (recorded ? "its record was lost after the job ran"
                                                      : "its status could not be recorded when the job ran")))
          << Output();
      EXPECT_EQ(!recorded, labrun::Has(Output(), "\n  CRITICAL 0x5B0001DB vm01|The job manager holds no record of "
                                                 "the VM in this job: its status [Backed up] could not be recorded"))
          << Output();
      CheckJobHoldsVM(1002);
    }
    if (writes) WriteWhatIsLeft(3);
    CopiesBefore(1002);
    BackupPhase(1002, "2", "2", archiving);
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, guid, record));
    EXPECT_EQ(lab::kVMStatusBackedUp, record.getint64(Info::F_vmStatus)) << StatusText(1002);
    CheckJobHoldsVM(1002);
    if (archiving) {
      StubPhase(1002, "2");
      EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1002, kVM);
      CheckJobHoldsVM(1002);
    }
    ArchivingJobThatStubsVM01(1003);
  }

  // ---- A later job of the subclient has run: no attempt of an earlier job changes what it restores ----
  // Copies of each VM's disks just before the job, as CopiesBefore takes vm01's: a disk a stub deleted
  // keeps its copy from before the stub's job (vm02 keeps every disk unless a row stubs it too).
  void CopiesOfEachVMBefore(int64_t job) {
    CopiesBefore(job);
    held_[job][kVM] = before_[job];
    std::map<std::string, std::string>& vm02 = held_[job][kRunningVM];
    if (vm02.empty() && held_.count(job - 1)) vm02 = held_[job - 1][kRunningVM];
    for (const testsupport::DiskCopy& copy :
         testsupport::CopyDisks({kRunningVM}, dir_.Path("vm02before" + std::to_string(job))))
      vm02[copy.diskName] = copy.path;
  }
  // After every job and attempt (`when` says which): each job run so far holds each VM it reports backed
  // up or stubbed as the VM was before the job (before the stub's job, for a stub): `vm restore --job`
  // gives back exactly those bytes, and verify of the job and the VM agrees.
  // A VM whose record with the job manager was lost after the job reported it (LoseJobRecords) counts as
  // reported still: the job's restore point of it stands.
  void CheckEveryJobHoldsWhatItReports(const std::string& when) {
    CheckNoVMOfAnEndedJobLeftWithoutAWord(when);
    for (const auto& job : held_) {
      for (const auto& vm : job.second) {
        if (!lostReports_.count({job.first, vm.first}) && !Reported(job.first, vm.first)) continue;
        ASSERT_NO_FATAL_FAILURE(CheckVMRestoresAsOf(job.first, vm.first, vm.second, when));
      }
    }
  }
  // No VM of a job that has ended (completed, with errors, or failed) is left unfinished without a word:
  // one whose record with the job manager reads "In progress", or "To be backed up" with no reason and no
  // stub status, is named with why in an event 0x5B0001DB of the job and a line of its result file.
  void CheckNoVMOfAnEndedJobLeftWithoutAWord(const std::string& when) {
    for (const auto& job : held_) {
      const std::string jobText = std::to_string(job.first);
      lab::SetRoot(lab_);
      if (!lab::JobExists(job.first)) continue;
      // The job's unfinished VMs first: only a job that has some is asked whether it has ended.
      std::vector<Info> unfinished;
      for (const std::string& guid : lab::VMStatusGuids(job.first)) {
        Info record;
        ASSERT_TRUE(vsJobMgr::ReadVMStatus(job.first, guid, record)) << when << ": job " << jobText << ", " << guid;
        const int64_t status = record.getint64(Info::F_vmStatus);
        if (status == 2 || (status == lab::kVMStatusToBeBackedUp && record.getstring(Info::F_failureText).empty() &&
                            record.getint64(Info::F_stubStatus) == 0))
          unfinished.push_back(record);
      }
      if (unfinished.empty()) continue;
      // Its own output file: a caller may read the output of the command before the check.
      const std::string said = dir_.Path("ended.txt");
      EXPECT_EQ(0, labrun::RunTool({"outcome", lab_, "--job", jobText}, said)) << labrun::ReadText(said);
      const std::string text = labrun::ReadText(said);
      const std::string outcome = text.substr(0, text.find('\n'));
      if (outcome.rfind("job " + jobText + ": completed", 0) != 0 && outcome != "job " + jobText + ": failed") continue;
      lab::SetRoot(lab_);
      const std::vector<std::string> events = lab::ReadJobEvents(job.first);
      const std::vector<std::string> results = lab::ReadJobResultLines(job.first);
      for (const Info& record : unfinished) {
        const std::string name = record.getstring(Info::F_vmName);
        const bool evented = std::any_of(events.begin(), events.end(), [&](const std::string& line) {
          return labrun::Has(line, " 0x5B0001DB " + name + "|");
        });
        const bool resulted = std::any_of(results.begin(), results.end(), [&](const std::string& line) {
          return line.rfind(name + " ", 0) == 0;
        });
        const std::string words =
            vsJobMgr::convertVMClientBkupStatusToString(static_cast<int>(record.getint64(Info::F_vmStatus)));
        EXPECT_TRUE(evented && resulted) << when << ": job " << jobText << " (" << outcome << ") leaves " << name
                                         << " [" << words << "] without a word: event " << evented << ", backup.out "
                                         << resulted;
      }
    }
  }
  // Whether the job manager's record of the VM in the job reports it backed up or stubbed.
  bool Reported(int64_t job, const std::string& vm) {
    lab::SetRoot(lab_);
    Info record;
    if (!vsJobMgr::ReadVMStatus(job, Description(vm).guid, record)) return false;
    const int64_t status = record.getint64(Info::F_vmStatus);
    return status == lab::kVMStatusBackedUp || status == lab::kVMStatusBackedUpWithErrors ||
           record.getint64(Info::F_stubStatus) == lab::kVMStubStatusStubbed;
  }
  // The job manager's records of the job lost after it ran, as a user may lose them: its folder
  // (jobs/<job>/), or (`vm` given) the VM's record in it. What the job reported still counts.
  void LoseJobRecords(int64_t job, const std::string& vm = std::string()) {
    for (const auto& copies : held_[job])
      if ((vm.empty() || vm == copies.first) && Reported(job, copies.first)) lostReports_.insert({job, copies.first});
    lab::SetRoot(lab_);
    if (!vm.empty()) {
      ASSERT_EQ(0, unlink(lab::VMStatusPath(job, Description(vm).guid).c_str()));
      return;
    }
    std::error_code failed;
    ASSERT_GT(std::filesystem::remove_all(lab::JobDir(job), failed), 0u) << failed.message();
  }
  // A command refused with the exit status and words, every file of the lab left as it was.
  void ExpectRefusedLeavingTheLab(const std::vector<std::string>& args, int status, const std::string& words) {
    const std::map<std::string, std::string> before = labrun::LabTree(lab_);
    EXPECT_EQ(status, Tool(args)) << Output();
    EXPECT_TRUE(labrun::Has(Output(), words)) << Output();
    EXPECT_EQ("", labrun::LabTreeChanges(before, labrun::LabTree(lab_))) << "a refused command changed the lab: "
                                                                         << Output();
  }
  // A job of the lab with copies of each VM taken before it (an archiving one: both its phases, at two
  // streams), then the check of every job.
  void JobThenCheckEvery(int64_t job, const char* level, bool archiving) {
    CopiesOfEachVMBefore(job);
    if (job != 1001) NextJob(job);
    BackupPhase(job, level, "2", archiving);
    if (archiving) StubPhase(job, level);
    CheckEveryJobHoldsWhatItReports("job " + std::to_string(job));
  }
  // A run of the job with the options after "--", once job `later` has run: refused, naming that job, and
  // nothing of the lab changes (the job's runs, its streams, what a process of it left: every file).
  void ExpectRefused(int64_t job, int64_t later, const std::vector<std::string>& options) {
    std::vector<std::string> args = {"run", lab_, "--job", std::to_string(job)};
    if (!options.empty()) args.push_back("--");
    args.insert(args.end(), options.begin(), options.end());
    const std::string jobText = std::to_string(job), laterText = std::to_string(later);
    const std::string refusal = "quarn-lab: refused: job " + laterText + " of subclient 1 has started since job " +
                                jobText + "; a later attempt of job " + jobText + " would change what job " +
                                laterText + " restores, so the job manager runs no attempt of it again\n";
    ExpectRefusedLeavingTheLab(args, 3, refusal);
    EXPECT_EQ(refusal, Output());
  }
  // The job process of the job started directly, as the lab tool would start it but past its refusal,
  // with the streams the job manager reserved for it: vm01, which a later job holds, fails saying so (its
  // status, its event), and the job ends completed with errors.
  void JobProcessRunDirectlyOverALaterJob(int64_t job) {
    lab::SetRoot(lab_);
    lab::JobRecord record;
    std::string error;
    ASSERT_TRUE(lab::ReadJobRecord(job, record, error)) << error;
    ASSERT_TRUE(lab::ReserveJobStreams(job, 2, 1, error)) << error;
    const std::string jobText = std::to_string(job);
    dir_.RunProgram({QUARN_HOST_BINARY, "-j", jobText, "-jt", record.token, "-a", "1", "-t", "2", "-d",
                     record.mediaAgent, "-cn", "coordinator", "-numStreams", "2"});
    Info status;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(job, Description(kVM).guid, status));
    EXPECT_EQ(1, status.getint64(Info::F_vmStatus)) << "not failed: " << StatusText(job);
    const std::string why = StatusText(job);
    EXPECT_TRUE(labrun::Has(why, "Not backed up: the index holds a record of the VM in job [") &&
                labrun::Has(why, "], a later job of the subclient; a backup of the VM in job [" + jobText + "]"))
        << why;
    const std::string events = labrun::ReadText(lab::JobFile(job, "events.log"));
    EXPECT_TRUE(labrun::Has(events, " 0x5B0001DB vm01|" + why)) << events;
    EXPECT_EQ("job " + jobText + ": completed with errors", OutcomeLine(job));
  }
  // Job 1001 a full, then archiving job 1002 stubs vm01 and archiving job 1003 reports the stub (its
  // restore point of vm01 is job 1002's backup); the user restores vm01 in place and writes to it. Every
  // run of job 1002 is refused (its backup phase, with -stub or not, and its stub phase): as of job 1003
  // vm01 restores to its bytes before job 1002, and verify agrees; so too after the next archiving job.
  void AStubALaterJobReportsRestoredInPlaceThenItsJobRefused() {
    CopiesOfEachVMBefore(1001);
    EXPECT_EQ(0, Tool({"run", lab_, "--job", "1001", "--", "-t", "1", "-numStreams", "2"})) << Output();
    CheckEveryJobHoldsWhatItReports("job 1001");
    for (int64_t job : {1002, 1003}) {
      JobThenCheckEvery(job, "2", true);
      EXPECT_TRUE(Stubbed(kVM)) << "job " << job << ": " << WhyNotStubbed(job, kVM);
    }
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1003, Description(kVM).guid, record));
    EXPECT_EQ(lab::kVMStubStatusStubbed, record.getint64(Info::F_stubStatus)) << "job 1003 does not report the stub";
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "restore"})) << Output();
    WriteWhatIsLeft(3);
    ExpectRefused(1002, 1003, {"-t", "2", "-numStreams", "2"});
    ExpectRefused(1002, 1003, {"-t", "2", "-numStreams", "1", "-stub"});
    ExpectRefused(1002, 1003, {"-t", "2", "-numStreams", "1", "-stub", "-stubPhase"});
    CheckEveryJobHoldsWhatItReports("job 1002 refused after job 1003");
    JobProcessRunDirectlyOverALaterJob(1002);
    CheckEveryJobHoldsWhatItReports("job 1002's job process run directly after job 1003");
    JobThenCheckEvery(1004, "2", true);
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1004, kVM);
  }
  // Job 1001 a full, vm01 written, and incremental job 1002 backs it up while the job manager cannot
  // record its status (or, kRemovedAfterTheLaterJob, its record is removed after job 1003); vm01 written
  // again and job 1003 builds on job 1002, and (`secondLaterJob`) job 1004 on that. With `archiving` every
  // job is an archiving one (both phases) with vm01 running; `stubbedBeforeTheRefusal`: vm01 then powered
  // off, and archiving job 1004 stubs it. Every run of job 1002 is refused, and its outcome says what
  // stands instead of inviting one; each job still holds each VM it reports as it was before the job, and
  // so does the next job.
  enum class Unrecorded { kStatusNotRecorded, kRemovedAfterTheLaterJob };
  void ALaterJobBuiltOnTheJobThenItsJobRefused(Unrecorded how, bool archiving, bool secondLaterJob,
                                               bool stubbedBeforeTheRefusal = false) {
    if (archiving) PowerVM(true);
    const std::string guid = Description(kVM).guid;
    JobThenCheckEvery(1001, "1", archiving);
    WriteWhatIsLeft(2);
    CopiesOfEachVMBefore(1002);
    NextJob(1002);
    if (how == Unrecorded::kStatusNotRecorded) Fault({"add", "jobmgr.setVMStatus", "--code", "5", "--times", "always"});
    BackupPhase(1002, "2", "2", archiving);
    ClearFaults();
    if (archiving) StubPhase(1002, "2");
    CheckEveryJobHoldsWhatItReports("job 1002");
    WriteWhatIsLeft(3);
    JobThenCheckEvery(1003, "2", archiving);
    if (how == Unrecorded::kRemovedAfterTheLaterJob) {
      ASSERT_EQ(0, unlink(lab::VMStatusPath(1002, guid).c_str()));
    }
    int64_t next = 1004;
    if (secondLaterJob) {
      WriteWhatIsLeft(4);
      JobThenCheckEvery(next++, "2", archiving);
    }
    if (stubbedBeforeTheRefusal) {
      PowerVM(false);
      JobThenCheckEvery(next, "2", true);
      EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(next++, kVM);
    }
    ExpectRefused(1002, 1003, {"-t", "2", "-numStreams", "2"});
    if (archiving) {
      ExpectRefused(1002, 1003, {"-t", "2", "-numStreams", "2", "-stub"});
      ExpectRefused(1002, 1003, {"-t", "2", "-numStreams", "1", "-stub", "-stubPhase"});
    }
    EXPECT_EQ(0, Tool({"outcome", lab_, "--job", "1002"}));
    EXPECT_FALSE(labrun::Has(Output(), "a later attempt of the job backs it up")) << Output();
    lab::SetRoot(lab_);
    const std::vector<std::string> recorded = lab::VMStatusGuids(1002);
    if (std::find(recorded.begin(), recorded.end(), guid) == recorded.end()) {
      EXPECT_TRUE(labrun::Has(Output(), "\n  vm01 [" + guid + "]: ") &&
                  labrun::Has(Output(), "; the job's committed archives of it stand (") &&
                  labrun::Has(Output(), "; job 1003, which has started since, reports it Backed up, and the job "
                                        "manager runs no attempt of job 1002 again\n"))
          << Output();
    }
    CheckEveryJobHoldsWhatItReports("job 1002 refused");
    JobProcessRunDirectlyOverALaterJob(1002);
    CheckEveryJobHoldsWhatItReports("job 1002's job process run directly after job 1003");
    CheckRestores("job 1002 refused, its job process run directly");
    JobThenCheckEvery(next, "2", archiving);
  }

  // ---- A job that had not ended, or did not finish a VM, once a later job of its subclient has run ----
  // What processes of the job that died still hold, each named: a mount of a VM, a view of one, a stream
  // reservation, a disk stream of the hypervisor, a registration with the clean-up service. Empty when
  // nothing is held.
  std::string HeldByTheJob(int64_t job) {
    lab::SetRoot(lab_);
    std::string held = promise::StreamsLeftReserved(job);
    for (const lab::MountRecord& mount : lab::ListMountRecords(job)) {
      if (mount.state != "unmounted") held += " " + mount.vm + " " + mount.state + ";";
      for (const lab::MountedDisk& disk : mount.disks)
        if (testsupport::Exists(disk.copy)) held += " the view " + disk.copy + " stands;";
    }
    const int64_t diskStreams = lab::DiskStreamsHeld(job);
    if (diskStreams != 0) held += " " + std::to_string(diskStreams) + " disk streams held;";
    const std::string jobText = std::to_string(job);
    for (const std::string& entry : lab::ReadCleanupRegistrations("coordinator"))
      if (labrun::Has(entry, "process " + jobText + " ") || labrun::Has(entry, ":" + jobText + ":"))
        held += " the registration [" + entry + "] stands;";
    return held;
  }
  // How job 1002 leaves vm01 unfinished: its job process killed at a held read of vm01's disk, or that and
  // the run's lab tool with it (nothing is given back at the run's end then); or the job manager holds
  // vm01 "In progress" and can record nothing more of it (the job completes with errors, its event
  // promising a later attempt of the job).
  enum class Unfinished { kKilled, kKilledWithItsRun, kStatusLeftInProgress };
  // Job 1001 a full; vm01 written, and the incremental 1002 leaves it unfinished; written again, and job
  // 1003, made with create --job, runs. What the processes of job 1002 held when they died (vm01's mount;
  // with its run killed too a stream reservation, a disk stream and the registrations) stays held until
  // job 1003 starts, which gives it back and says so. Every run of job 1002 is refused and changes
  // nothing; its outcome says that no attempt of it will run (once it had not ended) and what stands for
  // vm01 instead of a later attempt: nothing of job 1002 and job 1001's backup, or job 1002's own backup,
  // which the restore as of job 1002 gives back. Every job holds each VM it reports, and so does the next.
  void AJobThatDidNotFinishAVMThenALaterJob(Unfinished how) {
    const std::string guid = Description(kVM).guid;
    const bool killed = how != Unfinished::kStatusLeftInProgress, runKilled = how == Unfinished::kKilledWithItsRun;
    JobThenCheckEvery(1001, "1", false);
    WriteWhatIsLeft(2);
    CopiesOfEachVMBefore(1002);
    NextJob(1002);
    if (killed) {
      Fault({"hold", "disk.Read"});
      const KilledRun run = RunKilledAtTheHold(1002, {"-t", "2", "-numStreams", "1"}, runKilled);
      ASSERT_TRUE(run.killed) << run.output;
    } else {
      Fault({"add", "jobmgr.setVMStatus", "--code", "5", "--after", "2", "--times", "always"});
      BackupPhase(1002, "2", "1", false);
      ClearFaults();
      EXPECT_EQ("job 1002: completed with errors", OutcomeLine(1002));
    }
    CheckEveryJobHoldsWhatItReports("job 1002");
    const std::string held = HeldByTheJob(1002);
    EXPECT_EQ(killed, labrun::Has(held, " vm01 mounted;")) << held;
    for (const char* what : {" stays reserved or open;", " disk streams held;", " the registration ["})
      EXPECT_EQ(runKilled, labrun::Has(held, what)) << what << ":" << held;

    WriteWhatIsLeft(3);
    CopiesOfEachVMBefore(1003);
    NextJob(1003);
    EXPECT_EQ(0, Tool({"run", lab_, "--job", "1003", "--", "-t", "2", "-numStreams", "2"})) << Output();
    for (const auto& given : std::map<std::string, bool>{
             {"1 VM mounted (vm01): unmounted", killed}, {"1 stream reserved: given back", runKilled},
             {"1 disk stream of the hypervisor held: given back", runKilled},
             {"2 registrations with the clean-up service: taken back", runKilled}})
      EXPECT_EQ(given.second, labrun::Has(Output(), "job 1002, which no attempt will run again, left " + given.first))
          << Output();
    EXPECT_EQ("", HeldByTheJob(1002)) << "what the dead processes of job 1002 held is held still";
    CheckStreams(1003, "job 1003");
    CheckEveryJobHoldsWhatItReports("job 1003");

    ExpectRefused(1002, 1003, {"-t", "2", "-numStreams", "2"});
    ExpectRefused(1002, 1003, {});
    EXPECT_EQ(0, Tool({"outcome", lab_, "--job", "1002"}));
    const std::string out = Output();
    EXPECT_EQ(killed, labrun::Has(out, "\nno attempt of job 1002 will run: job 1003 of subclient 1 has started "
                                      "since, and an attempt of job 1002 would change what job 1003 restores; what "
                                      "stands for each VM is said below\n"))
        << out;
    const std::string stands = killed ? "nothing of job 1002 holds it (no committed archive of it), and as of job 1002 "
                                        "it restores from job 1001's backup"
                                      : "its backup in job 1002 stands (1 committed archive)";
    EXPECT_TRUE(labrun::Has(out, "\n  vm01 [" + guid + "] In progress (but the job is not running): " + stands +
                                     "; job 1003, which has started since, reports it Backed up, and the job manager "
                                     "runs no attempt of job 1002 again\n"))
        << out;
    EXPECT_FALSE(labrun::Has(out, "(but the job is not running)\n")) << out;
    CheckRestoreAsOf(1002, killed ? 1001 : 1002);
    if (!killed) {
      EXPECT_EQ(0, Tool({"verify", lab_, "--job", "1002", "--vm", kVM})) << Output();
    }
    WriteWhatIsLeft(4);
    JobThenCheckEvery(1004, "2", false);
  }
  // The backup phase of the archiving job 1001 leaves vm01 "Backed up, to be archived"; then, as a
  // schedule runs it, `run LAB` runs the subclient's next job, 1002, a plain one. The stub phase of job
  // 1001 is refused and changes nothing, and so is its resume; the job stays completed, and its outcome
  // says that its stub phase will not run, and for vm01 that its archiving is left to the next archiving
  // job and its backup in job 1001 stands. The next archiving job stubs vm01; every job holds what it
  // reports.
  void AnArchivingJobsStubPhaseRefusedOnceTheNextJobRan() {
    const std::string guid = Description(kVM).guid;
    CopiesOfEachVMBefore(1001);
    BackupPhase(1001, "1", "2");
    CheckEveryJobHoldsWhatItReports("job 1001's backup phase");
    CopiesOfEachVMBefore(1002);
    EXPECT_EQ(0, Tool({"run", lab_, "--", "-t", "2", "-numStreams", "2"})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "job 1001 has ended: running the subclient's next job, 1002,")) << Output();
    EXPECT_FALSE(labrun::Has(Output(), "job 1001, which no attempt will run again")) << Output();
    CheckStreams(1002, "job 1002");
    CheckEveryJobHoldsWhatItReports("job 1002");
    ExpectRefused(1001, 1002, {"-t", "1", "-numStreams", "1", "-stub", "-stubPhase"});
    ExpectRefused(1001, 1002, {});
    EXPECT_EQ("job 1001: completed", OutcomeLine(1001));
    const std::string out = Output();
    EXPECT_TRUE(labrun::Has(out, "\nno attempt of job 1001 will run: job 1002 of subclient 1 has started since, and "
                                 "an attempt of job 1001 would change what job 1002 restores; its stub phase did not "
                                 "run, and the VMs it was to archive are left to the next archiving job of the "
                                 "subclient; what stands for each VM is said below\n"))
        << out;
    EXPECT_TRUE(labrun::Has(out, "\n  vm01 [" + guid + "] Backed up, to be archived: its archiving is left to the "
                                 "next archiving job of subclient 1; its backup in job 1001 stands (") &&
                labrun::Has(out, "); job 1002, which has started since, reports it Backed up, and the job manager "
                                 "runs no attempt of job 1001 again\n"))
        << out;
    EXPECT_TRUE(labrun::Has(out, "\n  vm02 [" + Description(kRunningVM).guid + "] Backed up\n")) << out;
    JobThenCheckEvery(1003, "2", true);
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1003, kVM);
  }

  // ---- One job id names one job of one subclient, for good; a run is its job's own ----
  // Subclient 1's jobs, then a second subclient's: archiving job 1001 stubs vm01 (`stub`), or plain jobs
  // 1001 to 1003 run with vm01's record with the job manager in job 1001 lost after them. The second
  // subclient's first job takes a new id, never one of subclient 1's jobs, and a run that names another
  // subclient than its job record's is a bad argument that changes nothing; subclient 1's next job takes
  // the next id. After every job each job holds each VM it reports as the VM was before the job (the
  // stub as before its job), and the stub's disks restore in place.
  void ASecondSubclientsFirstJobAfter(bool stub) {
    int64_t next = 1002;
    if (stub) {
      CopiesOfEachVMBefore(1001);
      BackupPhase(1001, "1", "2");
      StubPhase(1001);
      ASSERT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1001, kVM);
      CheckEveryJobHoldsWhatItReports("job 1001");
    } else {
      for (int64_t job : {1001, 1002, 1003}) {
        if (job != 1001) WriteWhatIsLeft(static_cast<int>(job - 1000));
        JobThenCheckEvery(job, job == 1001 ? "1" : "2", false);
      }
      LoseJobRecords(1001, kVM);
      next = 1004;
    }
    const std::string nextText = std::to_string(next);
    ExpectRefusedLeavingTheLab({"run", lab_, "--subclient", "2"}, 64, "the lab has no subclient 2");
    ASSERT_EQ(0, Tool({"create", lab_, "--subclient", "2"})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "subclient 2, job " + nextText + " (full)")) << Output();
    CopiesOfEachVMBefore(next);
    int status = Tool({"run", lab_, "--subclient", "2", "--", "-numStreams", "2"});
    EXPECT_TRUE(status == 0 || status == 1) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "running job " + nextText + " (full backup)")) << Output();
    CheckEveryJobHoldsWhatItReports("subclient 2's first job");
    CheckRestores("subclient 2's first job");
    for (const std::vector<std::string>& run : std::vector<std::vector<std::string>>{
             {"run", lab_, "--job", "1001", "--subclient", "2"},
             {"run", lab_, "--job", "1001", "--", "-a", "2"},
             {"run", lab_, "--job", "1001", "--", "-a", "01"},
             {"run", lab_, "--job", nextText, "--subclient", "1"},
             {"run", lab_, "--job", nextText, "--", "-j", "1001"},
             {"run", lab_, "--subclient", "2", "--", "-j", "1001"}})
      ExpectRefusedLeavingTheLab(run, 64, ": a run is its job's own");
    WriteWhatIsLeft(5);
    CopiesOfEachVMBefore(next + 1);
    status = Tool({"run", lab_, "--", "-t", "2", "-numStreams", "2"});
    EXPECT_TRUE(status == 0 || status == 1) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "running the subclient's next job, " + std::to_string(next + 1))) << Output();
    CheckEveryJobHoldsWhatItReports("subclient 1's next job");
    CheckRestores("subclient 1's next job");
  }
  // Plain full job 1001, then incrementals 1002 (and 1003, `lost` 2), each after writes; the job manager's
  // records of the incrementals lost (their folders gone), then writes again. The lab knows of each lost
  // job still (its archives, index and job results): no new job takes its id, nor one at or below it, nor
  // one of the management server's; a run naming it with -j is a bad argument; the subclient's next job
  // takes the next id. Every job, the lost ones too, holds each VM it reported as it was before the job;
  // no attempt of job 1001 runs (-j without --job too: nothing is made first); and so the job after that.
  void LostJobRecordsThenTheNextJob(int lost) {
    const int64_t last = 1001 + lost, next = last + 1;
    for (int64_t job = 1001; job <= last; ++job) {
      if (job != 1001) WriteWhatIsLeft(static_cast<int>(job - 1000));
      JobThenCheckEvery(job, job == 1001 ? "1" : "2", false);
    }
    for (int64_t job = 1002; job <= last; ++job) LoseJobRecords(job);
    WriteWhatIsLeft(4);
    const std::string lastText = std::to_string(last), nextText = std::to_string(next);
    for (int64_t job = 1002; job <= last; ++job) {
      const std::string jobText = std::to_string(job);
      ExpectRefusedLeavingTheLab({"create", lab_, "--job", jobText}, 64, "the lab still knows of job " + jobText);
      ExpectRefusedLeavingTheLab({"run", lab_, "--", "-j", jobText}, 64, "-j names job " + jobText + ", which the lab");
    }
    ExpectRefusedLeavingTheLab({"create", lab_, "--job", "900"}, 64,
                               "job 900 cannot be made: job " + lastText + " has run");
    ExpectRefusedLeavingTheLab({"create", lab_, "--job", "500000"}, 64, "the management server's");
    // What only its run left tells that job 1002 ran, its records lost: no attempt of job 1001 runs.
    ExpectRefused(1001, 1002, {"-t", "1", "-numStreams", "2"});
    CopiesOfEachVMBefore(next);
    const int status = Tool({"run", lab_, "--", "-t", "2", "-numStreams", "2"});
    EXPECT_TRUE(status == 0 || status == 1) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "job 1001 has ended: running the subclient's next job, " + nextText)) << Output();
    CheckEveryJobHoldsWhatItReports("the job after the lost records");
    ExpectRefused(1001, 1002, {"-t", "1", "-numStreams", "2"});
    ExpectRefusedLeavingTheLab({"run", lab_, "--", "-j", "1001", "-numStreams", "2"}, 3,
                               "refused: job 1002 of subclient 1 has started since job 1001");
    CheckEveryJobHoldsWhatItReports("job 1001 refused");
    WriteWhatIsLeft(6);
    JobThenCheckEvery(next + 1, "2", false);
  }

  // ---- A job no attempt will run never stops the schedule ----
  // A run of the subclient's next job without --job (`run LAB`, incremental, two streams), copies of each
  // VM taken before it: it makes and runs job `next`, saying `says`; then the check of every job.
  void ScheduledRun(int64_t next, const std::string& says) {
    CopiesOfEachVMBefore(next);
    const int status = Tool({"run", lab_, "--", "-t", "2", "-numStreams", "2"});
    EXPECT_TRUE(status == 0 || status == 1) << Output();
    EXPECT_TRUE(labrun::Has(Output(), says)) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "running job " + std::to_string(next) + " (incremental backup)")) << Output();
    CheckStreams(next, "job " + std::to_string(next));
    CheckEveryJobHoldsWhatItReports("the scheduled job " + std::to_string(next));
  }
  // The subclient's newest job is one no attempt will run, as the job manager's records show it: job 1001
  // a full, then (kLaterJobsRecordsLost) incremental 1002's job process killed at a held read of vm01's
  // disk, job 1003 made and run, and job 1003's folder lost; or (kRecordsPutBack) incrementals 1002, 1003
  // made, the job manager's records copied aside, 1003 and 1004 run, and the copy put back (1003 made and
  // never run by its records, 1004's folder gone). `run LAB` passes the newest job over, saying why, and
  // runs the subclient's next job past every job the lab knows of, and so does the run after it; the job
  // passed over is refused still. The outcome of 1003 put back says that its records show no run, and what
  // stands for each VM. Every job holds each VM it reported as it was before the job.
  enum class PassedOver { kLaterJobsRecordsLost, kRecordsPutBack };
  void ANewestJobNoAttemptWillRunThenTheSchedule(PassedOver how) {
    JobThenCheckEvery(1001, "1", false);
    WriteWhatIsLeft(2);
    CopiesOfEachVMBefore(1002);
    NextJob(1002);
    int64_t passedOver = 1002, later = 1003;
    if (how == PassedOver::kLaterJobsRecordsLost) {
      Fault({"hold", "disk.Read"});
      const KilledRun run = RunKilledAtTheHold(1002, {"-t", "2", "-numStreams", "1"});
      ASSERT_TRUE(run.killed) << run.output;
      CheckEveryJobHoldsWhatItReports("job 1002 killed");
      WriteWhatIsLeft(3);
      JobThenCheckEvery(1003, "2", false);
      LoseJobRecords(1003);
    } else {
      BackupPhase(1002, "2", "2", false);
      CheckEveryJobHoldsWhatItReports("job 1002");
      WriteWhatIsLeft(3);
      CopiesOfEachVMBefore(1003);
      NextJob(1003);
      lab::SetRoot(lab_);
      const std::string aside = dir_.Path("jobs-aside");
      std::error_code failed;
      std::filesystem::copy(lab::JobsDir(), aside, std::filesystem::copy_options::recursive, failed);
      ASSERT_FALSE(failed) << failed.message();
      BackupPhase(1003, "2", "2", false);
      CheckEveryJobHoldsWhatItReports("job 1003");
      WriteWhatIsLeft(4);
      JobThenCheckEvery(1004, "2", false);
      // What jobs 1003 and 1004 reported still counts: their records are lost, not their backups.
      for (int64_t job : {1003, 1004})
        for (const auto& copies : held_[job])
          if (Reported(job, copies.first)) lostReports_.insert({job, copies.first});
      lab::SetRoot(lab_);
      ASSERT_GT(std::filesystem::remove_all(lab::JobsDir(), failed), 0u) << failed.message();
      std::filesystem::copy(aside, lab::JobsDir(), std::filesystem::copy_options::recursive, failed);
      ASSERT_FALSE(failed) << failed.message();
      CheckEveryJobHoldsWhatItReports("the job manager's records put back");
      passedOver = 1003;
      later = 1004;
      EXPECT_EQ(0, Tool({"outcome", lab_, "--job", "1003"})) << Output();
      const std::string out = Output();
      EXPECT_TRUE(labrun::Has(out, "\nthe job manager's records of job 1003 show no attempt of it, though what only a "
                                   "run of it leaves names it (its archives on the media, its index records or the "
                                   "subclient's history): they were lost, or put back from an older copy, after it "
                                   "ran\n"))
          << out;
      // What stands for each VM is said below, as it is announced: the VMs the job manager holds no record of.
      EXPECT_TRUE(labrun::Has(out, "; what stands for each VM is said below\n")) << out;
      for (const char* vm : {kVM, kRunningVM})
        EXPECT_TRUE(labrun::Has(out, "  " + std::string(vm) + " [" + Description(vm).guid + "]: its record was lost "
                                     "after the job ran (removed, or the job manager's records restored from an "
                                     "older copy); the job's committed archives of it stand (") &&
                    labrun::Has(out, "); job 1004 has started since and holds no record of it, and the job manager "
                                     "runs no attempt of job 1003 again\n"))
            << vm << ": " << out;
      EXPECT_FALSE(labrun::Has(out, "no attempt of job 1003 has run")) << out;
    }
    const std::string passedText = std::to_string(passedOver), laterText = std::to_string(later);
    WriteWhatIsLeft(5);
    ScheduledRun(later + 1, "job " + passedText + " will not run again: job " + laterText + " of subclient 1 has "
                            "started since, and the job manager runs no attempt of job " + passedText +
                            " after it; running the subclient's next job, " + std::to_string(later + 1) + ", with");
    EXPECT_FALSE(labrun::Has(Output(), "refused")) << Output();
    ExpectRefused(passedOver, later, {});
    ExpectRefused(passedOver, later, {"-t", "2", "-numStreams", "2"});
    WriteWhatIsLeft(6);
    ScheduledRun(later + 2, "job " + std::to_string(later + 1) + " has ended: running the subclient's next job, " +
                                std::to_string(later + 2) + ",");
  }
  // A record of job 499999, the last backup job id below the management server's, that no job of the lab
  // left (`stray`: an empty media folder, an index folder, a line of the subclient's history), after job
  // 1001 ran: `run LAB` makes no job, naming the record by its path in the lab and what to do, and changes
  // nothing; once it is removed the subclient's next job is 1002, and every job holds what it reports.
  enum class Stray { kMediaFolder, kIndexFolder, kHistoryLine };
  void AStrayRecordOfTheLastBackupJobIdThenTheNextJob(Stray stray) {
    JobThenCheckEvery(1001, "1", false);
    lab::SetRoot(lab_);
    std::string error, path, history;
    lab::SubclientRecord subclient;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error)) << error;
    switch (stray) {
      case Stray::kMediaFolder: path = "media/ma1/499999"; break;
      case Stray::kIndexFolder: path = "index/" + subclient.settings["subclientGUID"] + "/499999"; break;
      case Stray::kHistoryLine:
        path = "subclients/1.history, line 2";
        history = labrun::ReadText(lab::HistoryPath("1"));
        ASSERT_EQ("1001 1 0\n", history);
        ASSERT_TRUE(lab::RecordSuccessfulJob("1", {499999, 1, false}, error)) << error;
        break;
    }
    if (stray != Stray::kHistoryLine) ASSERT_TRUE(lab::MakeDirs(lab_ + "/" + path));
    const std::vector<std::string> run = {"run", lab_, "--", "-t", "2", "-numStreams", "2"};
    ExpectRefusedLeavingTheLab(run, 1, "quarn-lab: no job to run: every backup job id below 500000 after job 499999, "
                                       "the newest the lab knows of, is taken (the management server's jobs have "
                                       "those from there on); the lab knows of job 499999 by " + path +
                                       ": if no job 499999 ran in this lab, remove it as stray, and the next new job "
                                       "is 1002; else the lab has used every backup job id (a new lab starts again "
                                       "at 1001)\n");
    if (stray == Stray::kHistoryLine) {
      ASSERT_TRUE(lab::WriteFileAtomic(lab::HistoryPath("1"), history));
    } else {
      std::error_code failed;
      ASSERT_GT(std::filesystem::remove_all(lab_ + "/" + path, failed), 0u) << failed.message();
    }
    WriteWhatIsLeft(2);
    ScheduledRun(1002, "job 1001 has ended: running the subclient's next job, 1002,");
  }
  // ---- The next job's id: past the highest job the lab knows of, never a management server's ----
  // The folder an application-aware job leaves of the management server's workflow job (jobs/500000, its
  // state) after job 1001: the subclient's next job is 1002. Or (`madeAbove`) job 1005 made and run first
  // (job 1001 only made): the next is 1006.
  void TheNextJobAfterAServerJobOrAHigherJob(bool madeAbove) {
    const int64_t first = madeAbove ? 1005 : 1001;
    JobThenCheckEvery(first, "1", false);
    if (!madeAbove) {
      lab::SetRoot(lab_);
      std::string error;
      const int64_t workflow = lab::AllocateServerJobId(error);
      ASSERT_EQ(lab::kFirstServerJobId, workflow) << error;
      ASSERT_TRUE(lab::SetJobState(workflow, 1, error)) << error;
    }
    WriteWhatIsLeft(2);
    const std::string firstText = std::to_string(first), next = std::to_string(first + 1);
    ScheduledRun(first + 1, "job " + firstText + " has ended: running the subclient's next job, " + next + ",");
    WriteWhatIsLeft(3);
    ScheduledRun(first + 2, "job " + next + " has ended: running the subclient's next job, " +
                                std::to_string(first + 2) + ",");
  }
  // Subclient 2's first job and its next one, each made by `run --subclient 2`: every attempt of the first is
  // refused as of its own subclient (exit 3, nothing changed), and subclient 1's next job takes the next id.
  void ASecondSubclientsJobRefusedOnceItsNextJobRan() {
    JobThenCheckEvery(1001, "1", false);
    ASSERT_EQ(0, Tool({"create", lab_, "--subclient", "2"})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "subclient 2, job 1002 (full)")) << Output();
    CopiesOfEachVMBefore(1002);
    int status = Tool({"run", lab_, "--subclient", "2", "--", "-numStreams", "2"});
    EXPECT_TRUE(status == 0 || status == 1) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "running job 1002 (full backup)")) << Output();
    CheckEveryJobHoldsWhatItReports("subclient 2's first job");
    WriteWhatIsLeft(2);
    CopiesOfEachVMBefore(1003);
    status = Tool({"run", lab_, "--subclient", "2", "--", "-t", "2", "-numStreams", "2"});
    EXPECT_TRUE(status == 0 || status == 1) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "job 1002 has ended: running the subclient's next job, 1003,")) << Output();
    CheckEveryJobHoldsWhatItReports("subclient 2's next job");
    const std::string refusal = "quarn-lab: refused: job 1003 of subclient 2 has started since job 1002; a later "
                                "attempt of job 1002 would change what job 1003 restores, so the job manager runs no "
                                "attempt of it again\n";
    for (const std::vector<std::string>& run : std::vector<std::vector<std::string>>{
             {"run", lab_, "--job", "1002"},
             {"run", lab_, "--job", "1002", "--subclient", "2", "--", "-numStreams", "2"},
             {"run", lab_, "--subclient", "2", "--", "-j", "1002"}}) {
      ExpectRefusedLeavingTheLab(run, 3, refusal);
      EXPECT_EQ(refusal, Output());
    }
    CheckEveryJobHoldsWhatItReports("subclient 2's first job refused");
    WriteWhatIsLeft(3);
    ScheduledRun(1004, "job 1001 has ended: running the subclient's next job, 1004,");
  }

  // A later attempt of the newest job backs vm01 up again, and its job process is killed at a held call
  // of vm01 (`hold`: a read of its disk, its archive's close, its archive-index run once its archives are
  // committed), or (`hold` empty) fails vm01 at its second disk read, no process killed: the job manager's
  // next run resumes the job. Job 1001 a full and job 1002 an incremental, each after writes; then
  // (`archiving`) archiving job 1003 stubs vm01 (and, `secondStub`, vm02, idle too, which every later
  // attempt leaves as the job's stub phase left it) and the administrator restores vm01 in place as of
  // job 1001, or job 1003 an incremental that could not record vm01's status; writes, and job 1003 again.
  // Until an attempt finishes vm01, job 1003 gives it back as the first attempt found it, and verify
  // agrees. The resume runs the backup phase the kill cut short and finishes vm01 as the resume of a
  // first attempt does: job 1003 then gives it back as that attempt found it; or (`mountRefused`) the
  // resume cannot mount vm01 and fails it, saying why. After every command each job holds each VM it
  // reports backed up or stubbed as it was before the job (its latest attempt), and so does the next
  // incremental, which never builds on a backup of job 1003 that a restore cannot read.
  void ALaterAttemptOfTheNewestJobCutShortThenResumed(const std::vector<std::string>& hold, bool archiving,
                                                     bool mountRefused = false, bool secondStub = false) {
    JobThenCheckEvery(1001, "1", false);
    WriteWhatIsLeft(2);
    JobThenCheckEvery(1002, "2", false);
    WriteWhatIsLeft(3);
    if (secondStub) {
      ASSERT_EQ(0, Tool({"vm", lab_, kRunningVM, "power", "off", "--hours", "72"})) << Output();
      runningVMIdle_ = true;
    }
    if (archiving) {
      JobThenCheckEvery(1003, "2", true);
      ASSERT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1003, kVM);
      EXPECT_EQ(secondStub, Stubbed(kRunningVM)) << WhyNotStubbed(1003, kRunningVM);
      ASSERT_EQ(0, Tool({"vm", lab_, kVM, "restore", "--job", "1001"})) << Output();
      CheckEveryJobHoldsWhatItReports("vm01 restored in place as of job 1001");
    } else {
      CopiesOfEachVMBefore(1003);
      NextJob(1003);
      Fault({"add", "jobmgr.setVMStatus", "--code", "5", "--times", "always"});
      BackupPhase(1003, "2", "2", false);
      ClearFaults();
      EXPECT_EQ("job 1003: completed with errors", OutcomeLine(1003));
      CheckEveryJobHoldsWhatItReports("job 1003, vm01's status not recorded");
    }
    // Copied aside: the copies before the next attempt take the place of these.
    std::map<std::string, std::string> firstAttempt;
    for (const auto& copy : held_[1003][kVM]) {
      firstAttempt[copy.first] = dir_.Path("first1003-" + copy.first);
      std::filesystem::copy_file(copy.second, firstAttempt[copy.first]);
    }
    WriteWhatIsLeft(4);
    CopiesOfEachVMBefore(1003);
    if (hold.empty()) {
      Fault({"add", "disk.Read", "--code", "5", "--after", "1", "--times", "always"});
      EXPECT_EQ(2, Tool({"run", lab_, "--job", "1003", "--", "-t", "2", "-numStreams", "2"})) << Output();
      EXPECT_TRUE(labrun::Has(Output(), "job 1003: pending\n")) << Output();
      EXPECT_TRUE(labrun::Has(Output(), "\n  vm01 [" + Description(kVM).guid + "] To be backed up: ") &&
                  labrun::Has(Output(), "; its backup in job 1003 by an earlier attempt, which a later one did not "
                                        "finish, stands ("))
          << "vm01 does not say why, or which backup stands for it: " << Output();
      ClearFaults();
    } else {
      std::vector<std::string> rule = {"hold"};
      rule.insert(rule.end(), hold.begin(), hold.end());
      Fault(rule);
      const KilledRun run = RunKilledAtTheHold(1003, {"-t", "2", "-numStreams", "2"});
      ASSERT_TRUE(run.killed) << run.output;
      EXPECT_EQ(2, run.status) << run.output;
      EXPECT_TRUE(labrun::Has(run.output, "job 1003: pending: the job process was killed by signal 9")) << run.output;
      CheckStreams(1003, "job 1003's later attempt killed");
    }
    const std::string cutShort = hold.empty() ? "job 1003's later attempt failing vm01" : "job 1003's later attempt killed";
    CheckEveryJobHoldsWhatItReports(cutShort);
    // Committed at the archive-index run, the later attempt's backup of vm01 stands; short of that, the
    // first attempt's does.
    const bool laterStands = !hold.empty() && hold.front() == "index.RunArchiveIndexForVM";
    CheckVMRestoresAsOf(1003, kVM, laterStands ? held_[1003][kVM] : firstAttempt, cutShort);
    if (secondStub) {
      EXPECT_TRUE(Stubbed(kRunningVM)) << cutShort;
    }
    if (mountRefused) Fault({"add", "vminfo.MountVM", "--code", "5", "--times", "always"});
    EXPECT_EQ(mountRefused ? 1 : 0, Tool({"run", lab_, "--job", "1003"})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "running job 1003 (incremental backup) on ")) << Output();
    ClearFaults();
    CheckStreams(1003, "job 1003 resumed");
    const lab::VMDescription vm = Description(kVM);
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1003, vm.guid, record)) << Output();
    if (!mountRefused) {
      EXPECT_EQ(lab::kVMStatusBackedUp, record.getint64(Info::F_vmStatus)) << "the resume does not finish vm01: "
                                                                            << Output();
    } else {
      EXPECT_EQ(1, record.getint64(Info::F_vmStatus)) << Output();
      EXPECT_FALSE(record.getstring(Info::F_failureText).empty()) << "vm01 does not say why: " << Output();
      const std::vector<std::string> results = lab::ReadJobResultLines(1003);
      EXPECT_TRUE(std::any_of(results.begin(), results.end(),
                              [](const std::string& line) { return line.compare(0, 5, "vm01 ") == 0; }))
          << "backup.out does not name vm01: " << Output();
      CheckVMRestoresAsOf(1003, kVM, laterStands ? held_[1003][kVM] : firstAttempt, "job 1003 resumed, vm01 failed");
    }
    CheckEveryJobHoldsWhatItReports("job 1003 resumed");
    if (secondStub) {
      EXPECT_TRUE(Stubbed(kRunningVM)) << "job 1003 resumed";
    }
    WriteWhatIsLeft(5);
    JobThenCheckEvery(1004, "2", archiving);
    if (archiving) {
      EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1004, kVM);
    }
  }
  // `vm restore --job` of the job gives back the VM with the bytes of `copies` (taken before the attempt
  // that stands for the job), and verify of the job and the VM agrees.
  void CheckVMRestoresAsOf(int64_t job, const std::string& vm, const std::map<std::string, std::string>& copies,
                           const std::string& when) {
    const std::string jobText = std::to_string(job);
    EXPECT_EQ(0, Tool({"verify", lab_, "--job", jobText, "--vm", vm})) << when << ": job " << jobText << ", " << vm
                                                                        << ": " << Output();
    const promise::Restore restore = promise::RestoreAsOfJobInCopy(
        lab_, dir_.Path("held" + std::to_string(++restores_)), vm, job, dir_.Path("held.txt"));
    ASSERT_EQ(0, restore.status) << when << ": " << restore.output;
    EXPECT_EQ(copies.size(), restore.disks.size()) << when << ": " << restore.output;
    for (const auto& disk : copies) {
      EXPECT_TRUE(restore.disks.count(disk.first) && restore.disks.at(disk.first) == testsupport::ReadDisk(disk.second))
          << when << ": vm restore --job " << job << " gives back other bytes of " << vm << "'s disk " << disk.first
          << " than it had before the attempt that stands for the job: " << restore.output;
    }
  }

  // Archiving job 1001 stubs vm01 while every read of vm02's disk fails: its backup phase goes pending,
  // its stub phase ends it completed with errors, vm02 to be backed up saying why. The fault cleared, the
  // job is run again to retry vm02 (-stub, two streams), and that attempt's job process is killed at a
  // held call of vm02 (`hold`: a read of its disk, its archive's close, its archive-index run). The
  // stub record of vm01 names the job, but runs.log shows the stub phase that made it ended before the
  // killed attempt began: the job manager's next run (`resumed`) runs the backup phase again with the
  // killed attempt's options, which backs vm02 up, and then the stub phase. Or (not `resumed`) the stub
  // phase is run over the killed attempt: it ends the job, and vm02, which that attempt did not finish,
  // says why in its record, an event and backup.out, and outcome says which backup stands for it; the
  // job's next attempt backs it up. After every command each job holds each VM it reports backed up or
  // stubbed as it was before the job, no VM of an ended job is left unfinished without a word, and so
  // the next archiving job.
  void ARetryOfAFailedVMKilledThenResumed(const std::vector<std::string>& hold, bool resumed) {
    const std::string guid = Description(kRunningVM).guid;
    CopiesOfEachVMBefore(1001);
    ASSERT_EQ(0, Tool({"fault", lab_, "add", "disk.Read", "--code", "5", "--vm", kRunningVM, "--times", "always"}))
        << Output();
    BackupPhase(1001, "1", "2");
    EXPECT_EQ("job 1001: pending", OutcomeLine(1001));
    StubPhase(1001);
    ClearFaults();
    EXPECT_EQ("job 1001: completed with errors", OutcomeLine(1001));
    ASSERT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1001, kVM);
    EXPECT_TRUE(labrun::Has(Output(), "\n  vm02 [" + guid + "] To be backed up: Could not read data")) << Output();
    CheckEveryJobHoldsWhatItReports("job 1001, vm02 failed");

    std::vector<std::string> rule = {"fault", lab_, "hold"};
    rule.insert(rule.end(), hold.begin(), hold.end());
    rule.insert(rule.end(), {"--vm", kRunningVM});
    ASSERT_EQ(0, Tool(rule)) << Output();
    const KilledRun run = RunKilledAtTheHold(1001, {"-stub", "-numStreams", "2"});
    ASSERT_TRUE(run.killed) << run.output;
    EXPECT_EQ(2, run.status) << run.output;
    EXPECT_TRUE(labrun::Has(run.output, "job 1001: pending: the job process was killed by signal 9")) << run.output;
    CheckEveryJobHoldsWhatItReports("job 1001's retry of vm02 killed");
    CheckStreams(1001, "job 1001's retry of vm02 killed");

    Info record;
    if (resumed) {
      EXPECT_EQ(0, Tool({"run", lab_, "--job", "1001"})) << Output();
      EXPECT_TRUE(labrun::Has(Output(), "the backup phase of job 1001 has not ended (runs.log shows its latest run, a "
                                        "backup phase, killed by signal 9; the stub records of vm01 are of its stub "
                                        "phase that ended before that run began); running the backup phase again "
                                        "with -stub -numStreams 2, as the job manager resumes it\n"))
          << Output();
      EXPECT_TRUE(labrun::Has(Output(), "running job 1001 (full backup) on coordinator with 2 streams reserved"))
          << Output();
      EXPECT_EQ("job 1001: completed", OutcomeLine(1001));
    } else {
      StubPhase(1001);
      EXPECT_EQ("job 1001: completed with errors", OutcomeLine(1001));
      const std::string out = Output();
      ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, guid, record));
      EXPECT_EQ(lab::kVMStatusToBeBackedUp, record.getint64(Info::F_vmStatus)) << out;
      const std::string why = "Not backed up by this job: its backup phase did not finish the VM (its record said "
                              "[In progress]: the job process of that phase ended before it did), and the stub "
                              "phase, which ended the job, archives nothing of it";
      EXPECT_EQ(0u, record.getstring(Info::F_failureText).find(why)) << out;
      for (const std::string& line : {"\n  vm02 [" + guid + "] To be backed up: " + why,
                                      "\n  CRITICAL 0x5B0001DB vm02|" + why, "\n  vm02 Failed " + why})
        EXPECT_TRUE(labrun::Has(out, line)) << line << "\n" << out;
      EXPECT_TRUE(labrun::Has(out, "backs the VM up; ") &&
                  labrun::Has(out, ", and as of job 1001 it cannot be restored: "))
          << "outcome does not say which backup stands for vm02: " << out;
      CheckEveryJobHoldsWhatItReports("job 1001's stub phase over the killed retry");
      BackupPhase(1001, "1", "2");
      EXPECT_EQ("job 1001: completed", OutcomeLine(1001));
    }
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, guid, record));
    EXPECT_EQ(lab::kVMStatusBackedUp, record.getint64(Info::F_vmStatus)) << "vm02 is not retried: " << Output();
    CheckEveryJobHoldsWhatItReports("job 1001's retry of vm02 " + std::string(resumed ? "resumed" : "run again"));
    StubPhase(1001);
    EXPECT_EQ("job 1001: completed", OutcomeLine(1001));
    CheckEveryJobHoldsWhatItReports("job 1001's stub phase after vm02's retry");
    ASSERT_EQ(0, Tool({"disk", lab_, kRunningVM, "1", "write", "--offset", "65536", "--bytes", "65536"})) << Output();
    JobThenCheckEvery(1002, "2", true);
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1002, kVM);
  }

  // vm02 fails in the backup phase of job 1001 (its mount refused, or a disk's mount failed), vm01 is
  // stubbed in its stub phase: the job ends completed with errors, as it did after its backup phase.
  void ABackupPhaseFailsAVM(const char* operation) {
    CopiesBefore(1001);
    ASSERT_EQ(0, Tool({"fault", lab_, "add", operation, "--code", "5", "--times", "always", "--vm", kRunningVM}))
        << Output();
    BackupPhase(1001);
    ClearFaults();
    EXPECT_EQ("job 1001: completed with errors", OutcomeLine(1001));
    StubPhase(1001);
    EXPECT_EQ("job 1001: completed with errors", OutcomeLine(1001)) << "the stub phase's outcome drops its backup "
                                                                        "phase's";
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1001, kVM);
    CheckJobHoldsVM(1001);
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, Description(kRunningVM).guid, record));
    EXPECT_NE(0, record.getint64(Info::F_vmStatus));
    EXPECT_FALSE(record.getstring(Info::F_failureText).empty()) << "vm02 does not say why";
  }

  // ---- An archiving job whose job manager could not record a VM's status ----
  // Job 1002, an archiving incremental after job 1001 (a full without archiving, vm01 written since; or
  // one that stubbed vm01), whose job manager refuses every record of a VM through both its phases: vm01
  // idle, to be stubbed; vm01 a stub of job 1001 that the job reports; or vm02 running, vm01 stubbed by
  // the job. Or vm01's records in the job's stub phase only, which stubs it. Each phase ends the job
  // completed with errors, naming the VM and why in the log, an event and pending cause 0x5B0001DB and a
  // line of backup.out; outcome names a VM the job manager holds no record of with the reason its latest
  // attempt gave, and never shows vm01 "Backed up, to be archived" beside a stub of the job. Every disk
  // the stub deleted restores, the job holds vm01 (and vm02) as before it, and the next archiving job
  // stubs vm01 or reports its stub, and holds it.
  enum class StubJobUnrecorded { kIdleVM, kStub, kRunningVM, kIdleVMInTheStubPhaseOnly };
  void AnArchivingJobThatCouldNotRecordAVMsStatus(StubJobUnrecorded how) {
    if (how == StubJobUnrecorded::kStub) {
      ArchivingJobThatStubsVM01(1001, "1");
    } else {
      CopiesBefore(1001);
      EXPECT_EQ(0, Tool({"run", lab_, "--job", "1001", "--", "-t", "1", "-numStreams", "2"})) << Output();
      WriteWhatIsLeft(2);
    }
    CopiesBefore(1002);
    NextJob(1002);
    const bool stubPhaseOnly = how == StubJobUnrecorded::kIdleVMInTheStubPhaseOnly;
    const std::string vm = how == StubJobUnrecorded::kRunningVM ? kRunningVM : kVM;
    const std::string guid = Description(vm).guid;
    const std::vector<std::string> refused = {"fault", lab_, "add", "jobmgr.setVMStatus", "--code", "5", "--times",
                                              "always", "--vm", vm};
    if (!stubPhaseOnly) {
      ASSERT_EQ(0, Tool(refused)) << Output();
    }
    BackupPhase(1002, "2", "2");
    EXPECT_EQ(stubPhaseOnly ? "job 1002: completed" : "job 1002: completed with errors", OutcomeLine(1002));
    if (stubPhaseOnly) {
      ASSERT_EQ(0, Tool(refused)) << Output();
    }
    StubPhase(1002, "2");
    ClearFaults();
    EXPECT_EQ(how != StubJobUnrecorded::kIdleVM, Stubbed(kVM)) << WhyNotStubbed(1002, kVM);
    EXPECT_EQ("job 1002: completed with errors", OutcomeLine(1002)) << Output();
    const std::string out = Output();
    const std::string why =
        stubPhaseOnly ? "The job manager's record of the VM says [Backed up], stub status [To be archived]: the stub "
                        "phase stubbed the VM, and its stub status [Stubbed] could not be recorded"
                      : "The job manager holds no record of the VM in this job: the stub phase found none, and "
                        "archives nothing of the VM";
    for (const std::string& line : {"\n  0x5B0001DB " + vm + "|" + why, "\n  CRITICAL 0x5B0001DB " + vm + "|" + why,
                                    "\n  " + vm + " Warning " + why,
                                    " Failed to update VM status with Job Manager. VM [" + vm + "] [" + guid + "]: " +
                                        why})
      EXPECT_TRUE(labrun::Has(out, line)) << line << "\n" << out;
    if (!stubPhaseOnly) {
      EXPECT_TRUE(labrun::Has(out, "VMs of the job the job manager holds no record of:\n  " + vm + " [" + guid +
                                       "]: its status could not be recorded when the job ran"))
          << out;
    } else {
      EXPECT_TRUE(labrun::Has(out, "\n  vm01 [" + guid + "] Stubbed by this job (its event 0x5B000053 and the "
                                   "hypervisor's stub record say so), which the job manager's record does not say"))
          << out;
    }
    if (Stubbed(kVM)) {
      EXPECT_FALSE(labrun::Has(out, "] Backed up, to be archived")) << out;
    }
    CheckJobHoldsVM(1002);
    if (how == StubJobUnrecorded::kRunningVM) CheckRunningVMRestoresAsOf(1002);
    ArchivingJobThatStubsVM01(1003);
    EXPECT_EQ("job 1003: completed", OutcomeLine(1003));
  }
  // `vm restore --job` of the job gives back vm02 with the bytes of its copies (taken before the job).
  void CheckRunningVMRestoresAsOf(int64_t job) {
    const promise::Restore restore =
        promise::RestoreAsOfJobInCopy(lab_, dir_.Path("restore" + std::to_string(++restores_)), kRunningVM, job, out_);
    EXPECT_EQ(0, restore.status) << restore.output;
    EXPECT_EQ(copies_[kRunningVM].size(), restore.disks.size()) << restore.output;
    for (const auto& disk : restore.disks) {
      EXPECT_TRUE(!disk.second.empty() && disk.second == testsupport::ReadDisk(copies_[kRunningVM][disk.first]))
          << "disk " << disk.first << " of vm02 does not restore as of job " << job << " to its bytes before the job";
    }
  }
  // The subclient also relocates a VM idle for a day, to host esx2, and gives archiving no precedence:
  // idle vm01 meets both rules, archiving job 1001 relocates it, and job 1002 (vm01 written between) stubs
  // it where it now is. Each job completes, naming no VM it could not record (0x5B0001DB); vm01's status
  // says it was relocated, and the job manager's record so; the relocation keeps every disk, job 1001
  // holds vm01 as it was before the job, and each job holds each VM it reports backed up or stubbed.
  void AVMRelocatedThenStubbedByTheNextJob() {
    std::string error;
    for (const auto& setting : std::map<std::string, std::string>{
             {"relocateRule", "1"}, {"relocateDays", "1"}, {"destinationHost", "esx2"}})
      ASSERT_TRUE(lab::SetSubclientValue("1", setting.first, setting.second, error)) << error;
    const std::string guid = Description(kVM).guid;
    JobThenCheckEvery(1001, "1", true);
    EXPECT_EQ("job 1001: completed", OutcomeLine(1001));
    EXPECT_TRUE(labrun::Has(Output(), "\n  vm01 [" + guid + "] Relocated (job manager status: To be backed up)"))
        << Output();
    EXPECT_FALSE(labrun::Has(Output(), "0x5B0001DB")) << Output();
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1001, guid, record));
    EXPECT_EQ(JobManager::kStubStatusRelocated, record.getint64(Info::F_stubStatus)) << StatusText(1001);
    EXPECT_EQ("esx2", Description(kVM).host);
    EXPECT_FALSE(Stubbed(kVM));
    EXPECT_TRUE(promise::GoneDisks(Description(kVM)).empty()) << "the relocation deleted a disk";
    CheckJobHoldsVM(1001);
    WriteWhatIsLeft(2);
    JobThenCheckEvery(1002, "2", true);
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1002, kVM);
    EXPECT_EQ("job 1002: completed", OutcomeLine(1002));
    EXPECT_FALSE(labrun::Has(Output(), "0x5B0001DB")) << Output();
    CheckJobHoldsVM(1001);
  }
  // Job 1001 stubs vm01; job 1002's backup phase asks the hypervisor for vm01's inventory and is refused
  // (code 5, not its "no such VM", 3001): vm01 fails, saying why, and is not taken for a stub deleted from
  // the hypervisor (no event 0x5B000057, and the index's record of it starts no clock to the stub's
  // expiry). The job completes with errors; the next archiving job reports the stub and holds it.
  void AStubWhoseInventoryQueryIsRefused() {
    ArchivingJobThatStubsVM01(1001, "1");
    CopiesBefore(1002);
    NextJob(1002);
    Fault({"add", "vminfo.GetVMInfoForVM", "--code", "5"});
    BackupPhase(1002, "2");
    EXPECT_EQ(1, FaultsFired()) << "the inventory query the row refuses was never made";
    ClearFaults();
    const std::string guid = Description(kVM).guid;
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, guid, record));
    EXPECT_NE(lab::kVMStatusBackedUp, record.getint64(Info::F_vmStatus)) << StatusText(1002);
    EXPECT_TRUE(labrun::Has(StatusText(1002), "The hypervisor could not describe the VM: ")) << StatusText(1002);
    EXPECT_EQ("job 1002: completed with errors", OutcomeLine(1002));
    EXPECT_FALSE(labrun::Has(Output(), "0x5B000057")) << Output();
    std::string error;
    lab::SubclientRecord subclient;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error)) << error;
    lab::IndexStubRecord indexed;
    ASSERT_TRUE(lab::ReadIndexStubRecord(subclient.settings["subclientGUID"], guid, indexed, error)) << error;
    EXPECT_EQ(0, indexed.deleteTime) << "the index's record of vm01 starts the clock to the stub's expiry";
    StubPhase(1002, "2");
    EXPECT_EQ("job 1002: completed with errors", OutcomeLine(1002));
    EXPECT_FALSE(labrun::Has(Output(), "0x5B000057")) << Output();
    ArchivingJobThatStubsVM01(1003);
  }

  // vm01 and vm02 off, both to be archived by job 1001, and vm01's stub cut off by the hypervisor after
  // one disk: the stub phase ends completed with errors (vm02 stubbed, vm01's stub failed with its
  // record left "in progress"); then runs.log is lost. The job reads as ended still, for nothing of its
  // stub phase is under way: the job manager's next run starts job 1002, which holds vm01 as it was
  // before it, half stubbed.
  void CutOffStubPhaseEndedThenRunsLogLost() {
    ASSERT_EQ(0, Tool({"vm", lab_, kRunningVM, "power", "off", "--hours", "72"}));
    CopiesBefore(1001);
    BackupPhase(1001);
    Fault({"add", "vminfo.StubVMDisk", "--code", "3010", "--after", "1"});
    TakeCopies();
    EXPECT_EQ(1, Tool({"run", lab_, "--job", "1001", "--", "-numStreams", "1", "-stub", "-stubPhase"})) << Output();
    CheckRunNamesStubPhase(1001, "1");
    ClearFaults();
    const std::string when = "the stub phase ended with vm01's stub cut off";
    CheckRestores(when);
    CheckStreams(1001, when);
    EXPECT_TRUE(Stubbed(kRunningVM)) << WhyNotStubbed(1001, kRunningVM);
    ASSERT_EQ(1u, promise::GoneDisks(Description(kVM)).size()) << "vm01 is not half stubbed";
    EXPECT_FALSE(WhyNotStubbed(1001, kVM).empty()) << "vm01 does not say why it is not stubbed";
    for (RunsLog how : {RunsLog::kKept, RunsLog::kDeleted}) {
      ASSERT_NO_FATAL_FAILURE(LeaveRunsLog(how));
      EXPECT_EQ(0, Tool({"outcome", lab_}));
      EXPECT_EQ(0u, Output().find("job 1001: completed with errors\n")) << Output();
    }
    // The job's records, not runs.log alone, say that it has run: it keeps its level.
    EXPECT_EQ(64, Tool({"run", lab_, "--job", "1001", "--", "-t", "2", "-numStreams", "1"})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "job 1001 has run at level 1 (full)")) << Output();
    CopiesBefore(1002);
    EXPECT_EQ(0, Tool({"run", lab_, "--", "-t", "2", "-numStreams", "1"})) << Output();
    EXPECT_FALSE(labrun::Has(Output(), "the stub phase of job 1001")) << "an ended stub phase resumed: " << Output();
    EXPECT_TRUE(labrun::Has(Output(), "running job 1002 (incremental backup) on ")) << Output();
    CheckStreams(1002, "the job after a stub phase that ended");
    CheckJobHoldsVM(1002);
  }

  // The lab tool's run (its output just read) names the job's stub phase by the backup's level in its
  // start line and in its summary, whether the run was asked for it or resumes it.
  void CheckRunNamesStubPhase(int64_t job, const std::string& level) {
    const std::string jobText = std::to_string(job);
    const std::string kind = "stub phase of its " + std::string(level == "1" ? "full" : "incremental") + " backup";
    EXPECT_TRUE(labrun::Has(Output(), "running job " + jobText + " (" + kind + ") on "))
        << "the run's start line does not name the " << kind << ": " << Output();
    EXPECT_TRUE(labrun::Has(Output(), "\nsummary of job " + jobText + ": " + kind + ", "))
        << "the run's summary does not name the " << kind << ": " << Output();
  }

  // ---- A VM judged by the disks it had at each job: a disk given or detached since, a stub restored ----
  // After CheckJobHoldsVM(job), vm01 given the disk `added` since the job: verify as of the job said the
  // disk is not the VM's then, and the restore as of the job left it as it is and said why.
  void CheckGivenSinceIsLeft(int64_t job, const std::string& added) {
    const std::string jobText = std::to_string(job);
    EXPECT_TRUE(labrun::Has(Output(), "  disk " + added + ": not the VM's at job " + jobText + " (")) << Output();
    const std::string restored = labrun::ReadText(dir_.Path("asof.txt"));
    EXPECT_TRUE(labrun::Has(restored, "  " + added + " left as it is: VM [vm01] had no such disk at job " + jobText +
                                          " ("))
        << restored;
  }
  // The last disk taken off the VM with its image, as the hypervisor's delete from its datastore does.
  void DetachDiskAndItsImage() {
    std::string error;
    ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), kVM, [](lab::VMDescription& vm, std::string& why) {
      if (!lab::DeleteVMDiskImage(lab::SampleServer(), vm, vm.disks.size() - 1, why)) return false;
      vm.disks.pop_back();
      return true;
    }, error)) << error;
  }
  void PowerVM(bool on) {
    std::vector<std::string> args = {"vm", lab_, kVM, "power", on ? "on" : "off"};
    if (!on) args.insert(args.end(), {"--hours", "72"});
    ASSERT_EQ(0, Tool(args)) << Output();
  }
  // vm01 runs through the archiving job 1001, then, off again, is stubbed by job 1002, which holds it.
  void StubbedByJob1002AfterAFullItRanThrough() {
    PowerVM(true);
    ArchivingJob(1001, "1");
    PowerVM(false);
    ArchivingJob(1002);
    ASSERT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1002, kVM);
    CheckJobHoldsVM(1002);
  }
  // vm01 runs through job 1001 and job 1002 stubs it; given a disk and powered on, it is backed up whole
  // by job 1003; its user detaches the disk (its image kept, or deleted too) and powers it off, and job
  // 1004 reports the stub of job 1002, which did not have the disk. Each job holds vm01 as it was before
  // it; verify as of job 1004, and the whole verify, find the detached disk no part of the job's backup.
  void ADiskGivenToAStubDetachedBeforeAJobReportsIt(bool imageDeleted) {
    ASSERT_NO_FATAL_FAILURE(StubbedByJob1002AfterAFullItRanThrough());
    ASSERT_NO_FATAL_FAILURE(AddDisk());
    PowerVM(true);
    ArchivingJob(1003);
    CheckJobHoldsVM(1003);
    ASSERT_NO_FATAL_FAILURE(imageDeleted ? DetachDiskAndItsImage() : DetachDisk());
    PowerVM(false);
    ArchivingJob(1004);
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1004, Description(kVM).guid, record));
    EXPECT_EQ(lab::kVMStubStatusStubbed, record.getint64(Info::F_stubStatus)) << WhyNotStubbed(1004, kVM);
    CheckJobHoldsVM(1004);
    EXPECT_TRUE(labrun::Has(Output(), "  disk scsi0-2-vm01_2.img: ") &&
                labrun::Has(Output(), "not the VM's at job 1004"))
        << Output();
    EXPECT_EQ(0, Tool({"verify", lab_})) << Output();
    CheckJobHoldsVM(1002);
  }
  // vm01 runs through job 1001 and job 1002 stubs it (or cuts its stub off after one disk); a plain
  // incremental 1003 backs it up without archiving, recording the disks the stub deleted as gone, and
  // archiving job 1004 reports the stub (or finishes it); then the administrator restores vm01 in place.
  // Each job still holds vm01 as it was before it: verify as of each checks the disks against the
  // backups a restore as of the job brings them back from, and the point-in-time copies of those jobs.
  void AStubRestoredInPlaceAfterAPlainJob(bool cutOff) {
    PowerVM(true);
    ArchivingJob(1001, "1");
    PowerVM(false);
    if (cutOff) Fault({"add", "vminfo.StubVMDisk", "--code", "3010", "--after", "1"});
    ArchivingJob(1002);
    ClearFaults();
    EXPECT_EQ(!cutOff, Stubbed(kVM)) << WhyNotStubbed(1002, kVM);
    CheckJobHoldsVM(1002);
    WriteWhatIsLeft(3);
    CopiesBefore(1003);
    NextJob(1003);
    EXPECT_EQ(0, Tool({"run", lab_, "--job", "1003", "--", "-t", "2", "-numStreams", "1"})) << Output();
    CheckJobHoldsVM(1003);
    WriteWhatIsLeft(4);
    ArchivingJobThatStubsVM01(1004);
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "restore"})) << Output();
    for (int64_t job : {1002, 1003, 1004}) CheckJobHoldsVM(job);
    EXPECT_TRUE(labrun::Has(Output(), "matches the point-in-time copy of job 1002") &&
                !labrun::Has(Output(), "HELD BY NO BACKUP"))
        << "verify as of job 1004 does not check the disks of the stub restored since: " << Output();
  }
  // vm01 stubbed by job 1002, restored in place and stubbed again by job 1003, then given a disk, which
  // job 1004 backs up and stubs with the rest. As of jobs 1002 and 1003 vm01 restores as it was before
  // each, the disk given since left as it is; as of job 1004 with it.
  void AStubRestoredStubbedAgainThenGivenADisk() {
    ASSERT_NO_FATAL_FAILURE(StubbedByJob1002AfterAFullItRanThrough());
    ASSERT_EQ(0, Tool({"vm", lab_, kVM, "restore"})) << Output();
    WriteWhatIsLeft(3);
    ArchivingJob(1003);
    ASSERT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1003, kVM);
    CheckJobHoldsVM(1003);
    ASSERT_NO_FATAL_FAILURE(AddDisk());
    ArchivingJob(1004);
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(1004, kVM);
    for (int64_t job : {1004, 1003, 1002}) {
      CheckJobHoldsVM(job);
      if (job != 1004) CheckGivenSinceIsLeft(job, "scsi0-2-vm01_2.img");
    }
  }
  // Job 1001 stubs vm01; the plain incremental 1002 backs the stub up as a stub (its mount takes the VM's
  // configuration file); the job manager's record of vm01 in job 1002 is lost, and the job is run again
  // with -stub and its stub phase, which report vm01 stubbed. That latest attempt reported the stub and
  // mounted nothing: verify as of the job judges vm01 by the stub's backup, not by the earlier attempt's
  // mount, and agrees with `vm restore --job 1002`, both giving vm01 as it was before job 1001; so too once
  // the administrator restored it in place (`restoredInPlace`). The next archiving job holds it too.
  void AStubReportedByALaterAttemptOfAPlainJobThatMountedIt(bool restoredInPlace) {
    ArchivingJobThatStubsVM01(1001, "1");
    CopiesBefore(1002);
    NextJob(1002);
    EXPECT_EQ(0, Tool({"run", lab_, "--job", "1002", "--", "-t", "2", "-numStreams", "1"})) << Output();
    CheckJobHoldsVM(1002);
    const std::string guid = Description(kVM).guid;
    ASSERT_EQ(0, unlink(lab::VMStatusPath(1002, guid).c_str()));
    BackupPhase(1002, "2");
    StubPhase(1002, "2");
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, guid, record));
    EXPECT_EQ(lab::kVMStubStatusStubbed, record.getint64(Info::F_stubStatus)) << StatusText(1002);
    CheckJobHoldsVM(1002);
    EXPECT_EQ(0, Tool({"verify", lab_})) << Output();
    if (restoredInPlace) {
      ASSERT_EQ(0, Tool({"vm", lab_, kVM, "restore"})) << Output();
      CheckJobHoldsVM(1002);
      EXPECT_TRUE(labrun::Has(Output(), "matches the point-in-time copy of job 1001") &&
                  !labrun::Has(Output(), "not taken by the mount of job 1002"))
          << "verify as of job 1002 does not check the disks of the stub restored since: " << Output();
      WriteWhatIsLeft(3);
    }
    ArchivingJobThatStubsVM01(1003);
  }
  // vm01 stubbed by job 1001; then its description on the hypervisor does not read (`key` set to `value`,
  // as a hand edit or a damaged file leaves it), as ADescriptionThatDoesNotRead tells.
  void AStubWhoseDescriptionDoesNotRead(const std::string& key, const std::string& value, bool archiving = true) {
    ADescriptionThatDoesNotRead(true, SetLine(key, key + "=" + value), "value of " + key + " [" + value + "]",
                                archiving);
  }
  // The description's text with the line of `key` replaced by `line` (none: removed).
  static std::function<std::string(const std::string&)> SetLine(const std::string& key, const std::string& line) {
    return [=](const std::string& text) {
      const size_t start = text.find("\n" + key + "=");
      if (start == std::string::npos) return text;
      const size_t end = text.find('\n', start + 1);
      return text.substr(0, start + 1) + line + (line.empty() ? "" : "\n") +
             (end == std::string::npos ? std::string() : text.substr(end + 1));
    };
  }
  // vm01 stubbed by job 1001 (`stub`; else running through it, backed up whole); then its description on
  // the hypervisor is damaged (`damage` gives its text from the one it had, as a hand edit or a damaged
  // file leaves it) and does not read for `reason`. The lab's next job (an archiving one, or not) lists
  // vm01 as discovery would: the job fails it, saying why, with an event, and completes with errors; `vm
  // restore`, `disk ... write` and verify name it and why, and nothing of it changes or goes. With its
  // description reading again, every disk its stub deleted restores, and the next archiving job reports
  // the stub, or backs the VM up, and holds it.
  void ADescriptionThatDoesNotRead(bool stub, const std::function<std::string(const std::string&)>& damage,
                                   const std::string& reason, bool archiving = true) {
    if (stub) {
      ArchivingJobThatStubsVM01(1001, "1");
    } else {
      PowerVM(true);
      ArchivingJob(1001, "1");
      CheckJobHoldsVM(1001);
    }
    CopiesBefore(1002);
    const lab::VMDescription had = Description(kVM);
    const std::string path = lab::VMDescriptionPath(lab::SampleServer(), kVM);
    const std::string text = labrun::ReadText(path);
    const std::string broken = damage(text);
    ASSERT_NE(text, broken);
    ASSERT_TRUE(lab::WriteFileAtomic(path, broken));
    const std::string why = "the description of VM [vm01] (hypervisor/" + std::string(lab::SampleServer()) +
                            "/vms/vm01.vm) does not read: " + reason;
    std::vector<std::string> run = {"run", lab_, "--", "-t", "2", "-numStreams", "1"};
    if (archiving) run.push_back("-stub");
    EXPECT_EQ(1, Tool(run)) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "  vm01 is in it, though " + why) &&
                labrun::Has(Output(), "job 1002: completed with errors\n"))
        << Output();
    Info record;
    ASSERT_TRUE(vsJobMgr::ReadVMStatus(1002, had.guid, record));
    const std::string status = record.getstring(Info::F_failureText);
    EXPECT_EQ(1, record.getint64(Info::F_vmStatus)) << status;
    EXPECT_TRUE(labrun::Has(status, why)) << status;
    const std::string events = labrun::ReadText(lab::JobFile(1002, "events.log"));
    EXPECT_TRUE(labrun::Has(events, " vm01|") && labrun::Has(events, why)) << events;
    EXPECT_EQ(1, Tool({"vm", lab_, kVM, "restore"})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), why) && labrun::Has(Output(), "; nothing was changed")) << Output();
    EXPECT_EQ(1, Tool({"disk", lab_, kVM, "0", "write", "--offset", "0", "--bytes", "512"})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), why)) << Output();
    // The whole verify, and that of vm01 alone.
    for (const std::string vm : {"", kVM}) {
      EXPECT_EQ(1, Tool(vm.empty() ? std::vector<std::string>{"verify", lab_}
                                   : std::vector<std::string>{"verify", lab_, "--vm", vm}))
          << Output();
      EXPECT_TRUE(labrun::Has(Output(), "VM vm01 [" + had.guid + "]: DOES NOT READ on the hypervisor: " + why))
          << Output();
    }
    EXPECT_EQ(0, Tool({"verify", lab_, "--job", "1002", "--vm", kRunningVM})) << Output();
    EXPECT_EQ(broken, labrun::ReadText(path)) << "a description that does not read was rewritten";
    for (size_t i = 0; i < had.disks.size(); ++i) {
      const std::string image = lab::DiskImagePath(lab::SampleServer(), had.disks[i].file);
      if (stub) {
        EXPECT_FALSE(testsupport::Exists(image)) << image << ": an image of a disk the stub deleted was made again";
      } else {
        EXPECT_EQ(testsupport::ReadDisk(before_[1002][lab::LabDiskIndexName(i, had.disks[i].file)]),
                  testsupport::ReadDisk(image))
            << image << ": a disk of a VM whose description does not read was written";
      }
    }
    ASSERT_TRUE(lab::WriteFileAtomic(path, text));
    CheckRestores("the description read again");
    if (stub) {
      ArchivingJobThatStubsVM01(1003);
    } else {
      ArchivingJob(1003);
      CheckJobHoldsVM(1003);
    }
  }
  // vm01 runs through the full job 1001 and is written; job 1002 cannot mount it (the job keeps no record
  // of its disks) and fails it, saying why; then its user gives it a disk. As of job 1002 vm01 is job
  // 1001's backup, which stands for it: the restore as of job 1002 gives its disks back as they were before
  // job 1001, judged by the disks it had at job 1001, and leaves the new disk as it is.
  void AVMWhoseMountWasRefusedThenGivenADisk() {
    PowerVM(true);
    ArchivingJob(1001, "1");
    CheckJobHoldsVM(1001);
    WriteWhatIsLeft(2);
    Fault({"add", "vminfo.MountVM", "--code", "5", "--times", "always"});
    ArchivingJob(1002);
    ClearFaults();
    EXPECT_EQ("job 1002: completed with errors", OutcomeLine(1002));
    EXPECT_FALSE(StatusText(1002).empty()) << "vm01 is not backed up and does not say why";
    ASSERT_NO_FATAL_FAILURE(AddDisk());
    CheckRestoreAsOf(1002, 1001);
    EXPECT_TRUE(labrun::Has(labrun::ReadText(dir_.Path("asof.txt")), "  scsi0-2-vm01_2.img left as it is: VM [vm01] "
                                                                     "had no such disk at job 1001, its newest backup "
                                                                     "at or before job 1002 ("));
  }
  // vm01 runs through the full job 1001; its user gives it a disk and takes off the two it had (their images
  // kept), and job 1002 stubs it. No disk its stub deleted was vm01's at job 1001: the restore as of job 1001
  // has nothing to restore, says so and changes nothing (the stub keeps its record and its disk stays
  // deleted); `vm restore` brings the disk back from job 1002.
  void AStubWhoseEveryDiskWasGivenSinceRestoredAsOfAnEarlierJob() {
    PowerVM(true);
    ArchivingJob(1001, "1");
    ASSERT_NO_FATAL_FAILURE(AddDisk());
    std::string error;
    ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), kVM, [](lab::VMDescription& vm, std::string&) {
      vm.disks.erase(vm.disks.begin(), vm.disks.begin() + 2);
      return true;
    }, error)) << error;
    PowerVM(false);
    ArchivingJobThatStubsVM01(1002);
    const std::string stub = labrun::ReadText(lab::VMDescriptionPath(lab::SampleServer(), kVM));
    EXPECT_EQ(1, Tool({"vm", lab_, kVM, "restore", "--job", "1001"})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "nothing to restore as of job 1001: scsi0-0-vm01_2.img left as it is: VM "
                                      "[vm01] had no such disk at job 1001 ("))
        << Output();
    EXPECT_EQ(stub, labrun::ReadText(lab::VMDescriptionPath(lab::SampleServer(), kVM)))
        << "a restore that restored nothing changed the stub";
    CheckRestores("the restore as of a job before every disk the stub deleted");
  }

 protected:
  testsupport::TestLab dir_;
  const std::string lab_ = dir_.Path("lab");
  const std::string out_ = dir_.Path("tool.txt");
  std::map<std::string, std::map<std::string, std::string>> copies_;  // VM -> disk name -> its last copy
  std::map<int64_t, std::map<std::string, std::string>> before_;      // job -> vm01's disk name -> its copy
  int64_t damagedJob_ = 0;  // the job whose archive of vm01 the test damaged
  bool runningVMIdle_ = false;  // vm02 was powered off to be stubbed too
  // job -> VM -> disk name -> its copy just before the job (CopiesOfEachVMBefore)
  std::map<int64_t, std::map<std::string, std::map<std::string, std::string>>> held_;
  std::set<std::pair<int64_t, std::string>> lostReports_;  // job and VM it reported, whose record was lost
  int restores_ = 0;
};

class ArchivingPromise : public ArchivingLab, public testing::WithParamInterface<const char*> {};

const std::map<std::string, std::function<void(ArchivingLab&)>>& Ways() {
  using Earlier = ArchivingLab::EarlierAttempt;
  using Unrecorded = ArchivingLab::Unrecorded;
  static const std::string empty = "it is empty (no key=value line)";
  const auto again = [](Earlier earlier, bool archiving, bool writes) {
    return [=](ArchivingLab& t) { t.AnEarlierAttemptBackedUpVM01ThenItsJobAgain(earlier, archiving, writes); };
  };
  static const std::map<std::string, std::function<void(ArchivingLab&)>> ways = {
      {"RetryAfterACutOffBeforeAnyDisk", [](ArchivingLab& t) { t.RetryAfterCutOff("0", false); }},
      {"RetryAfterACutOffAfterOneDisk", [](ArchivingLab& t) { t.RetryAfterCutOff("1", false); }},
      {"CutOffAndRunningAgain", [](ArchivingLab& t) { t.RetryAfterCutOff("1", true); }},
      {"AWriteBetweenThePhases",
       [](ArchivingLab& t) {
         ArchivingLab& s = t;
         s.ChangeBetweenPhases([&] { s.GuestWrite("1", "65536", "65536"); }, false);
       }},
      {"ADiskAddedBetweenThePhases",
       [](ArchivingLab& t) {
         ArchivingLab& s = t;
         s.ChangeBetweenPhases([&] { s.AddDisk(); }, false);
       }},
      {"ADiskDetachedBetweenThePhases",
       [](ArchivingLab& t) {
         ArchivingLab& s = t;
         s.ChangeBetweenPhases([&] { s.DetachDisk(); }, true);
       }},
      {"ADisksArchiveLostWhileTheIndexListsIt", [](ArchivingLab& t) { t.MediaAndIndexDisagree(true); }},
      {"ADiskWrittenWhileTheIndexSaysItsBackupReadItsNewChangeId",
       [](ArchivingLab& t) { t.MediaAndIndexDisagree(false); }},
      {"KilledAtTheFirstDisk", [](ArchivingLab& t) { t.KilledAt("0"); }},
      // Ctrl-C to the run while its agent starts: no VM was given out.
      {"InterruptedBeforeAnyVM",
       [](ArchivingLab& t) {
         t.StoppedAt({"ra.LaunchAgent", "--client", "coordinator"}, [](pid_t run) { kill(run, SIGINT); }, 130, true);
       }},
      // The job manager's suspend while the VM's stub asks the hypervisor for the VM.
      {"SuspendedInTheVMsStub",
       [](ArchivingLab& t) {
         t.StoppedAt({"vminfo.GetVMInfoForVM", "--vm", kVM}, [](pid_t) { lab::RequestJobQuit(1001); }, 2, false);
       }},
      {"KilledAtTheSecondDisk", [](ArchivingLab& t) { t.KilledAt("1"); }},
      {"InterruptedBeforeAnyVMAfterAStubCutOff",
       [](ArchivingLab& t) {
         t.StoppedAt({"ra.LaunchAgent", "--client", "coordinator"}, [](pid_t run) { kill(run, SIGINT); }, 130, true,
                     true);
       }},
      {"SuspendedInTheVMsStubAfterAStubCutOff",
       [](ArchivingLab& t) {
         t.StoppedAt({"vminfo.GetVMInfoForVM", "--vm", kVM}, [](pid_t) { lab::RequestJobQuit(1001); }, 2, false,
                     true);
       }},
      {"AnArchiveWriteRefused",
       [](ArchivingLab& t) {
         t.MediaFault({"add", "archive.write", "--code", "28", "--after", "3"});
       }},
      {"AnArchiveFileNotClosed",
       [](ArchivingLab& t) { t.MediaFault({"add", "archive.closeArchiveFile", "--code", "28"}); }},
      // Every write refused from the fourth on, until the job manager's resume.
      {"EveryArchiveWriteRefusedUntilTheResume",
       [](ArchivingLab& t) {
         t.MediaFault({"add", "archive.write", "--code", "5", "--after", "3", "--times", "always"});
       }},
      {"EveryArchiveWriteRefusedUntilTheResumeOfAnIncremental",
       [](ArchivingLab& t) {
         t.MediaFaultInAnIncremental({"add", "archive.write", "--code", "5", "--after", "3", "--times", "always"});
       }},
      // The stub phase killed with one disk of vm01 deleted, or once its stub is made on the hypervisor
      // (its record written "stubbed", the job manager not yet told), and runs.log left each way.
      {"KilledAtTheSecondDiskStartedLineWithoutPhase",
       [](ArchivingLab& t) {
         t.KilledWithRunsLog({"vminfo.StubVMDisk", "--after", "1"}, "at the second disk",
                             ArchivingLab::RunsLog::kStartWithoutPhase);
       }},
      {"KilledAtTheSecondDiskRunsLogDeleted",
       [](ArchivingLab& t) {
         t.KilledWithRunsLog({"vminfo.StubVMDisk", "--after", "1"}, "at the second disk",
                             ArchivingLab::RunsLog::kDeleted);
       }},
      {"KilledAtTheSecondDiskPhantomStartedLine",
       [](ArchivingLab& t) {
         t.KilledWithRunsLog({"vminfo.StubVMDisk", "--after", "1"}, "at the second disk",
                             ArchivingLab::RunsLog::kPhantomStart);
       }},
      {"KilledAfterItsStubRunsLogKept",
       [](ArchivingLab& t) {
         t.KilledWithRunsLog({"vminfo.SetCustomField"}, "after vm01's stub", ArchivingLab::RunsLog::kKept);
       }},
      {"KilledAfterItsStubStartedLineWithoutPhase",
       [](ArchivingLab& t) {
         t.KilledWithRunsLog({"vminfo.SetCustomField"}, "after vm01's stub", ArchivingLab::RunsLog::kStartWithoutPhase);
       }},
      {"KilledAfterItsStubRunsLogDeleted",
       [](ArchivingLab& t) {
         t.KilledWithRunsLog({"vminfo.SetCustomField"}, "after vm01's stub", ArchivingLab::RunsLog::kDeleted);
       }},
      {"KilledAfterItsStubPhantomStartedLine",
       [](ArchivingLab& t) {
         t.KilledWithRunsLog({"vminfo.SetCustomField"}, "after vm01's stub", ArchivingLab::RunsLog::kPhantomStart);
       }},
      // A stub cut off and the stub phase killed, runs.log lost: vm01 is left taken, its stub failed.
      {"KilledAfterAStubCutOffRunsLogDeleted",
       [](ArchivingLab& t) { t.KilledAfterACutOffWithRunsLog(ArchivingLab::RunsLog::kDeleted); }},
      {"ABackupPhasePendingBesideAnEarlierJobsStub", [](ArchivingLab& t) { t.PendingBesideAnEarlierJobsStub(); }},
      {"TheJobsBackupPhaseRunAgainOverItsStub", [](ArchivingLab& t) { t.BackupPhaseRunAgainOverItsStub(false); }},
      {"TheJobsBackupPhaseRunAgainOverAStubCutOff", [](ArchivingLab& t) { t.BackupPhaseRunAgainOverItsStub(true); }},
      {"ADiskDeleteFailedThenArchivingAtOnce",
       [](ArchivingLab& t) { t.UnfinishedStubThen(ArchivingLab::StubEnd::kDiskDeleteFails, false); }},
      {"ADiskDeleteFailedThenAPlainJob",
       [](ArchivingLab& t) { t.UnfinishedStubThen(ArchivingLab::StubEnd::kDiskDeleteFails, true); }},
      {"TheStubFailedThenArchivingAtOnce",
       [](ArchivingLab& t) { t.UnfinishedStubThen(ArchivingLab::StubEnd::kStubFails, false); }},
      {"TheStubFailedThenAPlainJob", [](ArchivingLab& t) { t.UnfinishedStubThen(ArchivingLab::StubEnd::kStubFails, true); }},
      {"TheStubsCheckFoundTheChainDamagedThenArchivingAtOnce",
       [](ArchivingLab& t) { t.UnfinishedStubThen(ArchivingLab::StubEnd::kChainFoundDamaged, false); }},
      {"TheStubsCheckFoundTheChainDamagedThenAPlainJob",
       [](ArchivingLab& t) { t.UnfinishedStubThen(ArchivingLab::StubEnd::kChainFoundDamaged, true); }},
      {"CutOffAfterOneDiskThenArchivingAtOnce",
       [](ArchivingLab& t) { t.UnfinishedStubThen(ArchivingLab::StubEnd::kCutOffAfterOneDisk, false); }},
      {"CutOffAfterOneDiskThenAPlainJob",
       [](ArchivingLab& t) { t.UnfinishedStubThen(ArchivingLab::StubEnd::kCutOffAfterOneDisk, true); }},
      {"AStubThenAPlainJob", [](ArchivingLab& t) { t.UnfinishedStubThen(ArchivingLab::StubEnd::kFinished, true); }},
      {"AStubRecordOfAnotherJobOnAVMNeverStubbed", [](ArchivingLab& t) { t.ForgedStubRecord(999); }},
      {"AStubRecordOfThisJobOnAVMNeverStubbed", [](ArchivingLab& t) { t.ForgedStubRecord(1001); }},
      {"AStubGivenADiskThenArchivingIncrementalsPoweredOff", [](ArchivingLab& t) { t.AStubGivenADisk("2", false); }},
      {"AStubGivenADiskThenArchivingIncrementalsPoweredOn", [](ArchivingLab& t) { t.AStubGivenADisk("2", true); }},
      {"AStubGivenADiskThenArchivingFullsPoweredOff", [](ArchivingLab& t) { t.AStubGivenADisk("1", false); }},
      {"AStubGivenADiskThenArchivingFullsPoweredOn", [](ArchivingLab& t) { t.AStubGivenADisk("1", true); }},
      {"ADiskGivenToAStubAfterItsJob", [](ArchivingLab& t) { t.ADiskGivenToAStubAfterItsJob(); }},
      {"AStubRestoredThenItsJobVerified", [](ArchivingLab& t) { t.AStubRestoredThenItsJobVerified(); }},
      {"AStubRestoredThenItsJobVerifiedItsJobManagersRecordInTheStubsJobLost",
       [](ArchivingLab& t) { t.AStubRestoredThenItsJobVerified(true); }},
      {"AStubRestoredThenItsJobVerifiedItsRecordsInTheStubsJobLost",
       [](ArchivingLab& t) { t.AStubRestoredThenItsJobVerified(true, true); }},
      {"AStubbedRecordOnAWholeVMWhileAnIndexAnswerFails",
       [](ArchivingLab& t) { t.AStubbedRecordOnAWholeVMWhileTheIndexDoesNotAnswer(false); }},
      {"AStubbedRecordOnAWholeVMWhileEveryIndexAnswerFails",
       [](ArchivingLab& t) { t.AStubbedRecordOnAWholeVMWhileTheIndexDoesNotAnswer(true); }},
      {"ACutOffStubItsIndexRecordRemovedThenTheBackupPhaseAgain",
       [](ArchivingLab& t) { t.ACutOffStubWhoseIndexRecordIsLostThenTheBackupPhaseAgain(ArchivingLab::IndexLoss::kRemoved, true); }},
      {"ACutOffStubItsIndexRecordRemovedThenTheBackupPhaseAgainWithoutArchiving",
       [](ArchivingLab& t) { t.ACutOffStubWhoseIndexRecordIsLostThenTheBackupPhaseAgain(ArchivingLab::IndexLoss::kRemoved, false); }},
      {"ACutOffStubItsIndexRecordCutShortThenTheBackupPhaseAgain",
       [](ArchivingLab& t) { t.ACutOffStubWhoseIndexRecordIsLostThenTheBackupPhaseAgain(ArchivingLab::IndexLoss::kCutShort, true); }},
      {"ACutOffStubItsIndexRecordCutShortThenTheBackupPhaseAgainWithoutArchiving",
       [](ArchivingLab& t) { t.ACutOffStubWhoseIndexRecordIsLostThenTheBackupPhaseAgain(ArchivingLab::IndexLoss::kCutShort, false); }},
      {"ACutOffStubItsIndexQueryFailingThenTheBackupPhaseAgain",
       [](ArchivingLab& t) { t.ACutOffStubWhoseIndexRecordIsLostThenTheBackupPhaseAgain(ArchivingLab::IndexLoss::kQueryFails, true); }},
      {"ACutOffStubItsIndexQueryFailingThenTheBackupPhaseAgainWithoutArchiving",
       [](ArchivingLab& t) { t.ACutOffStubWhoseIndexRecordIsLostThenTheBackupPhaseAgain(ArchivingLab::IndexLoss::kQueryFails, false); }},
      {"ABackupPhaseWhoseMountOfAVMIsRefused", [](ArchivingLab& t) { t.ABackupPhaseFailsAVM("vminfo.MountVM"); }},
      {"ABackupPhaseWhoseMountOfADiskFails", [](ArchivingLab& t) { t.ABackupPhaseFailsAVM("vminfo.MountFailure"); }},
      // An archiving job that could not record a VM's status, in both its phases or its stub phase only.
      {"AnIdleVMsStatusNotRecordedByAnArchivingJob",
       [](ArchivingLab& t) { t.AnArchivingJobThatCouldNotRecordAVMsStatus(ArchivingLab::StubJobUnrecorded::kIdleVM); }},
      {"AStubsStatusNotRecordedByAnArchivingJob",
       [](ArchivingLab& t) { t.AnArchivingJobThatCouldNotRecordAVMsStatus(ArchivingLab::StubJobUnrecorded::kStub); }},
      {"ARunningVMsStatusNotRecordedByAnArchivingJob",
       [](ArchivingLab& t) { t.AnArchivingJobThatCouldNotRecordAVMsStatus(ArchivingLab::StubJobUnrecorded::kRunningVM); }},
      {"AStubsStatusNotRecordedByItsStubPhase",
       [](ArchivingLab& t) {
         t.AnArchivingJobThatCouldNotRecordAVMsStatus(ArchivingLab::StubJobUnrecorded::kIdleVMInTheStubPhaseOnly);
       }},
      {"AStubWhoseInventoryQueryIsRefused", [](ArchivingLab& t) { t.AStubWhoseInventoryQueryIsRefused(); }},
      {"AVMRelocatedThenStubbedByTheNextJob", [](ArchivingLab& t) { t.AVMRelocatedThenStubbedByTheNextJob(); }},
      {"AStubPhaseEndedWithAStubCutOffThenRunsLogDeleted",
       [](ArchivingLab& t) { t.CutOffStubPhaseEndedThenRunsLogLost(); }},
      {"ACutOffStubItsJobManagersRecordRemovedThenTheBackupPhaseAgain",
       [](ArchivingLab& t) {
         t.ACutOffStubWhoseIndexRecordIsLostThenTheBackupPhaseAgain(ArchivingLab::IndexLoss::kKept, true);
       }},
      {"AStubItsJobsRecordsLostThenTheBackupPhaseAgain",
       [](ArchivingLab& t) { t.TheJobsRecordsOfItsStubLostThenTheBackupPhaseAgain(false, true); }},
      {"AStubItsJobsRecordsLostThenTheBackupPhaseAgainWithoutArchiving",
       [](ArchivingLab& t) { t.TheJobsRecordsOfItsStubLostThenTheBackupPhaseAgain(false, false); }},
      {"ACutOffStubItsJobsRecordsLostThenTheBackupPhaseAgain",
       [](ArchivingLab& t) { t.TheJobsRecordsOfItsStubLostThenTheBackupPhaseAgain(true, true); }},
      {"ACutOffStubItsJobsRecordsLostThenTheBackupPhaseAgainWithoutArchiving",
       [](ArchivingLab& t) { t.TheJobsRecordsOfItsStubLostThenTheBackupPhaseAgain(true, false); }},
      {"ACutOffStubGivenADiskThenTheBackupPhaseAgain",
       [](ArchivingLab& t) { t.ACutOffStubGivenADiskThenTheBackupPhaseAgain(true); }},
      {"ACutOffStubGivenADiskThenTheBackupPhaseAgainWithoutArchiving",
       [](ArchivingLab& t) { t.ACutOffStubGivenADiskThenTheBackupPhaseAgain(false); }},
      {"AStubRestoredThenTheJobsBackupPhaseAgain",
       [](ArchivingLab& t) { t.AStubRestoredThenTheJobsBackupPhaseAgain(); }},
      // A later attempt of a job builds no backup of a VM on the job itself.
      {"AVMsStatusNotRecordedThenItsJobAgain", again(Earlier::kStatusNotRecorded, false, false)},
      {"AVMsStatusNotRecordedThenItsArchivingJobAgainAfterWrites", again(Earlier::kStatusNotRecorded, true, true)},
      {"AVMsStatusRemovedThenItsJobAgain", again(Earlier::kStatusRemoved, false, false)},
      {"AVMsStatusRemovedThenItsJobAgainAfterWrites", again(Earlier::kStatusRemoved, false, true)},
      {"AVMsStatusRemovedThenItsArchivingJobAgain", again(Earlier::kStatusRemoved, true, false)},
      {"AVMsStatusAndIndexRecordRemovedThenItsJobAgainByChecksums",
       again(Earlier::kStatusAndIndexRecordRemovedByChecksums, false, false)},
      {"AStubRestoredInPlaceThenItsJobAgain", again(Earlier::kStubbed, false, false)},
      {"AStubRestoredInPlaceThenItsArchivingJobAgainAfterWrites", again(Earlier::kStubbed, true, true)},
      // Once a later job of the subclient has run, no attempt of an earlier job runs.
      {"AStubALaterJobReportsRestoredInPlaceThenItsJobRefused",
       [](ArchivingLab& t) { t.AStubALaterJobReportsRestoredInPlaceThenItsJobRefused(); }},
      {"AVMsStatusNotRecordedThenALaterJobThenItsJobRefused",
       [](ArchivingLab& t) {
         t.ALaterJobBuiltOnTheJobThenItsJobRefused(Unrecorded::kStatusNotRecorded, false, false);
       }},
      {"AVMsRecordRemovedAfterTwoLaterJobsThenItsJobRefused",
       [](ArchivingLab& t) {
         t.ALaterJobBuiltOnTheJobThenItsJobRefused(Unrecorded::kRemovedAfterTheLaterJob, false, true);
       }},
      {"AVMsStatusNotRecordedInArchivingJobsThenItsJobRefused",
       [](ArchivingLab& t) { t.ALaterJobBuiltOnTheJobThenItsJobRefused(Unrecorded::kStatusNotRecorded, true, false); }},
      {"AVMsStatusNotRecordedThenALaterJobThenAStubThenItsJobRefused",
       [](ArchivingLab& t) {
         t.ALaterJobBuiltOnTheJobThenItsJobRefused(Unrecorded::kStatusNotRecorded, true, false, true);
       }},
      // A job that had not ended, or did not finish a VM, once a later job has run: what stands, and what
      // its dead processes held given back.
      {"AJobKilledAtADiskReadThenALaterJobThenItsJobRefused",
       [](ArchivingLab& t) { t.AJobThatDidNotFinishAVMThenALaterJob(ArchivingLab::Unfinished::kKilled); }},
      {"AJobAndItsRunKilledAtADiskReadThenALaterJobThenItsJobRefused",
       [](ArchivingLab& t) { t.AJobThatDidNotFinishAVMThenALaterJob(ArchivingLab::Unfinished::kKilledWithItsRun); }},
      {"AVMLeftInProgressByItsJobManagersRecordThenALaterJobThenItsJobRefused",
       [](ArchivingLab& t) {
         t.AJobThatDidNotFinishAVMThenALaterJob(ArchivingLab::Unfinished::kStatusLeftInProgress);
       }},
      {"AnArchivingJobsStubPhaseRefusedOnceTheNextJobRan",
       [](ArchivingLab& t) { t.AnArchivingJobsStubPhaseRefusedOnceTheNextJobRan(); }},
      // One job id names one job of one subclient, for good.
      {"AStubThenASecondSubclientsFirstJob", [](ArchivingLab& t) { t.ASecondSubclientsFirstJobAfter(true); }},
      {"AVMsRecordLostThenASecondSubclientsFirstJob", [](ArchivingLab& t) { t.ASecondSubclientsFirstJobAfter(false); }},
      {"AJobsRecordsLostThenTheNextJob", [](ArchivingLab& t) { t.LostJobRecordsThenTheNextJob(1); }},
      {"TwoJobsRecordsLostThenTheNextJob", [](ArchivingLab& t) { t.LostJobRecordsThenTheNextJob(2); }},
      // A newest job no attempt will run never stops the schedule; a stray record of the last id is named.
      {"AJobKilledThenALaterJobWhoseRecordsAreLostThenTheSchedule",
       [](ArchivingLab& t) {
         t.ANewestJobNoAttemptWillRunThenTheSchedule(ArchivingLab::PassedOver::kLaterJobsRecordsLost);
       }},
      {"TheJobManagersRecordsPutBackFromAnOlderCopyThenTheSchedule",
       [](ArchivingLab& t) { t.ANewestJobNoAttemptWillRunThenTheSchedule(ArchivingLab::PassedOver::kRecordsPutBack); }},
      {"AStrayMediaFolderOfTheLastBackupJobIdThenTheNextJob",
       [](ArchivingLab& t) { t.AStrayRecordOfTheLastBackupJobIdThenTheNextJob(ArchivingLab::Stray::kMediaFolder); }},
      {"AStrayIndexFolderOfTheLastBackupJobIdThenTheNextJob",
       [](ArchivingLab& t) { t.AStrayRecordOfTheLastBackupJobIdThenTheNextJob(ArchivingLab::Stray::kIndexFolder); }},
      {"AStrayHistoryLineOfTheLastBackupJobIdThenTheNextJob",
       [](ArchivingLab& t) { t.AStrayRecordOfTheLastBackupJobIdThenTheNextJob(ArchivingLab::Stray::kHistoryLine); }},
      {"AManagementServerJobsFolderThenTheNextJob",
       [](ArchivingLab& t) { t.TheNextJobAfterAServerJobOrAHigherJob(false); }},
      {"AJobMadeAboveTheFirstIdAndRunThenTheNextJob",
       [](ArchivingLab& t) { t.TheNextJobAfterAServerJobOrAHigherJob(true); }},
      {"ASecondSubclientsJobRefusedOnceItsNextJobRan",
       [](ArchivingLab& t) { t.ASecondSubclientsJobRefusedOnceItsNextJobRan(); }},
      // A later attempt of the newest job killed at vm01's disk read or its archive's close, then resumed.
      {"ALaterAttemptOfAStubsJobKilledAtADiskReadThenResumed",
       [](ArchivingLab& t) { t.ALaterAttemptOfTheNewestJobCutShortThenResumed({"disk.Read"}, true); }},
      {"ALaterAttemptOfAStubsJobKilledAtAnArchivesCloseThenResumed",
       [](ArchivingLab& t) { t.ALaterAttemptOfTheNewestJobCutShortThenResumed({"archive.closeArchiveFile"}, true); }},
      {"ALaterAttemptOfAPlainJobKilledAtADiskReadThenResumed",
       [](ArchivingLab& t) { t.ALaterAttemptOfTheNewestJobCutShortThenResumed({"disk.Read"}, false); }},
      {"ALaterAttemptOfAPlainJobKilledAtAnArchivesCloseThenResumed",
       [](ArchivingLab& t) { t.ALaterAttemptOfTheNewestJobCutShortThenResumed({"archive.closeArchiveFile"}, false); }},
      // Killed once its archives are committed, or at a read, and resumed by a run that cannot mount vm01.
      {"ALaterAttemptOfAStubsJobKilledAtItsIndexRunThenResumedUnableToMountIt",
       [](ArchivingLab& t) {
         t.ALaterAttemptOfTheNewestJobCutShortThenResumed({"index.RunArchiveIndexForVM"}, true, true);
       }},
      {"ALaterAttemptOfAPlainJobKilledAtItsIndexRunThenResumedUnableToMountIt",
       [](ArchivingLab& t) {
         t.ALaterAttemptOfTheNewestJobCutShortThenResumed({"index.RunArchiveIndexForVM"}, false, true);
       }},
      {"ALaterAttemptOfAStubsJobKilledAtADiskReadThenResumedUnableToMountIt",
       [](ArchivingLab& t) { t.ALaterAttemptOfTheNewestJobCutShortThenResumed({"disk.Read"}, true, true); }},
      // The same beside a second VM the job stubbed, which every later attempt leaves alone.
      {"ALaterAttemptOfAJobOfTwoStubsKilledAtADiskReadThenResumed",
       [](ArchivingLab& t) { t.ALaterAttemptOfTheNewestJobCutShortThenResumed({"disk.Read"}, true, false, true); }},
      {"ALaterAttemptOfAJobOfTwoStubsKilledAtAnArchivesCloseThenResumed",
       [](ArchivingLab& t) {
         t.ALaterAttemptOfTheNewestJobCutShortThenResumed({"archive.closeArchiveFile"}, true, false, true);
       }},
      {"ALaterAttemptOfAJobOfTwoStubsKilledAtItsIndexRunThenResumed",
       [](ArchivingLab& t) {
         t.ALaterAttemptOfTheNewestJobCutShortThenResumed({"index.RunArchiveIndexForVM"}, true, false, true);
       }},
      // A later attempt that fails vm01 at a disk read, no process killed, then resumed.
      {"ALaterAttemptOfAJobOfTwoStubsFailingAReadThenResumed",
       [](ArchivingLab& t) { t.ALaterAttemptOfTheNewestJobCutShortThenResumed({}, true, false, true); }},
      {"ALaterAttemptOfAPlainJobFailingAReadThenResumed",
       [](ArchivingLab& t) { t.ALaterAttemptOfTheNewestJobCutShortThenResumed({}, false); }},
      // A retry of a VM the job failed, killed while a VM the job stubbed names the job; resumed, or the
      // stub phase run over it.
      {"ARetryOfAFailedVMKilledAtADiskReadThenResumed",
       [](ArchivingLab& t) { t.ARetryOfAFailedVMKilledThenResumed({"disk.Read"}, true); }},
      {"ARetryOfAFailedVMKilledAtAnArchivesCloseThenResumed",
       [](ArchivingLab& t) { t.ARetryOfAFailedVMKilledThenResumed({"archive.closeArchiveFile"}, true); }},
      {"ARetryOfAFailedVMKilledAtItsIndexRunThenResumed",
       [](ArchivingLab& t) { t.ARetryOfAFailedVMKilledThenResumed({"index.RunArchiveIndexForVM"}, true); }},
      {"ARetryOfAFailedVMKilledAtADiskReadThenTheStubPhase",
       [](ArchivingLab& t) { t.ARetryOfAFailedVMKilledThenResumed({"disk.Read"}, false); }},
      // A VM judged by the disks it had at each job.
      {"ADiskGivenToAStubDetachedBeforeAJobReportsIt",
       [](ArchivingLab& t) { t.ADiskGivenToAStubDetachedBeforeAJobReportsIt(false); }},
      {"ADiskGivenToAStubDetachedAndDeletedBeforeAJobReportsIt",
       [](ArchivingLab& t) { t.ADiskGivenToAStubDetachedBeforeAJobReportsIt(true); }},
      {"AStubRestoredInPlaceAfterAPlainJob", [](ArchivingLab& t) { t.AStubRestoredInPlaceAfterAPlainJob(false); }},
      {"AStubCutOffFinishedByAnArchivingJobAfterAPlainJobThenRestoredInPlace",
       [](ArchivingLab& t) { t.AStubRestoredInPlaceAfterAPlainJob(true); }},
      {"AStubRestoredStubbedAgainThenGivenADisk", [](ArchivingLab& t) { t.AStubRestoredStubbedAgainThenGivenADisk(); }},
      {"AVMWhoseMountWasRefusedThenGivenADisk", [](ArchivingLab& t) { t.AVMWhoseMountWasRefusedThenGivenADisk(); }},
      // A stub's description that does not read, by each value a reader refuses.
      {"AStubWhoseDescriptionDoesNotReadItsStubJobNoNumber",
       [](ArchivingLab& t) { t.AStubWhoseDescriptionDoesNotRead("disk0.stubJob", "abc"); }},
      {"AStubWhoseDescriptionDoesNotReadItsStubJobNegative",
       [](ArchivingLab& t) { t.AStubWhoseDescriptionDoesNotRead("disk0.stubJob", "-1"); }},
      {"AStubWhoseDescriptionDoesNotReadItsStubJobOf20Digits",
       [](ArchivingLab& t) { t.AStubWhoseDescriptionDoesNotRead("disk0.stubJob", "12345678901234567890"); }},
      {"AStubWhoseDescriptionDoesNotReadItsDeletedMarkTwo",
       [](ArchivingLab& t) { t.AStubWhoseDescriptionDoesNotRead("disk0.deleted", "2"); }},
      {"AStubWhoseDescriptionDoesNotReadThenAPlainJob",
       [](ArchivingLab& t) { t.AStubWhoseDescriptionDoesNotRead("disk1.stubJob", "abc", false); }},
      {"AStubWhoseEveryDiskWasGivenSinceRestoredAsOfAnEarlierJob",
       [](ArchivingLab& t) { t.AStubWhoseEveryDiskWasGivenSinceRestoredAsOfAnEarlierJob(); }},
      // A description that says nothing, or whose disk count disagrees with its disk entries.
      {"AStubWhoseDescriptionIsEmpty",
       [](ArchivingLab& t) {
         t.ADescriptionThatDoesNotRead(true, [](const std::string&) { return std::string(); }, empty);
       }},
      {"AStubWhoseDescriptionIsBlanksAndNewlinesThenAPlainJob",
       [](ArchivingLab& t) {
         t.ADescriptionThatDoesNotRead(true, [](const std::string&) { return std::string(" \n\n \n"); }, empty, false);
       }},
      {"AStubWhoseDescriptionLacksItsDiskCount",
       [](ArchivingLab& t) {
         t.ADescriptionThatDoesNotRead(true, ArchivingLab::SetLine("diskCount", ""),
                                       "diskCount is missing beside entries of disk0");
       }},
      {"AStubWhoseDescriptionCountsNoDisk", [](ArchivingLab& t) { t.AStubWhoseDescriptionDoesNotRead("diskCount", "0"); }},
      {"AStubWhoseDescriptionCountsADiskMoreThanItsEntries",
       [](ArchivingLab& t) { t.AStubWhoseDescriptionDoesNotRead("diskCount", "3"); }},
      {"AStubWhoseDescriptionCountsADiskFewerThanItsEntries",
       [](ArchivingLab& t) { t.AStubWhoseDescriptionDoesNotRead("diskCount", "1"); }},
      {"AVMWhoseDescriptionIsEmpty",
       [](ArchivingLab& t) {
         t.ADescriptionThatDoesNotRead(false, [](const std::string&) { return std::string(); }, empty);
       }},
      {"AVMWhoseDescriptionCountsNoDiskThenAPlainJob",
       [](ArchivingLab& t) {
         t.ADescriptionThatDoesNotRead(false, ArchivingLab::SetLine("diskCount", "diskCount=0"),
                                       "value of diskCount [0] disagrees with its disk entries: it has entries of disk0",
                                       false);
       }},
      // A later attempt that reported a stub an earlier attempt of its job mounted.
      {"AStubReportedByALaterAttemptOfAPlainJobThatMountedIt",
       [](ArchivingLab& t) { t.AStubReportedByALaterAttemptOfAPlainJobThatMountedIt(false); }},
      {"AStubReportedByALaterAttemptOfAPlainJobThatMountedItThenRestoredInPlace",
       [](ArchivingLab& t) { t.AStubReportedByALaterAttemptOfAPlainJobThatMountedIt(true); }},
      {"ADiskGivenToAStubAfterItsJobItsJobManagersRecordLost",
       [](ArchivingLab& t) { t.ADiskGivenToAStubAfterItsJob(true); }},
      {"AStubWhoseDeletedDiskComesBackNoMoreIsNotTakenFurther",
       [](ArchivingLab& t) { t.AStubWhoseDeletedDiskComesBackNoMoreIsNotTakenFurther(); }},
      {"AGivenDiskKeptByItsStubsJobRunAgainAfterItsRecordLost",
       [](ArchivingLab& t) { t.AGivenDiskKeptByItsStubsJobRunAgainAfterItsRecordLost(); }},
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

namespace {

// A backup lost or damaged in the middle of vm01's chain, as an administrator's bad day would leave it:
// an archive removed or left uncommitted, a byte changed in the middle of an archive or in its first
// record, the VM's note of the job's archives lost, or the job's whole media folder removed; in the
// full job 1001, the incremental 1002 after it, or the archiving incremental 1003 whose stub deletes
// vm01's disks; before the next job runs, between the stub's two phases, or after the stub. Every
// restore of vm01 as of each job (`vm restore --job N`, its disks taken off first) gives exactly the
// bytes vm01 had before that job, or refuses and writes nothing; one whose chain no damage reached
// gives them, and so does one of a job run after a damage its archives' structure shows (a byte
// changed among an archive's data shows only when it is read whole); a disk the stub deleted comes
// back byte for byte (`vm restore`) unless the damage came after it, and then never as other bytes.
// A refusal names the damage. Once a whole read (the stub's check) found a byte changed among an
// archive's data, the next incremental builds nothing on it: vm01's backup there is a full one.
// One archive of a job with several (each disk on a stream of its own) removed or left uncommitted,
// with or without the index's record of the VM in that job and the VM's note of the job's archives,
// or its first record changed; or the VM's note of the job naming vm02's archives instead of its own:
// the job's backup is not read around, whatever the records left say. verify agrees with the restores:
// vm02, which no damage reached, verifies on its own; a stub no restore gives back is a problem of every
// verify that covers vm01, with or without the job and the VM named; an archive whose first record does
// not read is a problem of its job, never taken for one of an earlier attempt.
enum class Damage { kArchiveRemoved, kLeftUncommitted, kByteChangedMidFile, kByteChangedInFirstRecord, kNoteLost,
                    kMediaFolderRemoved, kNoteNamesAnotherVMsArchives, kOneOfSeveralRemoved,
                    kOneOfSeveralRemovedWithItsIndexRecord, kOneOfSeveralRemovedWithTheNote,
                    kOneOfSeveralRemovedWithTheNoteAndIndexRecord, kOneOfSeveralLeftUncommittedWithItsIndexRecord,
                    kOneOfSeveralFirstRecordChanged, kOneOfSeveralsNoteLineWithADispatchOfMinusOne,
                    kOneOfSeveralsNoteLineWithAFourthField, kOneOfSeveralsNoteLineRemoved,
                    kOneOfSeveralsNoteCutInsideItsLine, kOneOfSeveralsNoteLineRemovedWithTheJobManagersRecord };
enum class When { kBeforeTheNextJob, kBetweenTheStubsPhases, kAfterTheStub };
constexpr int64_t kFull = 1001, kMiddle = 1002, kStubJob = 1003, kNextJob = 1004;

class ChainDamage : public ArchivingLab, public testing::WithParamInterface<std::tuple<Damage, int64_t, When>> {
 public:
  Damage damage() const { return std::get<0>(GetParam()); }
  int64_t where() const { return std::get<1>(GetParam()); }
  When when() const { return std::get<2>(GetParam()); }

  bool OneOfSeveral() const { return damage() >= Damage::kOneOfSeveralRemoved; }
  // Several streams when one archive of several is damaged; the damaged job's run puts disk 1 in an
  // archive of its own.
  const char* Streams() const { return OneOfSeveral() ? "4" : "1"; }

  void Run(int64_t job, const char* level) {
    if (job != kFull) NextJob(job);
    copiesBefore_[job] = testsupport::CopyDisks({kVM}, dir_.Path("before" + std::to_string(job)));
    const std::vector<std::string> options = {"-t", level, "-numStreams", Streams()};
    if (OneOfSeveral() && job == where()) {
      RunWithDisk1InAnArchiveOfItsOwn(job, options);
      return;
    }
    std::vector<std::string> args = {"run", lab_, "--job", std::to_string(job), "--"};
    args.insert(args.end(), options.begin(), options.end());
    const int status = Tool(args);
    EXPECT_TRUE(status == 0 || status == 1 || status == 2) << Output();
  }
  void RemoveIndexRecord(int64_t job, const std::string& guid) {
    std::string error;
    lab::SubclientRecord subclient;
    ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error)) << error;
    const std::string dir = lab::IndexVMDir(subclient.settings["subclientGUID"], guid, error);
    ASSERT_FALSE(dir.empty()) << error;
    ASSERT_EQ(0, unlink((dir + "/" + std::to_string(job) + ".idx").c_str())) << "the index has no record of job " << job;
  }
  // Makes the line of vm01's note of the job that names the archive unreadable, as the damage says.
  void DamageNoteLine(int64_t job, const std::string& guid, const lab::ArchiveLocation& archive) {
    const std::string path = lab::VMArchiveListPath(archive.mediaAgent, job, guid);
    std::string kept, damaged;
    std::istringstream lines(labrun::ReadText(path));
    for (std::string line; std::getline(lines, line);) {
      if (line.compare(0, line.find(' '), std::to_string(archive.archiveFileId)) != 0) {
        kept += line + "\n";
        continue;
      }
      std::vector<std::string> fields;
      std::istringstream words(line);
      for (std::string word; words >> word;) fields.push_back(word);
      ASSERT_EQ(3u, fields.size()) << line;
      switch (damage()) {
        case Damage::kOneOfSeveralsNoteLineWithADispatchOfMinusOne:
          damaged = fields[0] + " -1 " + fields[2] + "\n";
          break;
        case Damage::kOneOfSeveralsNoteLineWithAFourthField:
          damaged = line + " 7\n";
          break;
        case Damage::kOneOfSeveralsNoteCutInsideItsLine:
          damaged = line.substr(0, line.size() / 2);
          break;
        default:
          break;
      }
    }
    ASSERT_TRUE(lab::WriteFileAtomic(path, kept + damaged));
  }
  // What a refusal of vm01's restore as of the job says of the damage. Of one archive of several, it
  // says once which job's backup of disk 1 is lost and why, naming the archive file where the job's
  // note still names it.
  std::string Said(int64_t asOf) const {
    const std::string job = std::to_string(where());
    const std::string brokenAt = "is not restored: its chain of backups is broken: job " +
                                 (asOf == where() ? job + "'s backup"
                                                  : std::to_string(asOf) + "'s backup of the disk builds on job " + job +
                                                        ", whose backup");
    // The restore runs in a copy of the lab.
    const std::string damagedArchive = dir_.Path("asof" + std::to_string(asOf)) + damagedArchive_;
    const std::string notNoted = brokenAt + " of the disk is lost: the job's records name the disk, but no committed "
                                            "archive noted for the VM in job " + job + " holds it";
    switch (damage()) {
      case Damage::kArchiveRemoved: return "but the file is not there";
      case Damage::kLeftUncommitted: return "never committed";
      case Damage::kByteChangedMidFile:
      case Damage::kByteChangedInFirstRecord: return "not well formed";
      case Damage::kOneOfSeveralRemoved:
      case Damage::kOneOfSeveralRemovedWithItsIndexRecord:
        return brokenAt + " of the disk is lost with an archive of it: " + damagedArchive + ": noted for the VM in job " +
               job + ", but the file is not there";
      case Damage::kOneOfSeveralLeftUncommittedWithItsIndexRecord:
        return brokenAt + " of the disk is lost with an archive of it: " + damagedArchive + archive::kUncommittedSuffix +
               ": never committed";
      case Damage::kOneOfSeveralRemovedWithTheNote:
      case Damage::kOneOfSeveralRemovedWithTheNoteAndIndexRecord:
        return "job " + job + "'s backup of the VM is lost: no archive of it is found";
      case Damage::kOneOfSeveralFirstRecordChanged: return "not well formed";
      case Damage::kOneOfSeveralsNoteLineWithADispatchOfMinusOne:
      case Damage::kOneOfSeveralsNoteLineWithAFourthField:
      case Damage::kOneOfSeveralsNoteLineRemoved:
      case Damage::kOneOfSeveralsNoteCutInsideItsLine:
        return notNoted;
      // Nothing but the job's mount records what the archive held: the restore as of the job checks the
      // disks it took, one as of a later job finds the disk's chain broken there.
      case Damage::kOneOfSeveralsNoteLineRemovedWithTheJobManagersRecord:
        return asOf != where() ? notNoted
                               : "is not restored: the mount of job " + job +
                                     " took it, but no committed archive of the job's latest attempt holds it";
      default: return "is lost";
    }
  }
  void DamageOnce(int64_t job) {
    lab::SetRoot(lab_);
    const std::string guid = Description(kVM).guid;
    const std::string agent = lab::SampleMediaAgent();
    std::vector<lab::ArchiveLocation> archives = lab::ListVMArchiveFiles(job, guid);
    ASSERT_FALSE(archives.empty()) << "vm01 has no archive of job " << job;
    std::error_code failed;
    if (OneOfSeveral()) {
      const lab::ArchiveLocation disk1 = archivetest::ArchiveOfDisk1Alone(job, kVM);
      ASSERT_FALSE(disk1.path.empty()) << "vm01's disk 1 has no archive of its own in job " << job;
      ASSERT_EQ(0u, disk1.path.find(lab_ + "/"));
      damagedArchive_ = disk1.path.substr(lab_.size());
      if (damage() == Damage::kOneOfSeveralFirstRecordChanged) {
        archivetest::FlipByte(disk1.path, 30);
        return;
      }
      if (damage() >= Damage::kOneOfSeveralsNoteLineWithADispatchOfMinusOne) {
        // The archive stays whole and committed; only its job's mount still records what it held.
        ASSERT_NO_FATAL_FAILURE(DamageNoteLine(job, guid, disk1));
        ASSERT_NO_FATAL_FAILURE(RemoveIndexRecord(job, guid));
        if (damage() == Damage::kOneOfSeveralsNoteLineRemovedWithTheJobManagersRecord) {
          ASSERT_EQ(0, unlink(lab::VMStatusPath(job, guid).c_str()));
        }
        return;
      }
      const bool uncommitted = damage() == Damage::kOneOfSeveralLeftUncommittedWithItsIndexRecord;
      ASSERT_EQ(0, uncommitted ? std::rename(disk1.path.c_str(), (disk1.path + archive::kUncommittedSuffix).c_str())
                               : unlink(disk1.path.c_str()));
      if (uncommitted || damage() == Damage::kOneOfSeveralRemovedWithItsIndexRecord ||
          damage() == Damage::kOneOfSeveralRemovedWithTheNoteAndIndexRecord) {
        ASSERT_NO_FATAL_FAILURE(RemoveIndexRecord(job, guid));
      }
      if (damage() == Damage::kOneOfSeveralRemovedWithTheNote ||
          damage() == Damage::kOneOfSeveralRemovedWithTheNoteAndIndexRecord) {
        ASSERT_EQ(0, unlink(lab::VMArchiveListPath(agent, job, guid).c_str()));
      }
      return;
    }
    switch (damage()) {
      case Damage::kArchiveRemoved:
        for (const lab::ArchiveLocation& archive : archives) ASSERT_EQ(0, unlink(archive.path.c_str()));
        break;
      case Damage::kLeftUncommitted:
        for (const lab::ArchiveLocation& archive : archives)
          ASSERT_EQ(0, std::rename(archive.path.c_str(), (archive.path + archive::kUncommittedSuffix).c_str()));
        break;
      case Damage::kByteChangedMidFile:
      case Damage::kByteChangedInFirstRecord: {
        const std::string& path = archives.front().path;
        const uint64_t size = std::filesystem::file_size(path, failed);
        ASSERT_FALSE(failed);
        archivetest::FlipByte(path, damage() == Damage::kByteChangedMidFile ? size / 2 : 30);
        break;
      }
      case Damage::kNoteLost:
        ASSERT_EQ(0, unlink(lab::VMArchiveListPath(agent, job, guid).c_str()));
        break;
      case Damage::kMediaFolderRemoved:
        ASSERT_GT(std::filesystem::remove_all(lab::MediaJobDir(agent, job), failed), 0u) << failed.message();
        break;
      case Damage::kNoteNamesAnotherVMsArchives: {
        const std::string other = labrun::ReadText(lab::VMArchiveListPath(agent, job, Description(kRunningVM).guid));
        ASSERT_FALSE(other.empty());
        ASSERT_TRUE(lab::WriteFileAtomic(lab::VMArchiveListPath(agent, job, guid), other));
        break;
      }
      default:
        break;
    }
  }
  // vm01 as of the job gives back exactly what it had before the job, or refuses; `mustRestore` when no
  // damage reached its chain.
  void CheckRestoreAsOf(int64_t job, bool mustRestore) {
    const promise::Restore restore = promise::RestoreAsOfJobInCopy(
        lab_, dir_.Path("asof" + std::to_string(job)), kVM, job, dir_.Path("asof.txt"));
    const std::string what = "vm restore --job " + std::to_string(job);
    if (restore.status != 0) {
      EXPECT_FALSE(mustRestore) << what << ": refused, though no damage reached its chain: " << restore.output;
      EXPECT_TRUE(labrun::Has(restore.output, "is not restored") || labrun::Has(restore.output, "no backup"))
          << what << " refuses without saying which disk: " << restore.output;
      EXPECT_TRUE(labrun::Has(restore.output, Said(job))) << what << " refuses without naming the damage as "
                                                          << Said(job) << ": " << restore.output;
      EXPECT_TRUE(restore.disks.empty()) << what << " refused, but wrote a disk back";
      return;
    }
    const testsupport::DiskCopies& before = copiesBefore_[job];
    ASSERT_EQ(before.size(), restore.disks.size()) << what << ": " << restore.output;
    for (const testsupport::DiskCopy& copy : before) {
      EXPECT_TRUE(restore.disks.at(copy.diskName) == testsupport::ReadDisk(copy.path))
          << what << " gives back other bytes than disk " << copy.diskName << " had before the job";
      EXPECT_TRUE(labrun::Has(restore.output, copy.diskName + " from job ")) << restore.output;
    }
  }
  // The disks the stub deleted come back as they were before the stub's job, or, once the damage came
  // after the stub, are refused.
  // False when `vm restore` refuses them.
  bool CheckStubRestores() {
    const lab::VMDescription vm = Description(kVM);
    const std::vector<size_t> gone = promise::GoneDisks(vm);
    if (gone.empty()) return true;
    const promise::Restore restore =
        promise::RestoreInCopy(lab_, dir_.Path("stubrestore"), vm, gone, dir_.Path("stubrestore.txt"));
    if (restore.status != 0) {
      EXPECT_TRUE(damagedAfterTheStub_) << "a disk the stub deleted does not come back: " << restore.output;
      EXPECT_TRUE(labrun::Has(restore.output, "is not restored")) << restore.output;
      return false;
    }
    for (const testsupport::DiskCopy& copy : copiesBefore_[kStubJob])
      EXPECT_TRUE(restore.disks.at(copy.diskName) == testsupport::ReadDisk(copy.path))
          << "disk " << copy.diskName << " comes back as other bytes than the stub deleted";
    return true;
  }
  // verify as of the last job run, of one VM or of all, agrees with the restores (see above).
  void CheckVerify(int64_t lastJob, bool stubRestores) {
    const std::string last = std::to_string(lastJob);
    using Args = std::vector<std::string>;
    if (damage() != Damage::kMediaFolderRemoved) {
      for (const Args& args : {Args{"--vm", kRunningVM}, Args{"--job", last, "--vm", kRunningVM}}) {
        Args verify = {"verify", lab_};
        verify.insert(verify.end(), args.begin(), args.end());
        EXPECT_EQ(0, Tool(verify)) << "vm02 does not verify, though no damage reached it: " << Output();
      }
    }
    if (!stubRestores) {
      for (const Args& args : {Args{}, Args{"--vm", kVM}, Args{"--job", last}, Args{"--job", last, "--vm", kVM}}) {
        Args verify = {"verify", lab_};
        verify.insert(verify.end(), args.begin(), args.end());
        EXPECT_EQ(1, Tool(verify)) << "verify passes a stub no restore gives back: " << Output();
        EXPECT_TRUE(labrun::Has(Output(), "DOES NOT COME BACK")) << Output();
        // A stub with no usable backup is still a stub since its own job; the job's archives of vm02
        // are no archive of vm01: verify of vm01 as of the job says it has none there exactly when the
        // damage took every one of them from the media.
        EXPECT_FALSE(labrun::Has(Output(), "a stub in job 0:")) << Output();
        if (!args.empty() && args.front() == "--job" && args.back() == kVM) {
          const bool noneLeft = where() == lastJob && (damage() == Damage::kArchiveRemoved ||
                                                       damage() == Damage::kLeftUncommitted ||
                                                       damage() == Damage::kMediaFolderRemoved);
          EXPECT_EQ(noneLeft, labrun::Has(Output(), "job " + last + ": no archive file of VM " + kVM + " [" +
                                                        Description(kVM).guid + "] on any media agent\n"))
              << Output();
        }
      }
    }
    const std::string job = std::to_string(where());
    if (damage() == Damage::kByteChangedInFirstRecord || damage() == Damage::kOneOfSeveralFirstRecordChanged) {
      EXPECT_EQ(1, Tool({"verify", lab_, "--job", job, "--vm", kVM})) << Output();
      EXPECT_TRUE(labrun::Has(Output(), "MALFORMED at offset 0") && !labrun::Has(Output(), "of an earlier attempt"))
          << "an archive of job " << job << " whose first record does not read is not a problem of its job: "
          << Output();
    }
    if (damage() == Damage::kNoteNamesAnotherVMsArchives) {
      EXPECT_EQ(1, Tool({"verify", lab_, "--job", job})) << Output();
      EXPECT_TRUE(labrun::Has(Output(), "NOTED FOR VM " + Description(kVM).guid)) << Output();
    }
  }

 protected:
  std::map<int64_t, testsupport::DiskCopies> copiesBefore_;  // job -> vm01's disks just before it
  bool damagedAfterTheStub_ = false;
  // Of one archive of several, the one damaged: its path below the lab.
  std::string damagedArchive_;
};

TEST_P(ChainDamage, EveryRestoreGivesTheJobsBytesOrRefusesAndNoDiskIsDeletedThatDoesNotComeBack) {
  ASSERT_EQ(0, Tool({"vm", lab_, kVM, "power", "on"}));
  ASSERT_NO_FATAL_FAILURE(Run(kFull, "1"));
  if (where() == kFull && when() == When::kBeforeTheNextJob) {
    ASSERT_NO_FATAL_FAILURE(DamageOnce(kFull));
  }
  GuestWrite("0", "65536", "65536");
  // Both disks change, so that neither is as the full left it.
  if (OneOfSeveral()) GuestWrite("1", "65536", "65536");
  ASSERT_NO_FATAL_FAILURE(Run(kMiddle, "2"));
  if (where() == kMiddle && when() == When::kBeforeTheNextJob) {
    ASSERT_NO_FATAL_FAILURE(DamageOnce(kMiddle));
  }
  GuestWrite("0", "2101248", "4096");
  NextJob(kStubJob);
  copiesBefore_[kStubJob] = testsupport::CopyDisks({kVM}, dir_.Path("before1003"));
  BackupPhase(kStubJob, "2", Streams());
  if (when() == When::kBetweenTheStubsPhases) {
    ASSERT_NO_FATAL_FAILURE(DamageOnce(where()));
  }
  StubPhase(kStubJob, "2");
  // The stub's own job damaged before the next job: after the stub, and the job after it runs on it.
  damagedAfterTheStub_ = when() == When::kAfterTheStub || (where() == kStubJob && when() == When::kBeforeTheNextJob);
  if (damagedAfterTheStub_) {
    ASSERT_NO_FATAL_FAILURE(DamageOnce(where()));
  }
  if (where() == kStubJob && when() == When::kBeforeTheNextJob) {
    // The job after the stub's backs vm02 up and vm01 as the stub it is.
    NextJob(kNextJob);
    const int status = Tool({"run", lab_, "--job", std::to_string(kNextJob), "--", "-t", "2", "-numStreams", "1"});
    EXPECT_TRUE(status == 0 || status == 1 || status == 2) << Output();
  }
  // A break the archives' structure shows, before the next job: that job builds nothing on it (its
  // backup of vm01 is a full one), so it and the jobs after it restore, and the stub goes on.
  const bool healed = when() == When::kBeforeTheNextJob && where() != kStubJob &&
                      damage() != Damage::kByteChangedMidFile;
  for (int64_t job : {kFull, kMiddle, kStubJob}) CheckRestoreAsOf(job, where() > job || (healed && job > where()));
  if (healed) {
    EXPECT_TRUE(Stubbed(kVM)) << WhyNotStubbed(kStubJob, kVM);
  }
  const bool stubRestores = CheckStubRestores();
  int64_t lastJob = where() == kStubJob && when() == When::kBeforeTheNextJob ? kNextJob : kStubJob;
  // The stub's check read the chain whole and found the changed byte: the next job builds nothing on it.
  if (damage() == Damage::kByteChangedMidFile && !damagedAfterTheStub_) {
    lab::SetRoot(lab_);
    EXPECT_FALSE(Stubbed(kVM)) << "a stub deleted disks on a damaged chain";
    ASSERT_NO_FATAL_FAILURE(Run(kNextJob, "2"));
    lab::SetRoot(lab_);
    for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(kNextJob, Description(kVM).guid)) {
      archive::ArchiveContents begin;
      archive::Problem problem;
      ASSERT_TRUE(archive::ReadArchiveBegin(location.path, begin, problem)) << problem.Describe();
      EXPECT_EQ(1u, begin.backupLevel) << "job " << kNextJob << " built on the chain the stub's check found damaged";
    }
    CheckRestoreAsOf(kNextJob, true);
    lastJob = kNextJob;
  }
  CheckVerify(lastJob, stubRestores);
}

using ChainCase = std::tuple<Damage, int64_t, When>;

std::string CaseName(const testing::TestParamInfo<ChainCase>& info) {
  static const char* const damages[] = {"ArchiveRemoved",
                                        "LeftUncommitted",
                                        "ByteChangedMidFile",
                                        "ByteChangedInFirstRecord",
                                        "NoteLost",
                                        "MediaFolderRemoved",
                                        "NoteNamesAnotherVMsArchives",
                                        "OneOfSeveralRemoved",
                                        "OneOfSeveralRemovedWithItsIndexRecord",
                                        "OneOfSeveralRemovedWithTheNote",
                                        "OneOfSeveralRemovedWithTheNoteAndIndexRecord",
                                        "OneOfSeveralLeftUncommittedWithItsIndexRecord",
                                        "OneOfSeveralFirstRecordChanged",
                                        "OneOfSeveralsNoteLineWithADispatchOfMinusOne",
                                        "OneOfSeveralsNoteLineWithAFourthField",
                                        "OneOfSeveralsNoteLineRemoved",
                                        "OneOfSeveralsNoteCutInsideItsLine",
                                        "OneOfSeveralsNoteLineRemovedWithTheJobManagersRecord"};
  static const char* const wheres[] = {"TheFull", "AMiddleIncremental", "TheStubsOwnJob"};
  static const char* const whens[] = {"BeforeTheNextJob", "BetweenTheStubsPhases", "AfterTheStub"};
  return std::string(damages[static_cast<int>(std::get<0>(info.param))]) + "_" +
         wheres[std::get<1>(info.param) - kFull] + "_" + whens[static_cast<int>(std::get<2>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(EachDamage, ChainDamage,
                         testing::Combine(testing::Values(Damage::kArchiveRemoved, Damage::kLeftUncommitted,
                                                          Damage::kByteChangedMidFile,
                                                          Damage::kByteChangedInFirstRecord, Damage::kNoteLost,
                                                          Damage::kMediaFolderRemoved),
                                          testing::Values(kFull, kMiddle, kStubJob),
                                          testing::Values(When::kBeforeTheNextJob, When::kBetweenTheStubsPhases,
                                                          When::kAfterTheStub)),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(OneArchiveOfSeveral, ChainDamage,
                         testing::Combine(testing::Values(Damage::kOneOfSeveralRemoved,
                                                          Damage::kOneOfSeveralRemovedWithItsIndexRecord,
                                                          Damage::kOneOfSeveralRemovedWithTheNote,
                                                          Damage::kOneOfSeveralRemovedWithTheNoteAndIndexRecord,
                                                          Damage::kOneOfSeveralLeftUncommittedWithItsIndexRecord,
                                                          Damage::kOneOfSeveralFirstRecordChanged,
                                                          // The archive whole and committed, the line of the
                                                          // note that names it unreadable and the index's
                                                          // record of vm01 in the job removed.
                                                          Damage::kOneOfSeveralsNoteLineWithADispatchOfMinusOne,
                                                          Damage::kOneOfSeveralsNoteLineWithAFourthField,
                                                          Damage::kOneOfSeveralsNoteLineRemoved,
                                                          Damage::kOneOfSeveralsNoteCutInsideItsLine),
                                          testing::Values(kMiddle),
                                          testing::Values(When::kBeforeTheNextJob, When::kAfterTheStub)),
                         CaseName);

// The same with the job manager's record of vm01 in the job lost too: the job's mount alone still says
// what its backup held.
INSTANTIATE_TEST_SUITE_P(NoteLineAndJobRecordsLost, ChainDamage,
                         testing::Combine(testing::Values(Damage::kOneOfSeveralsNoteLineRemovedWithTheJobManagersRecord),
                                          testing::Values(kMiddle), testing::Values(When::kAfterTheStub)),
                         CaseName);

INSTANTIATE_TEST_SUITE_P(ForeignNote, ChainDamage,
                         testing::Combine(testing::Values(Damage::kNoteNamesAnotherVMsArchives),
                                          testing::Values(kMiddle),
                                          testing::Values(When::kBeforeTheNextJob, When::kAfterTheStub)),
                         CaseName);

}  // namespace
