// A disk the hypervisor keeps a reference point for, and the index knows from the last backup, goes
// to the index as an in-image header instead of its data; the header carries the collect record's
// text 64, which the index needs to place it, not the subclient's GUID.
#include <gtest/gtest.h>

#include "WorkerStageSupport.h"
#include "platform/lab/LabIndex.h"

namespace {

class InImageDiskTest : public stagetest::StreamStageTest {};

TEST_F(InImageDiskTest, AReferencePointDiskSendsItsInImageHeaderWithTheCollectText) {
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

}  // namespace
