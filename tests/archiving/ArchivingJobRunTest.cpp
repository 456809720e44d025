// Archiving jobs as the job manager runs them: the real host program, a backup phase and then a stub
// phase of each job, over later jobs that find the stubs, a restored VM, a stub cut off (which a
// restore refuses, having every disk), a stub of another subclient and a stub deleted from the
// hypervisor until it expires.
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabCoordinator.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabSubclient.h"
#include "platform/appmgr/ClientProperties.h"
#include "platform/os/CPxSha256.h"
#include "records/messages/JobManagerMessages.h"
#include "support/ArchiveTestSupport.h"
#include "archiving/ArchivingTestSupport.h"
#include "support/TestLab.h"

namespace {

using archtest::Guid;
using Update = JobManager::VMUpdateInfo;
using Stub = archtest::Stub;

class ArchivingJobRun : public testing::Test {
 protected:
  int Tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {QUARN_LAB_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::WaitProgram(testsupport::StartProgram(argv, out));
  }
  std::string Output() const {
    std::string text, error;
    lab::ReadRegularFile(out, 1 << 24, text, error);
    return text;
  }
  // A job's backup phase (discovery made its collect file), then its stub phase, as the job manager
  // starts them.
  // The next job with its collect file. (Creating a job also puts back sample VMs that are missing.)
  void CreateJob(int64_t job, int vms = 8) {
    ASSERT_EQ(0, Tool({"create", labDir, "--vms", std::to_string(vms), "--clients", "coordinator", "--job",
                       std::to_string(job), "--time-scale", "60"}))
        << Output();
  }
  // A lab of `vms` sample VMs whose subclient archives VMs off for two days, the lab taken as this
  // process's.
  void CreateArchivingLab(int vms) {
    ASSERT_EQ(0,
              Tool({"create", labDir, "--vms", std::to_string(vms), "--clients", "coordinator", "--time-scale", "60"}))
        << Output();
    lab::SetRoot(labDir);
    Set("keyrealmNumber", "1");
    Set("archiveDays", "2");
    Set("archiveRule", "1");
  }
  // The run's exit status is the job's outcome (2: pending).
  void RunBackupPhase(int64_t job, const std::string& level, int exitCode = 0) {
    ASSERT_EQ(exitCode, Tool({"run", labDir, "--job", std::to_string(job), "--", "-t", level, "-numStreams", "2", "-stub"}))
        << Output();
  }
  void RunStubPhase(int64_t job, const std::string& level, int exitCode = 0) {
    ASSERT_EQ(exitCode, Tool({"run", labDir, "--job", std::to_string(job), "--", "-t", level, "-numStreams", "1", "-stub",
                       "-stubPhase"}))
        << Output();
  }
  void RunJob(int64_t job, const std::string& level, int backupExitCode = 0, int stubExitCode = 0) {
    ASSERT_NO_FATAL_FAILURE(RunBackupPhase(job, level, backupExitCode));
    ASSERT_NO_FATAL_FAILURE(RunStubPhase(job, level, stubExitCode));
  }
  std::string Option(int i) {
    lab::VMDescription vm;
    lab::FindVM(lab::SampleServer(), archtest::Name(i), vm);
    return vm.options[lab::kStubRecordOption];
  }
  int64_t OptionField(int i, const CNField& field) { return archtest::StubField(Option(i), field); }
  bool Image(int i) {
    lab::VMDescription vm;
    lab::FindVM(lab::SampleServer(), archtest::Name(i), vm);
    return !vm.disks.empty() && access(lab::DiskImagePath(lab::SampleServer(), vm.disks[0].file).c_str(), F_OK) == 0;
  }
  Update Status(int64_t job, int i) {
    Update record;
    vsJobMgr::ReadVMStatus(job, Guid(i), record);
    return record;
  }
  std::string Log() {
    std::string text, error;
    lab::ReadRegularFile(lab::ClientLogPath("coordinator", "quarn"), 1 << 26, text, error);
    return text;
  }
  // The disk items a job's archive files of the VM hold.
  size_t DiskItems(int64_t job, int i) {
    size_t disks = 0;
    for (const archive::ArchiveContents& contents : archivetest::ReadJobArchives(job, nullptr))
      if (contents.vmGuid == Guid(i))
        for (const archive::Item& item : contents.items) disks += item.kind == archive::ItemKind::kDisk ? 1 : 0;
    return disks;
  }
  std::string SubclientGuid() {
    lab::SubclientRecord record;
    std::string error;
    lab::ReadSubclientRecord("1", record, error);
    return record.settings["subclientGUID"];
  }
  void Set(const std::string& key, const std::string& value) {
    std::string error;
    ASSERT_TRUE(lab::SetSubclientValue("1", key, value, error)) << error;
  }
  void Fault(const char* op, const std::string& vm, int code, int64_t times = lab::kFaultAlways) {
    lab::FaultRule rule;
    rule.op = op;
    rule.vm = vm;
    rule.code = code;
    rule.times = times;
    std::string error;
    ASSERT_TRUE(lab::AddFaultRule(rule, error)) << error;
  }

  // vm01, idle since job 1001's full backup and then written to, stubbed by job 1002's incremental:
  // its disk as it was when job 1001 and then job 1002 backed it up.
  void StubByAnIncremental(std::string& atFull, std::string& atIncremental) {
    ASSERT_NO_FATAL_FAILURE(CreateArchivingLab(1));
    ASSERT_NO_FATAL_FAILURE(RunJob(1001, "1"));  // vm01 runs: nothing to stub
    atFull = testsupport::ReadDisk(ImagePath(1));
    ASSERT_EQ(0, Tool({"disk", labDir, "vm01", "0", "write", "--offset", "65536", "--bytes", "65536"})) << Output();
    ASSERT_EQ(0, Tool({"vm", labDir, "vm01", "power", "off", "--hours", "72"})) << Output();
    atIncremental = testsupport::ReadDisk(ImagePath(1));
    ASSERT_NO_FATAL_FAILURE(CreateJob(1002, 1));
    ASSERT_NO_FATAL_FAILURE(RunJob(1002, "2"));
    ASSERT_FALSE(Image(1)) << "stubbed by job 1002";
  }
  std::string ImagePath(int i) {
    lab::VMDescription vm;
    lab::FindVM(lab::SampleServer(), archtest::Name(i), vm);
    return vm.disks.empty() ? std::string() : lab::DiskImagePath(lab::SampleServer(), vm.disks[0].file);
  }

  testsupport::TestLab dir;
  const std::string labDir = dir.Path("lab");
  const std::string out = dir.Path("tool.txt");
};

TEST_F(ArchivingJobRun, IdleVMsAreBackedUpThenStubbedAndLaterJobsReconcileTheStubs) {
  // vm01 off 72 h; vm02 off 47 h; vm03 runs; vm04 has an independent disk; vm05 is a template; vm06 is
  // named in the archive list; vm07's backup fails; vm08's stub is cut off.
  ASSERT_NO_FATAL_FAILURE(CreateArchivingLab(8));
  Set("archiveVMList", "other;\"vm06\"");
  for (const auto& off : std::vector<std::pair<const char*, const char*>>{
           {"vm01", "72"}, {"vm02", "47"}, {"vm04", "72"}, {"vm05", "72"}, {"vm06", "1"}, {"vm07", "72"}, {"vm08", "72"}})
    ASSERT_EQ(0, Tool({"vm", labDir, off.first, "power", "off", "--hours", off.second})) << Output();
  std::string error;
  ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), "vm04", [](lab::VMDescription& vm, std::string&) {
    vm.disks[0].mode = "independent";
    return true;
  }, error)) << error;
  ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), "vm05", [](lab::VMDescription& vm, std::string&) {
    vm.isTemplate = true;
    return true;
  }, error)) << error;
  std::string vm06Image, vm06Digest;
  {
    lab::VMDescription vm06;
    ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm06", vm06));
    vm06Image = lab::DiskImagePath(lab::SampleServer(), vm06.disks[0].file);
    ASSERT_TRUE(CPxSha256::OfFile(vm06Image, vm06Digest, error)) << error;
  }
  Fault("disk.Read", Guid(7), 54);
  Fault("vminfo.StubVMDisk", Guid(8), 3010);

  // vm07's disk cannot be read: the backup phase ends pending.
  ASSERT_NO_FATAL_FAILURE(RunBackupPhase(1001, "1", 2));
  // The backup phase: the selected VMs are backed up "to be stubbed", the rest as ever.
  for (int i : {1, 6, 8}) {
    EXPECT_EQ(0, Status(1001, i).getint64(Update::F_vmStatus)) << i;
    EXPECT_EQ(1, Status(1001, i).getint64(Update::F_stubStatus)) << i;
    EXPECT_NE(std::string::npos, Log().find("Successfully backed up VM [" + archtest::Name(i) + "]. To be stubbed."));
    lab::IndexStubRecord indexed;
    ASSERT_TRUE(lab::ReadIndexStubRecord(SubclientGuid(), Guid(i), indexed, error)) << error;
    EXPECT_EQ(1, archtest::StubField(indexed.stubData, Stub::F_stubState)) << "the stub text reached the index: " << i;
    EXPECT_GT(archtest::StubField(indexed.stubData, Stub::F_stubVMSize), 0) << i;
  }
  for (int i : {2, 3, 4, 5}) {
    EXPECT_EQ(0, Status(1001, i).getint64(Update::F_vmStatus)) << i;
    EXPECT_TRUE(Image(i) && Option(i).empty()) << i;
  }
  EXPECT_EQ(1, Status(1001, 7).getint64(Update::F_stubStatus)) << "vm07 was chosen before its backup";
  EXPECT_NE(0, Status(1001, 7).getint64(Update::F_vmStatus)) << "vm07's backup failed";
  EXPECT_NE("", Status(1001, 7).getstring(Update::F_failureText));
  // vm08's stub is cut off: the stub phase completes with errors.
  ASSERT_NO_FATAL_FAILURE(RunStubPhase(1001, "1", 1));
  // The stub phase: only the VMs backed up "to be stubbed"; the failed one is left whole.
  for (int i : {1, 6}) {
    EXPECT_FALSE(Image(i)) << i;
    EXPECT_EQ(4, OptionField(i, Stub::F_stubState)) << i;
    EXPECT_EQ(1, OptionField(i, Stub::F_stubRetryCount)) << i;
    lab::VMDescription vm;
    lab::FindVM(lab::SampleServer(), archtest::Name(i), vm);
    EXPECT_EQ("Yes", vm.customFields["Archived"]) << i;
    EXPECT_EQ("1", ClientProperties(100 + i).getValue("archived")) << i;
    EXPECT_EQ(5, Status(1001, i).getint64(Update::F_stubStatus)) << i;
  }
  EXPECT_TRUE(Image(7) && Option(7).empty()) << "a VM whose backup failed is never stubbed";
  EXPECT_TRUE(Image(8)) << "the stub was cut off before its disk";
  EXPECT_EQ(3, OptionField(8, Stub::F_stubState));
  EXPECT_EQ(6, Status(1001, 8).getint64(Update::F_stubStatus));
  const std::vector<std::string> events = lab::ReadJobEvents(1001);
  EXPECT_EQ(1u, std::count(events.begin(), events.end(), "INFO 0x5B000053 vm01|1001"));
  EXPECT_EQ(1u, std::count(events.begin(), events.end(), "INFO 0x5B000053 vm06|1001"));
  // The lab tool says what happened to each VM, beside the status the job manager keeps after the phase.
  Tool({"outcome", labDir, "--job", "1001"});
  EXPECT_NE(std::string::npos, Output().find("vm01 [" + Guid(1) + "] Stubbed (job manager status: To be backed up)"))
      << Output();
  EXPECT_NE(std::string::npos, Output().find("vm08 [" + Guid(8) + "] Stub failed (job manager status: To be backed up)"))
      << Output();
  EXPECT_NE(std::string::npos, Output().find("vm02 [" + Guid(2) + "] Backed up\n")) << Output();
  EXPECT_EQ(std::string::npos, Log().find("Checking for Job Restarted before VM list is initialized"));
  EXPECT_NE(std::string::npos, Log().find("Total VMs to Archive/Relocate [3]"));
  // What the stubs deleted restores byte for byte from the backup phase.
  lab::SetRoot(std::string());
  for (int i : {1, 6}) {
    ASSERT_EQ(0, Tool({"verify", labDir, "--job", "1001", "--vm", Guid(i)})) << Output();
    EXPECT_NE(std::string::npos, Output().find("matches the point-in-time copy of job 1001")) << Output();
  }

  // Job 1002: vm06 comes back from its backup, vm02 is judged in hours, vm05 turns out to be another
  // subclient's stub; the faults are gone.
  ASSERT_EQ(0, Tool({"vm", labDir, "vm06", "restore"})) << Output();
  lab::SetRoot(labDir);
  std::string restored;
  ASSERT_TRUE(CPxSha256::OfFile(vm06Image, restored, error)) << error;
  EXPECT_EQ(vm06Digest, restored) << "the restore brings the disk back byte for byte";
  EXPECT_TRUE(Option(6).empty()) << "and the VM is no stub any more";
  // vm08's stub was cut off before it deleted a disk: with all its disks there is nothing to restore,
  // and the restore refuses, keeping the stub record and field by which job 1002 retries the stub.
  lab::VMDescription vm08, vm08After;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm08", vm08));
  EXPECT_EQ(1, Tool({"vm", labDir, "vm08", "restore"})) << Output();
  EXPECT_NE(std::string::npos, Output().find("VM [vm08] has all its disks: nothing to restore")) << Output();
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm08", vm08After));
  EXPECT_FALSE(vm08After.options[lab::kStubRecordOption].empty());
  EXPECT_EQ(vm08.options, vm08After.options);
  EXPECT_EQ(vm08.customFields, vm08After.customFields);
  ASSERT_TRUE(lab::ClearFaultTable(error)) << error;
  Set("archiveCompareHours", "1");
  ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), "vm05", [](lab::VMDescription& vm, std::string&) {
    vm.isTemplate = false;
    vm.options[lab::kStubRecordOption] = archtest::StubText(4, 2);
    return true;
  }, error)) << error;
  ASSERT_NO_FATAL_FAILURE(CreateJob(1002));
  // vm05 is another subclient's stub: the job completes with errors, after its stub phase too.
  ASSERT_NO_FATAL_FAILURE(RunJob(1002, "2", 1, 1));
  EXPECT_EQ(0u, DiskItems(1002, 1)) << "a stub sends no disk data";
  EXPECT_NE(std::string::npos, Log().find("Successfully backed up VM [vm01]. Already stubbed."));
  EXPECT_NE(std::string::npos, Log().find("Successfully backed up VM [vm08]. Retry stubbing."));
  EXPECT_NE(std::string::npos, Log().find("Archived VM [vm06] has been restored back"));
  for (int i : {2, 6, 8}) {
    EXPECT_FALSE(Image(i)) << "stubbed by job 1002: " << i;
    EXPECT_EQ(4, OptionField(i, Stub::F_stubState)) << i;
  }
  EXPECT_EQ(2, OptionField(8, Stub::F_stubRetryCount)) << "the retry count plus one";
  EXPECT_EQ(1, OptionField(6, Stub::F_stubRetryCount)) << "a VM restored is a new stub";
  EXPECT_EQ(1, Status(1002, 5).getint64(Update::F_vmStatus)) << "another subclient's stub fails";
  const std::vector<std::string> pending = lab::ReadPendingCauses(1002);
  EXPECT_NE(pending.end(), std::find(pending.begin(), pending.end(), "0x5B0000B4 vm05|2"));
  EXPECT_NE(std::string::npos, Status(1002, 5).getstring(Update::F_failureText).find("archived by subclient 2"));
  lab::IndexStubRecord indexed;
  ASSERT_TRUE(lab::ReadIndexStubRecord(SubclientGuid(), Guid(1), indexed, error)) << error;
  EXPECT_EQ(4, archtest::StubField(indexed.stubData, Stub::F_stubState)) << "the index learned the stub was made";

  // Job 1003: vm01 is deleted from the hypervisor; the index starts its time to expiry. Job 1004, six
  // hours later on the hypervisor's clock with an expiry of five: it is pruned.
  ASSERT_NO_FATAL_FAILURE(CreateJob(1003));
  ASSERT_EQ(0, Tool({"vm", labDir, "vm01", "delete"})) << Output();
  Set("expiryOverrideHours", "5");
  ASSERT_NO_FATAL_FAILURE(RunJob(1003, "2", 1, 1));  // vm05 is still another subclient's stub
  ASSERT_TRUE(lab::ReadIndexStubRecord(SubclientGuid(), Guid(1), indexed, error)) << error;
  EXPECT_GT(indexed.deleteTime, 0);
  EXPECT_EQ(4, archtest::StubField(indexed.stubData, Stub::F_stubState));
  const std::vector<std::string> missed = lab::ReadJobEvents(1003);
  EXPECT_NE(missed.end(), std::find(missed.begin(), missed.end(), "INFO 0x5B000057 vm01|esx1")) << "first missed";
  lab::ServerRecord server;
  ASSERT_TRUE(lab::ReadServerRecord(lab::SampleServer(), server, error)) << error;
  server.other[lab::kServerClockOffsetKey] = std::to_string(6 * 3600);
  ASSERT_TRUE(lab::WriteServerRecord(lab::SampleServer(), server, error)) << error;
  ASSERT_NO_FATAL_FAILURE(CreateJob(1004));
  ASSERT_EQ(0, Tool({"vm", labDir, "vm01", "delete"})) << Output();
  ASSERT_NO_FATAL_FAILURE(RunJob(1004, "2", 1, 1));  // vm05 is still another subclient's stub
  ASSERT_TRUE(lab::ReadIndexStubRecord(SubclientGuid(), Guid(1), indexed, error)) << error;
  EXPECT_EQ(8, archtest::StubField(indexed.stubData, Stub::F_stubState)) << "pruned past its expiry";
  const std::vector<std::string> pruned = lab::ReadPendingCauses(1004);
  EXPECT_NE(pruned.end(), std::find(pruned.begin(), pruned.end(), "0x5B0000B5 vm01"));
  lab::SetRoot(std::string());
}

// A stub cut off is retried by the next job once the VM is backed up again. When the archive file that
// tells the index so cannot be committed, the VM is not backed up: it fails and says why, and the stub
// phase deletes none of its disks.
TEST_F(ArchivingJobRun, AStubRetryWhoseIndexUpdateIsNotCommittedFailsAndKeepsItsDisks) {
  ASSERT_NO_FATAL_FAILURE(CreateArchivingLab(1));
  ASSERT_EQ(0, Tool({"vm", labDir, "vm01", "power", "off", "--hours", "72"})) << Output();
  std::string error, digest;
  ASSERT_TRUE(Image(1));
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", vm));
  const std::string image = lab::DiskImagePath(lab::SampleServer(), vm.disks[0].file);
  Fault("vminfo.StubVMDisk", Guid(1), 3010);
  // Its one VM failed: the stub phase fails.
  ASSERT_NO_FATAL_FAILURE(RunJob(1001, "1", 0, 2));
  ASSERT_TRUE(Image(1)) << "the stub was cut off before its disk";
  ASSERT_EQ(3, OptionField(1, Stub::F_stubState));
  ASSERT_TRUE(CPxSha256::OfFile(image, digest, error)) << error;

  ASSERT_TRUE(lab::ClearFaultTable(error)) << error;
  ASSERT_NO_FATAL_FAILURE(CreateJob(1002, 1));
  // The job's first archive file is the update of vm01's stub record: its sync at the close fails.
  Fault("archive.fileSync", "", EIO, 1);
  ASSERT_NO_FATAL_FAILURE(RunBackupPhase(1002, "2", 2));
  EXPECT_NE(0, Status(1002, 1).getint64(Update::F_vmStatus));
  EXPECT_NE(std::string::npos, Status(1002, 1).getstring(Update::F_failureText).find("could not be sent to the index"))
      << Status(1002, 1).getstring(Update::F_failureText);
  EXPECT_EQ(0u, DiskItems(1002, 1)) << "not backed up";
  EXPECT_EQ(1u, lab::ListUncommittedArchiveFiles(1002).size());
  // No VM was backed up to be stubbed: the stub phase has nothing to do, and ends the job failed, as its
  // one VM was not backed up.
  ASSERT_NO_FATAL_FAILURE(RunStubPhase(1002, "2", 2));
  EXPECT_NE(std::string::npos, Output().find("job 1002: failed\n")) << Output();
  EXPECT_TRUE(Image(1)) << "a VM whose backup failed is never stubbed";
  std::string after;
  ASSERT_TRUE(CPxSha256::OfFile(image, after, error)) << error;
  EXPECT_EQ(digest, after);
  EXPECT_EQ(3, OptionField(1, Stub::F_stubState)) << "still a stub cut off, for the next job to retry";
  lab::SetRoot(std::string());
}

// A relocation rule with nowhere to relocate to: the backup phase backs the idle VM up to be moved, and
// the stub phase says what the rule lacks, with its pending cause, and moves and deletes nothing.
TEST_F(ArchivingJobRun, ARelocationRuleWithoutADestinationSaysWhatItLacks) {
  ASSERT_EQ(0, Tool({"create", labDir, "--vms", "2", "--clients", "coordinator", "--time-scale", "60"})) << Output();
  lab::SetRoot(labDir);
  Set("relocateDays", "2");
  Set("relocateRule", "1");
  ASSERT_EQ(0, Tool({"vm", labDir, "vm01", "power", "off", "--hours", "72"})) << Output();
  ASSERT_NO_FATAL_FAILURE(RunBackupPhase(1001, "1"));
  EXPECT_EQ(1, Status(1001, 1).getint64(Update::F_stubStatus)) << "to be relocated";
  // Its one VM failed: the stub phase fails.
  ASSERT_NO_FATAL_FAILURE(RunStubPhase(1001, "1", 2));
  EXPECT_NE(std::string::npos, Log().find("[VMArchiving] One of the option [DestinationHost|DestinationDatastore|"
                                          "DestinationResourcepool] needs to be specified."));
  EXPECT_EQ(std::string::npos, Log().find("is already relocated to specified"));
  const std::vector<std::string> pending = lab::ReadPendingCauses(1001);
  EXPECT_NE(pending.end(), std::find(pending.begin(), pending.end(), "0x5B0000B7"));
  const std::vector<std::string> results = lab::ReadJobResultLines(1001);
  ASSERT_EQ(1u, results.size());
  EXPECT_NE(std::string::npos, results[0].find("vm01 Skipped The VM was not relocated: no destination")) << results[0];
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", vm));
  EXPECT_EQ("esx1", vm.host);
  EXPECT_TRUE(Image(1) && Option(1).empty());
  lab::SetRoot(std::string());
}

// A stub records on each disk the backup it deleted the disk on, and a restore of the stub brings the
// disk back from that backup and no other: when that backup cannot be read whole (its archive gone,
// never committed, cut short) the restore refuses, names the disk and the job, and writes nothing; an
// older backup comes back only when asked for with --job.
TEST_F(ArchivingJobRun, AStubComesBackFromTheBackupItWasDeletedOnOrNotAtAll) {
  std::string atFull, atIncremental;
  ASSERT_NO_FATAL_FAILURE(StubByAnIncremental(atFull, atIncremental));
  lab::VMDescription vm;
  ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", vm));
  EXPECT_EQ(1002, vm.disks[0].stubJob);
  EXPECT_NE("", vm.disks[0].stubChangeId);
  const std::string disk = lab::LabDiskIndexName(0, vm.disks[0].file);
  const std::vector<lab::ArchiveLocation> archives = lab::ListVMArchiveFiles(1002, Guid(1));
  ASSERT_FALSE(archives.empty());
  enum Damage { kNone, kRemoved, kNotCommitted, kCutShort };
  struct Case {
    const char* name;
    Damage damage;
  } cases[] = {{"the backup whole", kNone},
               {"its archives removed", kRemoved},
               {"its archives left uncommitted", kNotCommitted},
               {"its archives cut short", kCutShort}};
  int copies = 0;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    // Each restore in a copy of the lab.
    const std::string copy = dir.Path("copy" + std::to_string(++copies));
    std::error_code failed;
    std::filesystem::copy(labDir, copy, std::filesystem::copy_options::recursive, failed);
    ASSERT_FALSE(failed) << failed.message();
    for (const lab::ArchiveLocation& location : archives) {
      const std::string path = copy + location.path.substr(labDir.size());
      const std::string bytes = testsupport::ReadDisk(path);
      int damaged = 0;
      if (test.damage == kRemoved) damaged = unlink(path.c_str());
      if (test.damage == kNotCommitted) damaged = rename(path.c_str(), (path + ".open").c_str());
      if (test.damage == kCutShort) damaged = truncate(path.c_str(), static_cast<off_t>(bytes.size() / 2));
      ASSERT_EQ(0, damaged) << path;
    }
    const std::string image = copy + ImagePath(1).substr(labDir.size());
    const int restored = Tool({"vm", copy, "vm01", "restore"});
    if (test.damage == kNone) {
      EXPECT_EQ(0, restored) << Output();
      EXPECT_TRUE(testsupport::ReadDisk(image) == atIncremental) << "the bytes the stub deleted";
      continue;
    }
    EXPECT_EQ(1, restored) << Output();
    EXPECT_NE(std::string::npos,
              Output().find("disk " + disk + " of VM [vm01] is not restored: the backup of job 1002"))
        << Output();
    EXPECT_FALSE(testsupport::Exists(image)) << "nothing written";
    lab::SetRoot(copy);
    ASSERT_TRUE(lab::FindVM(lab::SampleServer(), "vm01", vm));
    EXPECT_TRUE(vm.disks[0].deleted && vm.disks[0].stubJob == 1002) << "still the stub it was";
    EXPECT_FALSE(Option(1).empty());
    lab::SetRoot(labDir);
    // Asked for, the full backup before it comes back.
    EXPECT_EQ(0, Tool({"vm", copy, "vm01", "restore", "--job", "1001"})) << Output();
    EXPECT_TRUE(testsupport::ReadDisk(image) == atFull);
  }
  lab::SetRoot(std::string());
}

// A VM a stub had made of it before a job is backed up by the job as the stub it is: verify checks its
// disks against the backup its stub deleted them on, and finds no problem in the stub itself.
TEST_F(ArchivingJobRun, VerifyChecksAStubInALaterJobByTheBackupItsStubRecorded) {
  std::string atFull, atIncremental;
  ASSERT_NO_FATAL_FAILURE(StubByAnIncremental(atFull, atIncremental));
  ASSERT_NO_FATAL_FAILURE(CreateJob(1003, 1));
  ASSERT_NO_FATAL_FAILURE(RunJob(1003, "2"));
  EXPECT_EQ(0, Status(1003, 1).getint64(Update::F_vmStatus)) << "backed up, as a stub";
  EXPECT_EQ(0u, DiskItems(1003, 1));
  EXPECT_EQ(0, Tool({"verify", labDir, "--job", "1003"})) << Output();
  EXPECT_NE(std::string::npos, Output().find("a stub in job 1003")) << Output();
  EXPECT_NE(std::string::npos, Output().find("matches the point-in-time copy of job 1002")) << Output();
  // The VM gone from the hypervisor (in a copy of the lab), with the records of what its stub deleted:
  // its disks are checked as any VM's, by the job's records: job 1003 reported the stub of job 1002, whose
  // copies they are compared with. With those records lost too, nothing is to compare them with, and
  // that is a problem while the job manager reports the VM backed up.
  const std::string copy = dir.Path("deleted");
  std::error_code failed;
  std::filesystem::copy(labDir, copy, std::filesystem::copy_options::recursive, failed);
  ASSERT_FALSE(failed) << failed.message();
  ASSERT_EQ(0, Tool({"vm", copy, "vm01", "delete"})) << Output();
  EXPECT_EQ(0, Tool({"verify", copy, "--job", "1003"})) << Output();
  EXPECT_NE(std::string::npos, Output().find("matches the point-in-time copy of job 1002")) << Output();
  EXPECT_EQ(std::string::npos, Output().find("a stub in job 1003")) << Output();
  lab::SetRoot(copy);
  std::string error;
  for (const std::string& subclient : lab::IndexSubclients())
    std::remove((lab::IndexVMDir(subclient, Guid(1), error) + "/1003.idx").c_str());
  lab::SetRoot(labDir);
  EXPECT_EQ(1, Tool({"verify", copy, "--job", "1003"})) << Output();
  EXPECT_NE(std::string::npos, Output().find("nothing to compare with")) << Output();
  // The backup its stub recorded gone, the disk does not come back: that is a problem.
  for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(1002, Guid(1)))
    ASSERT_EQ(0, unlink(location.path.c_str()));
  EXPECT_EQ(1, Tool({"verify", labDir, "--job", "1003"})) << Output();
  EXPECT_NE(std::string::npos, Output().find("DOES NOT COME BACK from the backup of job 1002")) << Output();
  lab::SetRoot(std::string());
}

}  // namespace
