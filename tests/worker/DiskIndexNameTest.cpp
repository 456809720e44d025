// How a disk is named to the index: the name it keeps from the last backup, and the in-image header
// of a disk the hypervisor keeps a reference point for.
#include <gtest/gtest.h>

#include "WorkerStageSupport.h"
#include "platform/lab/LabIndex.h"

namespace {

class DiskIndexNameTest : public stagetest::StreamStageTest {};

// A disk with a reference point that the index knows from the last backup goes to the index as an
// in-image header instead of its data; the header carries the collect record's text 64, which the
// index needs to place it, not the subclient's GUID.
TEST_F(DiskIndexNameTest, AReferencePointDiskSendsItsInImageHeaderWithTheCollectText) {
  vm.collect.setstring(VirtualServer::VMCollect::F_text64, "text-64");
  vm.collect.setstring(VirtualServer::VMCollect::F_subclientGuid, "subclient-guid");
  args.mBackupLevel = 2;
  ASSERT_EQ(0, worker.MountVM());
  ASSERT_EQ(0, worker.PreBackupVM(args));
  worker.m_config->resetGetNextBkpObj();
  worker.m_config->getNextBkpObj(&args);
  while (!args.mBackupPath.empty() && args.mObjectKind != 1) worker.m_config->getNextBkpObj(&args);
  ASSERT_FALSE(args.mBackupPath.empty()) << "the VM has a disk";
  args.mArchive = stream.get();
  args.mConfig = worker.m_config;
  args.mDiskRefPoint = true;
  IdxMetadata::IdxMetaData previous;
  previous.getObject<IdxMetadata::VirtualServerIdxMetaData>(IdxMetadata::IdxMetaData::F_virtualServer, true)
      ->setint64(IdxMetadata::VirtualServerIdxMetaData::F_extentSize, 2048);
  worker.m_prevIdxMetadata[args.mBackupPath] = previous;
  EXPECT_EQ(0, worker.BackupVMDisk(&args));
  std::vector<std::string> header;
  for (const auto& entry : lab::ReadIndexJobEntries(job.appMgr.getSubclientGUID(), ctltest::kJobId))
    if (!entry.empty() && entry[0] == "inImage") header = entry;
  EXPECT_EQ((std::vector<std::string>{"inImage", "\\" + std::string(stagetest::kGuid) + "\\" + args.mBackupPath, "0",
                                      "1", "1", "text-64"}),
            header);
}

// The name a disk is indexed under: the one the index knows it by from the last backup (the current
// or the older form), or the older form when the setting asks for it; a full backup does not look.
TEST_F(DiskIndexNameTest, ADiskKeepsTheIndexNameTheLastBackupGaveIt) {
  struct Case {
    const char* what;
    uint32_t level;
    std::vector<std::string> known;  // names in the last backup's index metadata
    const char* useOld;
    const char* expected;
  } cases[] = {
      {"known by its name", 2, {"scsi0-0-d.img", "d.img"}, "0", "scsi0-0-d.img"},
      {"known by its older name", 2, {"d.img"}, "0", "d.img"},
      {"unknown", 2, {}, "0", "scsi0-0-d.img"},
      {"unknown, older names asked for", 2, {}, "1", "d.img"},
      {"a full backup, known by its older name", 1, {"d.img"}, "0", "scsi0-0-d.img"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    job.SetSetting("nUseOldIndexNames", c.useOld);
    args.mBackupLevel = c.level;
    ASSERT_EQ(0, worker.MountVM());
    worker.m_prevIdxMetadata.clear();
    for (const std::string& name : c.known) worker.m_prevIdxMetadata[name] = IdxMetadata::IdxMetaData();
    quarnBackupArgs disk;
    disk.mBackupPath = "scsi0-0-d.img";
    disk.mDiskId = "d.img";
    EXPECT_EQ(c.expected, worker.GetDiskIndexNameInUse(&disk));
    ASSERT_EQ(0, worker.UnmountVM());
  }
}

}  // namespace
