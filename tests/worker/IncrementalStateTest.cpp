// The state a VM's disks carry from job to job, through the real road, layout, state-file classes,
// index cache and job history: jobs full, incremental, incremental (which fails), incremental,
// incremental, full, incremental of one VM with two disks. For each job: the names read, moved aside
// and written, the files queued for upload, the change-id files byte for byte, and which earlier
// job's checksum table was read back. The disk stage (the data path's part) is the test's own: it
// reads each disk image in 1 MiB extents, as the per-disk backup does with these classes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "disklayout/QuarnCRCFile.h"
#include "disklayout/QuarnChangeIdFile.h"
#include "platform/index/TVMCRCTable.h"
#include "platform/lab/LabIndex.h"
#include "platform/os/CPxDirectory.h"
#include "platform/os/CPxCRC32.h"
#include "platform/os/CPxPath.h"
#include "support/RoadTestSupport.h"

namespace {

using roadtest::Job;
using Names = std::vector<std::string>;

constexpr uint64_t kExtentBytes = 1024 * 1024;
const std::string kDisk0 = "scsi0-0-vm01_0.img";
const std::string kDisk1 = "scsi0-1-vm01_1.img";

// What the disk stage saw of one disk in one job.
struct DiskSeen {
  Names idInputs, idOutputs, crcInputs, crcOutputs;
  std::string previousId;
  std::string previousTable;  // the bytes of the ".dat" this job read back; empty: none
  std::vector<uint64_t> changed;  // extents whose checksum is not the previous table's
};

Names BaseNames(const std::vector<std::string>& paths) {
  Names names;
  for (const std::string& path : paths) names.push_back(CPxPath::GetFileName(path));
  return names;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The per-disk part of a backup: change id and checksum table in, every extent read, both out.
int DiskStage(Job& job, quarnBackupArgs& args, bool forceFull, DiskSeen& seen) {
  QuarnWorker& worker = *job.worker;
  const bool full = worker.IsFullBackupForVM() || forceFull;
  QuarnChangeIdFile ids(&worker);
  QuarnCRCFile crcs(&worker);
  if (full) {
    ids.ForceFullBackup();
    crcs.ForceFullBackup();
  }
  if (!full && !ids.ReadChangeID(args.mVMGuid, args.mBackupPath, seen.previousId)) return 1;
  seen.idInputs = BaseNames(ids.InputList());
  TVMCRCTable* previous = nullptr;
  TVMCRCTable* current = nullptr;
  if (!crcs.InitCRCTables(args.mVMGuidForFiles, args.mBackupPath, args.mDiskType, previous, current)) return 1;
  seen.crcInputs = BaseNames(crcs.InputList());
  seen.crcOutputs = BaseNames(crcs.OutputList());
  if (previous != nullptr) seen.previousTable = ReadBytes(crcs.InputList().front());

  const std::string image = testsupport::ReadDisk(args.mDiskPath);
  for (uint64_t extent = 0; extent * kExtentBytes < image.size(); ++extent) {
    CPxCRC32 crc;
    crc.UpdateCRC32(image.data() + extent * kExtentBytes, std::min<uint64_t>(kExtentBytes, image.size() - extent * kExtentBytes));
    TVMCRCRecord before;
    if (previous == nullptr || previous->lookup(extent, before) != 1 || before.crc != crc.GetCRC32())
      seen.changed.push_back(extent);
    current->insert(MakeCRCRecord(extent, crc.GetCRC32()));
  }
  const std::string id = "cid-" + std::to_string(job.id) + "-" + args.mBackupPath.substr(6, 1);
  if (!ids.WriteChangeID(args.mVMGuid, args.mBackupPath, id, false)) return 1;
  seen.idOutputs = BaseNames(ids.OutputList());
  return crcs.CloseCRCTables(args.mVMGuid, args.mBackupPath, args.mDiskType, previous, current) ? 0 : 1;
}

class IncrementalStateTest : public ::testing::Test {
 protected:
  IncrementalStateTest() { roadtest::MakeLab(lab_); }
  ~IncrementalStateTest() override { QuarnRegistry::TEST_Unload(); }

  // One job of the VM to its end: its per-disk views and the names it queued for upload.
  // indexed: the index learns the VM's backup (it ended well), as the job's archive index would.
  std::map<std::string, DiskSeen> RunJob(int64_t id, int level, bool jobEndsWell, const std::string& forcedDisk = "",
                                         bool indexed = true) {
    Job job(id, level);
    std::map<std::string, DiskSeen> seen;
    job.worker->diskStage = [&](quarnBackupArgs& args) {
      return DiskStage(job, args, args.mBackupPath == forcedDisk, seen[args.mBackupPath]);
    };
    EXPECT_EQ(0, job.Run()) << "job " << id;
    queued_[id] = BaseNames(job.worker->committed);
    subclientGuid_ = job.appMgr.getSubclientGUID();
    // What the job's archive index leaves in the index: the VM's record, in every job that got so far.
    IdxMetadata::IdxMetaData record;
    record.getObject<IdxMetadata::IdxCommonMetaData>(IdxMetadata::IdxMetaData::F_common, true)
        ->setint64(IdxMetadata::IdxCommonMetaData::F_isVM, 1);
    std::string xml, error;
    record.serialize(xml, true);
    if (indexed) {
      EXPECT_TRUE(lab::AppendIndexVMEntry(subclientGuid_, roadtest::kVMGuid, id, {"level", std::to_string(level)}, error))
          << error;
      EXPECT_TRUE(lab::AppendIndexVMEntry(subclientGuid_, roadtest::kVMGuid, id, {"meta", "vm", xml}, error)) << error;
    }
    EXPECT_TRUE(jobEndsWell ? job.jobMgr.phaseSuccessful(false) : job.jobMgr.phaseFailed(true, false));
    return seen;
  }
  // A file the job uploaded for the VM, as the index cache keeps it.
  std::string Uploaded(int64_t id, const std::string& name) {
    std::string error;
    return ReadBytes(lab::IndexVMJobDir(subclientGuid_, roadtest::kVMGuid, id, error) + "/" + name);
  }
  // Changes a byte of the first disk's second extent.
  void ChangeDisk0(char value) {
    lab::VMDescription vm;
    ASSERT_TRUE(lab::FindVM(lab::SampleServer(), roadtest::kVM, vm));
    std::fstream image(lab::DiskImagePath(lab::SampleServer(), vm.disks[0].file), std::ios::in | std::ios::out | std::ios::binary);
    image.seekp(kExtentBytes + 100);
    image.put(value);
  }

  testsupport::TestLab lab_{"coordinator"};
  std::map<int64_t, Names> queued_;
  std::string subclientGuid_;
};

Names IdNames(const std::string& disk, const char* kind, const char* temp = "") {
  return {"vsidaCHGID_(" + std::string(roadtest::kVMGuid) + ")_(" + disk + kind + ")" + temp + ".ztf"};
}
Names CrcNames(const std::string& disk, const char* kind, const char* temp = "") {
  const std::string stem = "vsidaCRC_(" + std::string(roadtest::kVMGuid) + ")_(" + disk + kind + ")" + temp;
  return {stem + ".dat", stem + ".idx"};
}
Names Joined(std::initializer_list<Names> lists) {
  Names all;
  for (const Names& list : lists) all.insert(all.end(), list.begin(), list.end());
  return all;
}

TEST_F(IncrementalStateTest, FullIncrementalsAndAFullKeepEachCycleApartAndNeverReadAFailedJob) {
  // 1001, full: nothing is read; the full names are written and queued.
  auto job = RunJob(1001, 1, true);
  for (const std::string& disk : {kDisk0, kDisk1}) {
    SCOPED_TRACE("1001 " + disk);
    EXPECT_TRUE(job[disk].idInputs.empty());
    EXPECT_TRUE(job[disk].crcInputs.empty());
    EXPECT_EQ(IdNames(disk, "_ZTFULL"), job[disk].idOutputs);
    EXPECT_EQ(CrcNames(disk, "_ZTFULL"), job[disk].crcOutputs);
    EXPECT_EQ(4u, job[disk].changed.size()) << "every extent, the short last one of disk 1 too";
  }
  EXPECT_EQ(Joined({IdNames(kDisk0, "_ZTFULL"), CrcNames(kDisk0, "_ZTFULL"), IdNames(kDisk1, "_ZTFULL"),
                    CrcNames(kDisk1, "_ZTFULL")}),
            queued_[1001]);
  EXPECT_EQ("cid-1001-0", Uploaded(1001, IdNames(kDisk0, "_ZTFULL")[0])) << "the id's bytes, nothing else";

  // 1002, incremental: the full job's files are read from their "_TEMP" names; nothing changed.
  job = RunJob(1002, 2, true);
  for (const std::string& disk : {kDisk0, kDisk1}) {
    SCOPED_TRACE("1002 " + disk);
    EXPECT_EQ(Names{IdNames(disk, "_ZTFULL", "_TEMP")[0]}, job[disk].idInputs);
    EXPECT_EQ(CrcNames(disk, "_ZTFULL", "_TEMP"), job[disk].crcInputs);
    EXPECT_EQ(IdNames(disk, "_ZTINCR"), job[disk].idOutputs);
    EXPECT_EQ(CrcNames(disk, "_ZTINCR"), job[disk].crcOutputs);
    EXPECT_EQ("cid-1001-" + disk.substr(6, 1), job[disk].previousId);
    EXPECT_EQ(Uploaded(1001, CrcNames(disk, "_ZTFULL")[0]), job[disk].previousTable);
    EXPECT_TRUE(job[disk].changed.empty());
  }
  EXPECT_EQ(6u, queued_[1002].size());

  // 1003, incremental after a change, uploads its state but the job ends failed.
  ChangeDisk0('A');
  job = RunJob(1003, 2, false);
  EXPECT_EQ(std::vector<uint64_t>{1}, job[kDisk0].changed);
  EXPECT_EQ("cid-1002-0", job[kDisk0].previousId);

  // 1004, incremental: reads 1002's state, not the failed job's, so the change is still seen. Disk 1
  // is backed up in full (as for a disk the index lacks): it writes the full names and publishes the
  // table under the incremental names too.
  job = RunJob(1004, 2, true, kDisk1);
  EXPECT_EQ("cid-1002-0", job[kDisk0].previousId);
  EXPECT_EQ(Uploaded(1002, CrcNames(kDisk0, "_ZTINCR")[0]), job[kDisk0].previousTable);
  EXPECT_EQ(std::vector<uint64_t>{1}, job[kDisk0].changed) << "the failed job's table would hide this change";
  EXPECT_TRUE(job[kDisk1].crcInputs.empty());
  EXPECT_EQ(CrcNames(kDisk1, "_ZTFULL"), job[kDisk1].crcOutputs);
  EXPECT_EQ(Joined({IdNames(kDisk0, "_ZTINCR"), CrcNames(kDisk0, "_ZTINCR"), IdNames(kDisk1, "_ZTFULL"),
                    CrcNames(kDisk1, "_ZTFULL"), CrcNames(kDisk1, "_ZTINCR")}),
            queued_[1004]);
  EXPECT_EQ(Uploaded(1004, CrcNames(kDisk1, "_ZTFULL")[0]), Uploaded(1004, CrcNames(kDisk1, "_ZTINCR")[0]));

  // 1005, incremental: disk 1's table is the one 1004 wrote, not 1002's; its change id is still
  // 1002's (a full disk leaves its id under the full name), which asks for more changes, not fewer.
  ChangeDisk0('B');
  job = RunJob(1005, 2, true);
  EXPECT_EQ(Uploaded(1004, CrcNames(kDisk1, "_ZTINCR")[0]), job[kDisk1].previousTable);
  EXPECT_EQ("cid-1002-1", job[kDisk1].previousId);
  EXPECT_EQ("cid-1004-0", job[kDisk0].previousId);
  EXPECT_EQ(std::vector<uint64_t>{1}, job[kDisk0].changed);

  // 1006, full; 1007, incremental: reads the new full's files only, never an older cycle's.
  job = RunJob(1006, 1, true);
  EXPECT_TRUE(job[kDisk0].crcInputs.empty());
  job = RunJob(1007, 2, true);
  for (const std::string& disk : {kDisk0, kDisk1}) {
    SCOPED_TRACE("1007 " + disk);
    EXPECT_EQ(CrcNames(disk, "_ZTFULL", "_TEMP"), job[disk].crcInputs) << "no incremental of this cycle yet";
    EXPECT_EQ(Uploaded(1006, CrcNames(disk, "_ZTFULL")[0]), job[disk].previousTable);
    EXPECT_EQ("cid-1006-" + disk.substr(6, 1), job[disk].previousId);
    EXPECT_TRUE(job[disk].changed.empty());
  }
  // Nothing of a job is left on the proxy once its files are uploaded.
  std::vector<std::string> left;
  CPxDirectory::List(Job(1008, 1).worker->GetSubclientDirectory(), left);
  for (const std::string& name : left) EXPECT_EQ(std::string::npos, name.find("vsida")) << name;
}

// Whether an incremental builds on the state of a full job that ended without success (pending for
// another VM's sake) is the VM's own matter: its own full backup ended well, or nothing of it is read.
TEST_F(IncrementalStateTest, AnIncrementalBuildsOnTheVMsOwnFullWhateverTheJobsOutcome) {
  struct Case {
    const char* what;
    bool vmBackedUp;  // the VM's own full backup ended well (the index learnt it)
  } cases[] = {{"the job ended pending, the VM was backed up", true}, {"the VM's own backup did not end well", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TestLab lab("coordinator");
    roadtest::MakeLab(lab);
    RunJob(1001, 1, false, "", c.vmBackedUp);
    ChangeDisk0('C');
    auto job = RunJob(1002, 2, true);
    for (const std::string& disk : {kDisk0, kDisk1}) {
      SCOPED_TRACE(disk);
      if (c.vmBackedUp) {
        EXPECT_EQ(CrcNames(disk, "_ZTFULL", "_TEMP"), job[disk].crcInputs);
        EXPECT_EQ("cid-1001-" + disk.substr(6, 1), job[disk].previousId);
        EXPECT_EQ(disk == kDisk0 ? std::vector<uint64_t>{1} : std::vector<uint64_t>{}, job[disk].changed)
            << "only the changed extent";
      } else {
        EXPECT_TRUE(job[disk].idInputs.empty());
        EXPECT_TRUE(job[disk].crcInputs.empty());
        EXPECT_EQ("", job[disk].previousId);
        EXPECT_EQ(4u, job[disk].changed.size()) << "read whole";
      }
    }
    if (c.vmBackedUp) {
      EXPECT_EQ(std::string::npos, lab.Log().find("No successful full backup is known"));
    }
  }
}

}  // namespace
