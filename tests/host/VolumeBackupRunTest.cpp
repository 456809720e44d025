// Whole jobs of a volume-level subclient through the lab tool: two VMs are backed up volume by
// volume, each volume is queued for metadata collection, the index knows them by their volumes'
// names, `verify` passes and every volume restores byte for byte against a copy of it taken before
// the job; after a write to one volume an incremental, by change ids or by checksums, sends only the
// extent that changed. A volume that cannot be opened, a read that fails part-way or volumes that cannot
// be listed fail their VM with its reason (in its status, its event or its result line), the other VM
// restores, and the next run backs the failed VM up whole. A backup type neither disk nor volume
// leaves the job pending, naming the setting.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/archive/ArchiveReader.h"
#include "platform/jobmgr/vsJobMgr.h"
#include "platform/lab/Lab.h"
#include "platform/lab/LabAgent.h"
#include "platform/lab/LabArchiving.h"
#include "platform/lab/LabCreate.h"
#include "platform/lab/LabFaults.h"
#include "platform/lab/LabHypervisor.h"
#include "platform/lab/LabIndex.h"
#include "platform/lab/LabJob.h"
#include "platform/lab/LabJobRun.h"
#include "platform/lab/LabMedia.h"
#include "platform/lab/LabMount.h"
#include "platform/lab/LabSubclient.h"
#include "records/messages/JobManagerMessages.h"
#include "support/ArchiveTestSupport.h"
#include "support/LabRunSupport.h"
#include "support/TestLab.h"

namespace {

using Info = JobManager::VMUpdateInfo;
using testsupport::DiskCopies;
using testsupport::LabRootScope;

const char kVM1[] = "50290000-0000-4000-8000-000000000001";
const char kVM2[] = "50290000-0000-4000-8000-000000000002";
constexpr uint64_t kHeaderBytes = 64 * 1024;  // the volume header each volume's backup reads first
constexpr uint64_t kExtentBytes = 1 << 20;

class VolumeBackupRun : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Tool({"create", labDir, "--vms", "2", "--disks", "2", "--clients", "coordinator", "--time-scale", "60"}));
    LabRootScope in(labDir);
    std::string error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "backupType", "volume", error)) << error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "collectFileDetails", "1", error)) << error;
  }

  int Tool(const std::vector<std::string>& args) { return labrun::RunTool(args, out); }
  std::string Output() const { return labrun::ReadText(out); }

  // REQUIRES: the lab's scope. Copies of each volume of the lab's VMs as its disk image is now, by the
  // name its backup keeps it under, into the test's folder `tag`.
  DiskCopies VolumesNow(const std::string& tag) const {
    return testsupport::CopyDisks({kVM1, kVM2}, dir.Path(tag), testsupport::BackupNaming::kVolumes);
  }

  // REQUIRES: the lab's scope. The job manager's status of the VM and its failure text.
  static std::pair<int64_t, std::string> Status(int64_t jobId, const std::string& guid) {
    Info record;
    EXPECT_TRUE(vsJobMgr::ReadVMStatus(jobId, guid, record)) << guid;
    return {record.getint64(Info::F_vmStatus), record.getstring(Info::F_failureText)};
  }

  // REQUIRES: the lab's scope. What the job's last backup of each of the VM's volumes read, by the
  // volume's display name.
  static std::map<std::string, uint64_t> BytesRead(int64_t jobId, const std::string& vmName) {
    std::map<std::string, uint64_t> read;
    for (const lab::PerfCounterLine& line : lab::ReadPerfCounters(jobId))
      if (line.vm == vmName && line.counter == "readdisk") read[line.item] = line.bytes;
    return read;
  }

  // REQUIRES: the lab's scope. The lines of the coordinator's log that the job logged and that hold
  // the text ("<pid> <thread> <date> <time> <job> <function>: <text>").
  static std::vector<std::string> JobLogLines(int64_t jobId, const std::string& text) {
    std::istringstream log(labrun::ReadText(lab::ClientLogPath("coordinator", "quarn")));
    std::vector<std::string> found;
    for (std::string line; std::getline(log, line);) {
      std::istringstream fields(line);
      std::string field, job;
      for (int i = 0; i < 4 && fields >> field; ++i) {
      }
      if (fields >> job && job == std::to_string(jobId) && labrun::Has(line, text)) found.push_back(line);
    }
    return found;
  }

  // REQUIRES: the lab's scope. Why the job did not queue every volume of the lab's VMs for metadata
  // collection once (each is added, then collected by its volume's backup name and guest name);
  // empty when it did.
  static std::string WhyNotQueuedForMetadata(int64_t jobId) {
    std::string why;
    const size_t added = JobLogLines(jobId, "Volume added for Metadata collection processing...").size();
    if (added != 4) why += " " + std::to_string(added) + " volumes added, not 4;";
    for (const std::string& line : JobLogLines(jobId, "Failed to add volume for metadata collection processing"))
      why += " " + line + ";";
    for (const char* guid : {kVM1, kVM2}) {
      for (size_t i = 0; i < 2; ++i) {
        const std::string collected = "Starting metadata collection on [" + lab::LabVolumeBackupName(guid, i) + "], [" +
                                      lab::LabVolumeName(guid, i) + "]";
        if (JobLogLines(jobId, collected).size() != 1) why += " not once: " + collected + ";";
      }
    }
    return why;
  }

  // REQUIRES: the lab's scope. The backup level of the VM's archives of the job's latest attempt at it.
  static uint32_t LevelOfVM(int64_t jobId, const std::string& guid) {
    uint32_t level = 0;
    for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(jobId, guid)) {
      archive::ArchiveContents begin;
      archive::Problem problem;
      if (archive::ReadArchiveBegin(location.path, begin, problem)) level = begin.backupLevel;
    }
    return level;
  }

  // REQUIRES: the lab's scope. The extents with data that the job's archives of the VM carry, by
  // volume backup name.
  static std::map<std::string, size_t> ExtentsSent(int64_t jobId, const std::string& guid) {
    std::map<std::string, size_t> sent;
    for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(jobId, guid)) {
      archive::ArchiveContents contents;
      archive::Problem problem;
      EXPECT_TRUE(archive::ReadArchive(location.path, contents, problem)) << problem.Describe();
      for (const archive::Item& item : contents.items)
        if (item.kind == archive::ItemKind::kExtent && item.dataBytes > 0)
          ++sent[item.diskName.substr(item.diskName.rfind('\\') + 1)];
    }
    return sent;
  }

  testsupport::TestLab dir;
  const std::string labDir = dir.Path("lab");
  const std::string out = dir.Path("tool.txt");
};

// How the incremental finds what changed since the full: by the volumes' change ids, or, with change
// tracking off (useCBT=0), by the checksums of their extents. Either way it sends the written extent
// alone; what it reads of each volume beside its header differs.
struct ChangeTracking {
  const char* name;
  const char* useCBT;
  bool readsWhole;  // every volume is read whole for its checksums; else only the extent written is read
};
void PrintTo(const ChangeTracking& tracking, std::ostream* os) { *os << tracking.name; }

class VolumeIncrementalRun : public VolumeBackupRun, public testing::WithParamInterface<ChangeTracking> {};

TEST_P(VolumeIncrementalRun, TwoVMsBackUpVolumeByVolumeRestoreAndAnIncrementalSendsOnlyWhatChanged) {
  const ChangeTracking& tracking = GetParam();
  DiskCopies before;
  {
    LabRootScope in(labDir);
    std::string error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "useCBT", tracking.useCBT, error)) << error;
    before = VolumesNow("before");
  }
  ASSERT_EQ(4u, before.size());
  ASSERT_EQ(0, Tool({"run", labDir, "--", "-numStreams", "2"})) << Output();
  {
    LabRootScope in(labDir);
    for (const char* guid : {kVM1, kVM2}) {
      EXPECT_EQ(std::make_pair(int64_t{0}, std::string()), Status(1001, guid));
      EXPECT_EQ("", archivetest::WhyNotRestoredTo(guid, 1001, before)) << guid;
      // The index knows the VM's volumes by the names they were backed up under.
      lab::SubclientRecord subclient;
      std::string error;
      ASSERT_EQ(lab::RecordRead::kRead, lab::ReadSubclientRecord("1", subclient, error)) << error;
      std::vector<std::vector<std::string>> entries;
      ASSERT_TRUE(lab::ReadIndexVMEntries(subclient.settings["subclientGUID"], guid, 1001, entries, error)) << error;
      std::vector<std::string> disks;
      for (const auto& entry : entries)
        if (entry.size() > 1 && entry[0] == "disk") disks.push_back(entry[1]);
      EXPECT_EQ((std::vector<std::string>{lab::LabVolumeBackupName(guid, 0), lab::LabVolumeBackupName(guid, 1)}), disks);
    }
    EXPECT_EQ("", WhyNotQueuedForMetadata(1001));
  }
  ASSERT_EQ(0, Tool({"verify", labDir})) << Output();
  EXPECT_TRUE(labrun::Has(Output(), "2 VMs: 0 problems")) << Output();

  // A guest write to one volume, named as the backup names it; the incremental reads that extent alone.
  DiskCopies changed;
  {
    LabRootScope in(labDir);
    ASSERT_EQ(0, Tool({"disk", labDir, "vm02", lab::LabVolumeBackupName(kVM2, 0), "write", "--offset",
                       std::to_string(kExtentBytes + 512), "--bytes", "4096"}))
        << Output();
    changed = VolumesNow("changed");
  }
  ASSERT_EQ(0, Tool({"run", labDir, "--", "-t", "2", "-numStreams", "2"})) << Output();
  {
    LabRootScope in(labDir);
    for (const char* guid : {kVM1, kVM2}) {
      EXPECT_EQ(std::make_pair(int64_t{0}, std::string()), Status(1002, guid));
      EXPECT_EQ(2u, LevelOfVM(1002, guid)) << guid;
      EXPECT_EQ("", archivetest::WhyNotRestoredTo(guid, 1002, changed)) << guid;
    }
    // Each volume reads its header, then what the row says of it.
    const auto read = [&](const char* guid, size_t position, uint64_t written) {
      const std::string copy = testsupport::CopyPath(changed, guid, position);
      return kHeaderBytes + (tracking.readsWhole ? std::filesystem::file_size(copy) : written);
    };
    EXPECT_EQ((std::map<std::string, uint64_t>{{"C:", read(kVM1, 0, 0)}, {"D:", read(kVM1, 1, 0)}}),
              BytesRead(1002, "vm01"))
        << "no volume of vm01 changed";
    EXPECT_EQ((std::map<std::string, uint64_t>{{"C:", read(kVM2, 0, kExtentBytes)}, {"D:", read(kVM2, 1, 0)}}),
              BytesRead(1002, "vm02"))
        << "vm02's first volume was written";
    for (const char* guid : {kVM1, kVM2}) {
      std::map<std::string, size_t> sent;
      if (guid == std::string(kVM2)) sent[lab::LabVolumeBackupName(kVM2, 0)] = 1;
      EXPECT_EQ(sent, ExtentsSent(1002, guid)) << "only the extent written is sent";
    }
    EXPECT_EQ("", WhyNotQueuedForMetadata(1002));
  }
  ASSERT_EQ(0, Tool({"verify", labDir, "--job", "1002"})) << Output();
  EXPECT_TRUE(labrun::Has(Output(), "2 VMs: 0 problems")) << Output();
}

const ChangeTracking kChangeTracking[] = {
    {"ByChangeIds", "1", false},
    {"ByChecksums", "0", true},
};
INSTANTIATE_TEST_SUITE_P(VolumeRoad, VolumeIncrementalRun, testing::ValuesIn(kChangeTracking),
                         [](const testing::TestParamInfo<ChangeTracking>& info) { return std::string(info.param.name); });

// One data byte of vm01's middle backup changed on the media, disk by disk or volume by volume, by
// change ids or by checksums. The index checks a chain by its structure alone, so nothing sees the byte
// until a whole read: verify finds it, names it and keeps it beside the archive, and the next job
// builds nothing on that chain: vm01's backup there is a full one, and restores byte for byte. Once the
// archive is mended, the next whole read takes back what was kept. A folder in the place of what was
// kept, which no reader can read, still says the archive is damaged.
struct DamagedChain {
  const char* name;
  const char* backupType;
  const char* useCBT;
  bool recordAFolder = false;  // what verify kept is replaced by a folder before the next job
};
void PrintTo(const DamagedChain& row, std::ostream* os) { *os << row.name; }

class DamagedChainRun : public VolumeBackupRun, public testing::WithParamInterface<DamagedChain> {};

TEST_P(DamagedChainRun, AChainAWholeReadFoundDamagedIsBuiltOnNoMore) {
  const DamagedChain& row = GetParam();
  const testsupport::BackupNaming naming = std::string(row.backupType) == "volume"
                                               ? testsupport::BackupNaming::kVolumes
                                               : testsupport::BackupNaming::kDisks;
  {
    LabRootScope in(labDir);
    std::string error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "backupType", row.backupType, error)) << error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "useCBT", row.useCBT, error)) << error;
  }
  ASSERT_EQ(0, Tool({"run", labDir, "--", "-numStreams", "2"})) << Output();
  ASSERT_EQ(0, Tool({"disk", labDir, "vm01", "0", "write", "--offset", std::to_string(kExtentBytes + 512), "--bytes",
                     "4096"}))
      << Output();
  ASSERT_EQ(0, Tool({"run", labDir, "--", "-t", "2", "-numStreams", "2"})) << Output();
  std::string damaged;
  uint64_t at = 0;
  {
    LabRootScope in(labDir);
    // A byte in the middle of the data of an extent the middle backup sent.
    for (const lab::ArchiveLocation& location : lab::ListVMArchiveFiles(1002, kVM1)) {
      archive::ArchiveContents contents;
      archive::Problem problem;
      ASSERT_TRUE(archive::ReadArchive(location.path, contents, problem)) << problem.Describe();
      for (const archive::Item& item : contents.items)
        for (const archive::Piece& piece : item.pieces)
          if (damaged.empty() && item.kind == archive::ItemKind::kExtent && !piece.hole && piece.length > 0) {
            at = piece.fileOffset + piece.length / 2;
            archivetest::FlipByte(location.path, at);
            damaged = location.path;
          }
    }
    ASSERT_FALSE(damaged.empty()) << "the middle backup of vm01 sent no data";
  }
  EXPECT_EQ(1, Tool({"verify", labDir, "--vm", "vm01"})) << Output();
  EXPECT_TRUE(labrun::Has(Output(), "archive " + damaged + ": MALFORMED")) << Output();
  DiskCopies before;
  {
    LabRootScope in(labDir);
    std::string why;
    EXPECT_TRUE(lab::ArchiveDamageFound(damaged, why)) << "verify kept nothing of what it found";
    EXPECT_TRUE(labrun::Has(why, "check")) << why;
    if (row.recordAFolder) {
      const std::string record = damaged + ".damaged";
      ASSERT_EQ(0, unlink(record.c_str()));
      ASSERT_TRUE(lab::MakeDirs(record));
    }
    before = testsupport::CopyDisks({kVM1, kVM2}, dir.Path("before1003"), naming);
  }
  ASSERT_EQ(0, Tool({"run", labDir, "--", "-t", "2", "-numStreams", "2"})) << Output();
  {
    LabRootScope in(labDir);
    EXPECT_EQ(1u, LevelOfVM(1003, kVM1)) << "built on the chain verify found damaged";
    EXPECT_EQ(2u, LevelOfVM(1003, kVM2)) << "vm02's chain is whole";
    for (const char* guid : {kVM1, kVM2}) EXPECT_EQ("", archivetest::WhyNotRestoredTo(guid, 1003, before)) << guid;
    // The archive mended (a copy put back on the media): the next whole read takes the record back.
    archivetest::FlipByte(damaged, at);
  }
  // A folder is no record a reader can take back.
  if (row.recordAFolder) return;
  EXPECT_EQ(0, Tool({"verify", labDir, "--vm", "vm01"})) << Output();
  LabRootScope in(labDir);
  std::string why;
  EXPECT_FALSE(lab::ArchiveDamageFound(damaged, why)) << why;
}

const DamagedChain kDamagedChains[] = {
    {"DiskByChangeIds", "disk", "1"},
    {"DiskByChecksums", "disk", "0"},
    {"VolumeByChangeIds", "volume", "1"},
    {"VolumeByChecksums", "volume", "0"},
    {"DiskRecordAFolder", "disk", "1", true},
};
INSTANTIATE_TEST_SUITE_P(VolumeRoad, DamagedChainRun, testing::ValuesIn(kDamagedChains),
                         [](const testing::TestParamInfo<DamagedChain>& info) { return std::string(info.param.name); });

// A road of jobs: vm01's last disk detached, the subclient turned to disks and back to volumes. Each
// job's VMs restore against copies taken before it, and verify passes: a disk the job's mount did not
// take (detached, or named as the other backup type names it), which an earlier backup restores with
// the chain, is no problem of the job. verify --image takes a volume by every name of its disk and by
// the volume's name, and compares it with that image; an image no disk is compared with is a problem.
TEST_F(VolumeBackupRun, VerifyNamesAVolumeEveryWayAndHoldsAJobOnlyToWhatItsMountTook) {
  const std::pair<std::string, bool> road[] = {  // the backup type; whether vm01's last disk is detached first
      {"volume", false}, {"volume", true}, {"volume", false}, {"disk", false}, {"volume", false}, {"disk", false}};
  lab::VMDisk detached;
  int64_t jobId = 1000;
  for (const auto& [backupType, detach] : road) {
    SCOPED_TRACE("job " + std::to_string(++jobId) + ", " + backupType);
    DiskCopies copies;
    {
      LabRootScope in(labDir);
      std::string error;
      ASSERT_TRUE(lab::SetSubclientValue("1", "backupType", backupType, error)) << error;
      const auto takeOff = [&](lab::VMDescription& vm, std::string&) {
        detached = vm.disks.back();
        vm.disks.pop_back();
        return true;
      };
      if (detach) {
        ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), kVM1, takeOff, error)) << error;
      }
      copies = testsupport::CopyDisks({kVM1, kVM2}, dir.Path(std::to_string(jobId)),
                                      backupType == "volume" ? testsupport::BackupNaming::kVolumes
                                                             : testsupport::BackupNaming::kDisks);
    }
    ASSERT_EQ(0, jobId == 1001 ? Tool({"run", labDir}) : Tool({"run", labDir, "--", "-t", "2"})) << Output();
    {
      LabRootScope in(labDir);
      for (const char* guid : {kVM1, kVM2}) EXPECT_EQ("", archivetest::WhyNotRestoredTo(guid, jobId, copies)) << guid;
    }
    EXPECT_EQ(0, Tool({"verify", labDir, "--job", std::to_string(jobId)})) << Output();
    EXPECT_TRUE(labrun::Has(Output(), "2 VMs: 0 problems")) << Output();
    EXPECT_EQ(jobId > 1001, labrun::Has(Output(), ": not taken by the mount of job " + std::to_string(jobId)))
        << Output();
    if (jobId > 1001) continue;
    // vm02's first volume has the size of vm01's, not its bytes.
    const std::string right = testsupport::CopyPath(copies, kVM1, 0), wrong = testsupport::CopyPath(copies, kVM2, 0);
    const std::string volume = lab::LabVolumeName(kVM1, 0);
    for (const std::string& name : {std::string("0"), std::string("vm01_0.img"), std::string("scsi0-0-vm01_0.img"),
                                    lab::LabVolumeBackupName(kVM1, 0), volume, volume.substr(0, volume.size() - 1)}) {
      for (const std::string& image : {right, wrong}) {
        SCOPED_TRACE(name + "=" + image);
        const bool matches = image == right;
        EXPECT_EQ(matches ? 0 : 1, Tool({"verify", labDir, "--vm", "vm01", "--image", name + "=" + image}));
        EXPECT_TRUE(labrun::Has(Output(), (matches ? ": matches the image " : ": DIFFERS from the image ") + image))
            << Output();
      }
    }
    EXPECT_EQ(64, Tool({"verify", labDir, "--vm", "vm01", "--image", lab::LabVolumeName(kVM2, 0) + "=" + right}));
    EXPECT_TRUE(labrun::Has(Output(), "its volume's name")) << Output();
  }
  // The detached disk attached again after the last job, which holds nothing of it.
  {
    LabRootScope in(labDir);
    std::string error;
    const auto putBack = [&](lab::VMDescription& vm, std::string&) {
      vm.disks.push_back(detached);
      return true;
    };
    ASSERT_TRUE(lab::UpdateVMDescription(lab::SampleServer(), kVM1, putBack, error)) << error;
  }
  EXPECT_EQ(1, Tool({"verify", labDir, "--job", std::to_string(jobId), "--vm", "vm01", "--image", "1=/dev/null"}));
  EXPECT_TRUE(labrun::Has(Output(), "image 1=/dev/null: NOT COMPARED")) << Output();
}

// A backup type no agent can lay a VM out in (values are exact: "Volume" is none) leaves each job
// pending before any agent starts, with a pending cause and event that name the setting and its value
// as outcome shows them, and nothing of any VM backed up. With the type set right, the last job's
// resume backs both VMs up.
TEST_F(VolumeBackupRun, ABackupTypeNeitherDiskNorVolumeLeavesTheJobPendingNamingTheSetting) {
  int64_t jobId = 1000;
  for (const char* type : {"file", "Volume", "", "garbage"}) {
    SCOPED_TRACE(std::string("backupType=") + type);
    ++jobId;
    {
      LabRootScope in(labDir);
      std::string error;
      ASSERT_TRUE(lab::SetSubclientValue("1", "backupType", type, error)) << error;
    }
    if (jobId > 1001) {
      ASSERT_EQ(0, Tool({"create", labDir, "--job", std::to_string(jobId)})) << Output();
    }
    EXPECT_EQ(2, Tool({"run", labDir, "--job", std::to_string(jobId)})) << Output();
    const std::string named = std::string("0x5B0001E8 backupType|") + type;
    EXPECT_TRUE(labrun::Has(Output(), "pending causes:\n  " + named + "\nevents:\n  MAJOR " + named + "\n"))
        << Output();
    LabRootScope in(labDir);
    for (const char* guid : {kVM1, kVM2}) EXPECT_TRUE(lab::ListVMArchiveFiles(jobId, guid).empty()) << guid;
  }
  DiskCopies before;
  {
    LabRootScope in(labDir);
    std::string error;
    ASSERT_TRUE(lab::SetSubclientValue("1", "backupType", "volume", error)) << error;
    before = VolumesNow("before");
  }
  ASSERT_EQ(0, Tool({"run", labDir, "--job", std::to_string(jobId)})) << Output();
  LabRootScope in(labDir);
  for (const char* guid : {kVM1, kVM2}) EXPECT_EQ("", archivetest::WhyNotRestoredTo(guid, jobId, before)) << guid;
}

// A failure of the volume road in the VMs' first job. The run fails vm01 and says why (its status,
// and the event or result line of the failure); vm02 restores against the copies taken before it.
// Or the job process is killed in a read of vm01's volume: nothing of it says why, and the job goes
// pending. The next run (the job's resume when it went pending, else an incremental job) backs vm01
// up whole and both VMs restore against the copies taken before that run; by its end no hypervisor
// disk stream of the job is held and no clean-up registration stands, a killed process's neither.
struct VolumeFault {
  const char* name;
  const char* op;
  int disk;  // the volume of vm01 the rule names; -1 names none
  const char* after;
  const char* text;
  // "events": the job's events name the volume; "results": backup.out says why; "killed": the rule
  // holds the call, and the job process is killed while it is held
  const char* sideFile;
};
void PrintTo(const VolumeFault& fault, std::ostream* os) { *os << fault.name; }

class VolumeFaultRun : public VolumeBackupRun, public testing::WithParamInterface<VolumeFault> {
 protected:
  // Runs job 1001 and kills its job process once the rule of the fault table holds a call: the lab
  // tool's exit status.
  int RunKilledInTheHold() {
    const pid_t run = labrun::StartTool({"run", labDir, "--", "-numStreams", "1"}, out);
    LabRootScope in(labDir);
    const bool held = labrun::WaitForLab({labDir}, [] {
      lab::FaultTable table;
      std::string error;
      return lab::ReadFaultTable(table, error) && !table.rules.empty() && table.rules[0].fired > 0;
    });
    pid_t job = 0;
    for (const std::string& line : lab::ReadRunEvents(1001)) {
      const size_t at = line.find(" pid=");
      if (line.rfind("started ", 0) == 0 && at != std::string::npos) job = std::atoi(line.c_str() + at + 5);
    }
    EXPECT_TRUE(held && job > 0) << Output();
    if (held && job > 0) kill(job, SIGKILL);
    std::string error;
    lab::ClearFaultTable(error);
    return testsupport::WaitProgram(run);
  }
};

TEST_P(VolumeFaultRun, TheVMFailsWithItsReasonTheOtherRestoresAndTheNextRunTakesItWhole) {
  const VolumeFault& fault = GetParam();
  const bool killed = std::string(fault.sideFile) == "killed";
  DiskCopies before;
  {
    LabRootScope in(labDir);
    // A disk fault's code is the disk layer's error; a mount fault's the library's.
    std::vector<std::string> args = {"fault", labDir, "add", fault.op, "--code", fault.disk >= 0 ? "5" : "3001",
                                     "--vm", "vm01", "--after", fault.after, "--text", fault.text};
    if (killed) args = {"fault", labDir, "hold", fault.op, "--vm", "vm01", "--after", fault.after};
    if (fault.disk >= 0) args.insert(args.end(), {"--disk", lab::LabVolumeBackupName(kVM1, static_cast<size_t>(fault.disk))});
    ASSERT_EQ(0, Tool(args)) << Output();
    before = VolumesNow("before");
  }
  const int first = killed ? RunKilledInTheHold() : Tool({"run", labDir, "--", "-numStreams", "1"});
  EXPECT_NE(0, first) << Output();
  bool pending = false;
  if (killed) {
    pending = labrun::Has(Output(), "job 1001: pending");
    EXPECT_TRUE(pending) << Output();
  } else {
    LabRootScope in(labDir);
    const std::pair<int64_t, std::string> failed = Status(1001, kVM1);
    EXPECT_NE(0, failed.first);
    EXPECT_FALSE(failed.second.empty()) << "the VM says why";
    EXPECT_EQ(std::make_pair(int64_t{0}, std::string()), Status(1001, kVM2));
    EXPECT_EQ("", archivetest::WhyNotRestoredTo(kVM2, 1001, before));
    const std::string volume = fault.disk >= 0 ? lab::LabVolumeBackupName(kVM1, static_cast<size_t>(fault.disk)) : "";
    if (std::string(fault.sideFile) == "events") {
      bool named = false;
      for (const std::string& event : lab::ReadJobEvents(1001))
        named = named || (labrun::Has(event, volume) && labrun::Has(event, fault.text) && labrun::Has(event, "vm01"));
      EXPECT_TRUE(named) << "an event names the volume, the VM and the reason";
    } else {
      std::string results, error;
      lab::ReadRegularFile(lab::JobDir(1001) + "/backup.out", 1 << 20, results, error);
      EXPECT_TRUE(labrun::Has(results, fault.text)) << results;
    }
    pending = labrun::Has(Output(), "job 1001: pending");
    EXPECT_EQ(pending, first == 2) << Output();
    std::string error;
    ASSERT_TRUE(lab::ClearFaultTable(error)) << error;
  }
  DiskCopies next;
  {
    LabRootScope in(labDir);
    // A write between the runs: what the next run takes is the volume as it is then.
    ASSERT_EQ(0, Tool({"disk", labDir, "vm01", "0", "write", "--offset", "0", "--bytes", "4096"})) << Output();
    next = VolumesNow("next");
  }
  const int64_t nextJob = pending ? 1001 : 1002;
  ASSERT_EQ(0, pending ? Tool({"run", labDir}) : Tool({"run", labDir, "--", "-t", "2"})) << Output();
  {
    LabRootScope in(labDir);
    for (const int64_t job : std::set<int64_t>{1001, nextJob}) EXPECT_EQ(0, lab::DiskStreamsHeld(job)) << job;
    EXPECT_EQ(std::vector<std::string>(), lab::ReadCleanupRegistrations("coordinator"));
    for (const char* guid : {kVM1, kVM2}) EXPECT_EQ(std::make_pair(int64_t{0}, std::string()), Status(nextJob, guid));
    EXPECT_EQ(1u, LevelOfVM(nextJob, kVM1)) << "the VM without a backup is backed up whole";
    const std::map<std::string, uint64_t> read = BytesRead(nextJob, "vm01");
    ASSERT_EQ(2u, read.size());
    EXPECT_GT(read.at("C:"), kHeaderBytes + 3 * kExtentBytes) << "every extent of the volume is read";
    for (const char* guid : {kVM1, kVM2}) EXPECT_EQ("", archivetest::WhyNotRestoredTo(guid, nextJob, next)) << guid;
  }
  ASSERT_EQ(0, Tool({"verify", labDir})) << Output();
  EXPECT_TRUE(labrun::Has(Output(), "2 VMs: 0 problems")) << Output();
}

const VolumeFault kVolumeFaults[] = {
    {"AVolumeThatCannotBeOpened", "disk.Open", 1, "0", "the volume cannot be opened", "events"},
    {"AReadFailingPartWay", "disk.Read", 0, "2", "a read failed part-way", "events"},
    {"VolumesThatCannotBeListed", "vminfo.GetMountedVolumes", -1, "0", "the guest lists no volumes", "results"},
    {"AJobProcessKilledInARead", "disk.Read", 0, "2", "", "killed"},
};
INSTANTIATE_TEST_SUITE_P(VolumeRoad, VolumeFaultRun, testing::ValuesIn(kVolumeFaults),
                         [](const testing::TestParamInfo<VolumeFault>& info) { return std::string(info.param.name); });

}  // namespace
