// The promise across the job manager's resume: a data-path fault fails vm01's first attempt of a job,
// the fault goes, and the job manager runs the job again. Each case is a lab of two VMs with two disks
// of seeded bytes, every disk its own; one fault (a media write in the configuration file or in a disk,
// an archive file's close, the sync of an archive file or of the folder entry that commits it, the
// upload of the VM's index files, the VM's archive-index run, a disk read); a full, or an incremental
// over a full; a plain job, or an archiving one (vm01 off for 72 hours: its backup phase faulted and
// resumed, then its stub phase). After each run every VM reported backed up restores byte for byte,
// as the lab tool's verify reassembles it, to copies of its disks taken before the job; every other VM
// says why; no stream stays reserved. The resume backs both VMs up, and after the stub phase every
// disk it deleted comes back byte for byte with "vm restore". A refused index metadata record (of the
// configuration file or of a disk) is a warning that leaves vm01 backed up by the faulted run; those
// rows run with indexing V2 on and off (off, the index learns the job at its end, not each VM at its
// own, and an incremental records every unchanged extent).
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSubclient.h"
#include "records/messages/JobManagerMessages.h"
#include "support/DiskCopies.h"
#include "support/LabRunSupport.h"
#include "support/PromiseSupport.h"
#include "support/TestLab.h"

namespace {

using Info = JobManager::VMUpdateInfo;

const char* const kVMs[] = {"vm01", "vm02"};
const char* const kIdleVM = "vm01";  // the one the faults aim at, and the one an archiving job stubs
constexpr int64_t kStatusBackedUp = 0;
constexpr int64_t kStatusBackedUpWithErrors = 3;

// vm01's records that go before a record of its archive file, by the job's level and indexing.
struct RecordsBefore {
  int full;
  int incremental;
  int incrementalIndexV1;
};

struct DataPathFault {
  const char* name;
  std::vector<std::string> rule;  // of the lab tool's "fault LAB add"
  // A rule aimed at one record of vm01's archive file: the records let pass before it ("--after"),
  // and the warning the worker logs when that record is refused, a VM backed up all the same.
  RecordsBefore before = {-1, -1, -1};
  const char* warning = nullptr;
  // The index lacks what the stub phase must see of vm01's backup (a disk's change id): vm01 stays
  // whole and says why.
  bool leavesNoStub = false;
};
void PrintTo(const DataPathFault& fault, std::ostream* out) { *out << fault.name; }

// The index metadata of vm01's configuration file follows its header and its one buffer of data;
// that of its first disk follows the disk's extents (each a header, data and an end: four in the
// full, the changed one in the incremental, and with indexing V2 off each unchanged one as a header
// alone) and its header.
const DataPathFault kConfigFileIndexMetadata = {
    "ConfigFileIndexMetadata", {"archive.write", "--vm", "vm01", "--code", "5", "--times", "1"}, {2, 2, 2},
    "Failed to send indexing metadata for VM config file [VMConfig.ztf]."};
const DataPathFault kDiskIndexMetadata = {
    "DiskIndexMetadata", {"archive.write", "--vm", "vm01", "--code", "5", "--times", "1"}, {17, 8, 11},
    "Warning : Failed to send indexing metadata for VM virtual disk [vm01_0.img].", true};

// The job has one stream and takes the VMs in order, so vm01's archive file is the job's first: its
// sync is the first call of archive.fileSync, the sync of the folder entry that commits it the second.
const DataPathFault kFaults[] = {
    {"MediaWriteInTheConfigFile", {"archive.write", "--vm", "vm01", "--code", "5", "--after", "3", "--times", "always"}},
    {"MediaWriteInADisk", {"archive.write", "--vm", "vm01", "--code", "5", "--after", "12", "--times", "always"}},
    {"ArchiveFileClose", {"archive.closeArchiveFile", "--vm", "vm01", "--code", "28", "--times", "always"}},
    {"ArchiveFileSync", {"archive.fileSync", "--code", "5", "--after", "0", "--times", "1"}},
    {"ArchiveFolderSync", {"archive.fileSync", "--code", "5", "--after", "1", "--times", "1"}},
    {"IndexUpload", {"index.UploadMetadataFiles", "--vm", "vm01", "--code", "5", "--times", "always"}},
    {"ArchiveIndexRun", {"index.RunArchiveIndexForVM", "--vm", "vm01", "--code", "5", "--times", "always"}},
    {"DiskRead", {"disk.Read", "--vm", "vm01", "--code", "5", "--after", "1", "--times", "always"}},
    kConfigFileIndexMetadata,
    kDiskIndexMetadata,
    // The job manager cannot record vm01's status: backed up, it is backed up again by the resume.
    {"JobManagerRecord", {"jobmgr.setVMStatus", "--vm", "vm01", "--code", "5", "--times", "always"}},
};

struct Level {
  const char* name;
  bool incremental;
};
void PrintTo(const Level& level, std::ostream* out) { *out << level.name; }
const Level kLevels[] = {{"Full", false}, {"Incremental", true}};

struct JobKind {
  const char* name;
  bool archiving;
  bool indexV1 = false;  // the subclient indexes the first way
};
void PrintTo(const JobKind& kind, std::ostream* out) { *out << kind.name; }
const JobKind kKinds[] = {{"Plain", false}, {"Archiving", true}};
const JobKind kKindsIndexV1[] = {{"PlainIndexV1", false, true}, {"ArchivingIndexV1", true, true}};

class ResumePromise : public testing::TestWithParam<std::tuple<DataPathFault, Level, JobKind>> {
 protected:
  const DataPathFault& Fault() const { return std::get<0>(GetParam()); }
  const Level& JobLevel() const { return std::get<1>(GetParam()); }
  bool Archiving() const { return std::get<2>(GetParam()).archiving; }
  bool IndexV1() const { return std::get<2>(GetParam()).indexV1; }

  // The fault's rule, aimed at its record for this job.
  std::vector<std::string> Rule() const {
    std::vector<std::string> rule = Fault().rule;
    const RecordsBefore& before = Fault().before;
    const int records = !JobLevel().incremental ? before.full
                        : IndexV1()             ? before.incrementalIndexV1
                                                : before.incremental;
    if (records >= 0) rule.insert(rule.end(), {"--after", std::to_string(records)});
    return rule;
  }

  // The lab up to the job the fault meets, and copies of every disk as that job will find it.
  void SetUp() override {
    ASSERT_EQ(0, Tool({"create", lab_, "--vms", "2", "--disks", "2", "--clients", "coordinator", "--time-scale",
                       "60"}))
        << Output();
    int seed = 0;
    for (const char* vm : kVMs)
      for (const char* disk : {"0", "1"})
        ASSERT_EQ(0, Tool({"disk", lab_, vm, disk, "write", "--percent", "100", "--seed", std::to_string(++seed * 7)}))
            << Output();
    lab::SetRoot(lab_);
    if (IndexV1()) {
      std::string error;
      ASSERT_TRUE(lab::SetSubclientValue("1", "indexingV2", "0", error)) << error;
      // The job's VM collect file where the first index has it.
      ASSERT_EQ(0, Tool({"create", lab_, "--job", "1001"})) << Output();
    }
    if (JobLevel().incremental) {
      ASSERT_EQ(0, Run(1001, {})) << "the full the incremental rests on: " << Output();
      job_ = 1002;
      ASSERT_EQ(0, Tool({"create", lab_, "--job", "1002"})) << Output();
      // In vm01's first extent, and in the second extent of vm02's second disk.
      ASSERT_EQ(0, Tool({"disk", lab_, "vm01", "0", "write", "--offset", "65536", "--bytes", "65536"})) << Output();
      ASSERT_EQ(0, Tool({"disk", lab_, "vm02", "1", "write", "--offset", "1048576", "--bytes", "4096"})) << Output();
    }
    if (Archiving()) {
      ASSERT_EQ(0, Tool({"vm", lab_, kIdleVM, "power", "off", "--hours", "72"})) << Output();
      std::string error;
      ASSERT_TRUE(lab::SetSubclientValue("1", "archiveDays", "2", error)) << error;
      ASSERT_TRUE(lab::SetSubclientValue("1", "archiveRule", "1", error)) << error;
    }
    copies_ = testsupport::CopyDisks({kVMs[0], kVMs[1]}, dir_.Path("before"));
  }
  void TearDown() override { testsupport::TestLab::RemoveProcessTables(dir_.Root()); }

  // The lab tool; its exit status (its output is kept for the failure message).
  int Tool(const std::vector<std::string>& args) { return labrun::RunTool(args, out_); }
  std::string Output() const { return labrun::ReadText(out_); }

  // A run of a job with one stream, so that the VMs go one after the other (job 1002 is the
  // incremental over job 1001); `extra` follows the usual options.
  int Run(int64_t job, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"run", lab_, "--job", std::to_string(job), "--",
                                     "-t", job > 1001 ? "2" : "1", "-numStreams", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Tool(args);
  }
  // A run of the job the fault meets (of an archiving job, its backup phase unless `extra` says
  // otherwise).
  int RunJob(std::vector<std::string> extra) {
    if (Archiving()) extra.insert(extra.begin(), "-stub");
    return Run(job_, extra);
  }

  lab::VMDescription Description(const std::string& vm) const {
    lab::VMDescription description;
    EXPECT_TRUE(lab::FindVM(lab::SampleServer(), vm, description)) << vm;
    return description;
  }

  // What verify finds wrong with the VM as of the job, its disks compared with their copies; empty when
  // every disk matches its copy and nothing else is wrong.
  std::string WhyNotRestored(const lab::VMDescription& vm) {
    const std::string out = dir_.Path("verify.txt");
    const int status = labrun::RunTool({"verify", lab_, "--job", std::to_string(job_), "--vm", vm.guid, "--image",
                                        testsupport::ImageArgument(copies_, vm.name)},
                                       out);
    const std::string text = labrun::ReadText(out);
    const size_t disks = testsupport::CopiesOf(copies_, vm.name).size();
    if (testsupport::CountOf(text, "matches the image") != disks)
      return "not every disk restores to its copy from before the job:\n" + text;
    if (status != 0) return "verify finds its backup wrong (its disks restore; exit " + std::to_string(status) + "):\n" + text;
    return std::string();
  }

  // After a run (`when` says which): every VM reported backed up restores to its disks before the
  // job, every other VM says why, no stream stays reserved.
  void CheckPromise(const std::string& when) {
    for (const char* vm : kVMs) {
      const lab::VMDescription description = Description(vm);
      Info record;
      if (!vsJobMgr::ReadVMStatus(job_, description.guid, record)) {
        // Its status could not be recorded: the job's outcome names it, and why.
        EXPECT_EQ(0, Tool({"outcome", lab_, "--job", std::to_string(job_)}));
        EXPECT_TRUE(labrun::Has(Output(), "VMs of the job the job manager holds no record of:\n") &&
                    labrun::Has(Output(), "\n  " + description.name + " [" + description.guid + "]: "))
            << when << ": " << vm << " has no status, and the outcome does not say why: " << Output();
        continue;
      }
      const int64_t status = record.getint64(Info::F_vmStatus);
      if (status == kStatusBackedUp || status == kStatusBackedUpWithErrors) {
        const std::string why = WhyNotRestored(description);
        EXPECT_TRUE(why.empty()) << when << ": " << vm << " is reported backed up, but " << why;
      } else {
        EXPECT_NE("", promise::VMReason(job_, description)) << when << ": " << vm << " does not say why it is "
                                                            << vsJobMgr::convertVMClientBkupStatusToString(
                                                                   static_cast<int>(status));
      }
    }
    EXPECT_EQ("", promise::StreamsLeftReserved(job_)) << when;
  }

  // After the stub phase: vm01 is a stub whose every disk comes back, from a restore, as it was before
  // the job (or, where the fault left the index short, vm01 is whole and says why); the running vm02
  // is left whole.
  void CheckStubPhase() {
    const lab::VMDescription idle = Description(kIdleVM);
    if (Fault().leavesNoStub) {
      EXPECT_TRUE(promise::GoneDisks(idle).empty() && !promise::IsStub(idle)) << kIdleVM << " was stubbed";
      EXPECT_TRUE(labrun::Has(promise::VMReason(job_, idle), "not stubbed")) << promise::VMReason(job_, idle);
    } else {
      EXPECT_TRUE(promise::IsStub(idle)) << kIdleVM << ", backed up by the resume, is not stubbed: "
                                         << promise::VMReason(job_, idle);
    }
    EXPECT_FALSE(promise::IsStub(Description("vm02"))) << "a running VM was stubbed";
    EXPECT_EQ("", promise::StreamsLeftReserved(job_)) << "the stub phase";
    for (const char* vm : kVMs) {
      const lab::VMDescription description = Description(vm);
      const std::vector<size_t> gone = promise::GoneDisks(description);
      if (gone.empty()) continue;
      promise::Restore restore =
          promise::RestoreInCopy(lab_, dir_.Path(std::string("restore-") + vm), description, gone, out_);
      EXPECT_EQ(0, restore.status) << "vm " << vm << " restore: " << restore.output;
      for (size_t i : gone) {
        const std::string name = lab::LabDiskIndexName(i, description.disks[i].file);
        const std::string& restored = restore.disks[name];
        EXPECT_TRUE(!restored.empty() && restored == testsupport::ReadDisk(testsupport::CopyPath(copies_, vm, i)))
            << "disk " << name << " of " << vm << " does not come back as it was before the job";
      }
    }
  }

  testsupport::TestLab dir_;
  const std::string lab_ = dir_.Path("lab");
  const std::string out_ = dir_.Path("tool.txt");
  int64_t job_ = 1001;
  testsupport::DiskCopies copies_;  // of every disk as the job the fault meets finds it
};

TEST_P(ResumePromise, EveryVMReportedBackedUpRestoresAndEveryDiskAStubDeletedComesBack) {
  std::vector<std::string> add = {"fault", lab_, "add"};
  const std::vector<std::string> rule = Rule();
  add.insert(add.end(), rule.begin(), rule.end());
  ASSERT_EQ(0, Tool(add)) << Output();
  const int faulted = RunJob({});
  EXPECT_TRUE(faulted == 0 || faulted == 1 || faulted == 2) << Output();
  lab::FaultTable table;
  std::string error;
  ASSERT_TRUE(lab::ReadFaultTable(table, error)) << error;
  ASSERT_EQ(1u, table.rules.size());
  ASSERT_GT(table.rules[0].fired, 0) << "the fault never fired: the case tries nothing\n" << Output();
  if (Fault().warning != nullptr) {
    ASSERT_TRUE(labrun::Has(labrun::ReadText(lab::ClientLogPath("coordinator", "quarn")), Fault().warning))
        << "the fault missed the record it aims at\n" << Output();
    Info record;
    EXPECT_TRUE(vsJobMgr::ReadVMStatus(job_, Description(kIdleVM).guid, record) &&
                (record.getint64(Info::F_vmStatus) == kStatusBackedUp ||
                 record.getint64(Info::F_vmStatus) == kStatusBackedUpWithErrors))
        << "a refused index metadata record fails " << kIdleVM << ": " << promise::VMReason(job_, Description(kIdleVM));
  }
  CheckPromise("the run with the fault");

  ASSERT_EQ(0, Tool({"fault", lab_, "clear"})) << Output();
  EXPECT_EQ(0, RunJob({})) << "the resume without the fault does not complete: " << Output();
  for (const char* vm : kVMs) {
    Info record;
    EXPECT_TRUE(vsJobMgr::ReadVMStatus(job_, Description(vm).guid, record) &&
                record.getint64(Info::F_vmStatus) == kStatusBackedUp)
        << "the resume does not back " << vm << " up";
  }
  CheckPromise("the resume");
  if (!Archiving()) return;

  const int stubPhase = RunJob({"-stubPhase"});
  EXPECT_TRUE(stubPhase == 0 || stubPhase == 1 || stubPhase == 2) << Output();
  CheckStubPhase();
}

std::string CaseName(const testing::TestParamInfo<std::tuple<DataPathFault, Level, JobKind>>& info) {
  return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name + "_" +
         std::get<2>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(
    EachFault, ResumePromise,
    testing::Combine(testing::ValuesIn(kFaults), testing::ValuesIn(kLevels), testing::ValuesIn(kKinds)),
    CaseName);

// A refused index metadata record with the first index too.
const DataPathFault kIndexMetadataFaults[] = {kConfigFileIndexMetadata, kDiskIndexMetadata};
INSTANTIATE_TEST_SUITE_P(
    IndexMetadataIndexV1, ResumePromise,
    testing::Combine(testing::ValuesIn(kIndexMetadataFaults), testing::ValuesIn(kLevels),
                     testing::ValuesIn(kKindsIndexV1)),
    CaseName);

}  // namespace
