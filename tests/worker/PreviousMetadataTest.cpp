// What an incremental VM rests on: conversion to full when the last backup was of another kind, and
// the test list of missing blocks.
#include <gtest/gtest.h>

#include "support/RoadTestSupport.h"

namespace {

using roadtest::Job;
using VSMeta = IdxMetadata::VirtualServerIdxMetaData;

class PreviousMetadataTest : public ::testing::Test {
 protected:
  PreviousMetadataTest() { roadtest::MakeLab(lab_, true); }
  ~PreviousMetadataTest() override { QuarnRegistry::TEST_Unload(); }
  testsupport::TestLab lab_{"coordinator"};
};

TEST_F(PreviousMetadataTest, ALastBackupOfAnotherKindMakesTheVMFull) {
  struct Case {
    bool snapBackup, snapToTape;
    int64_t lastOp;  // 0: not recorded
    bool full;
  } cases[] = {
      {false, false, 59, true}, {false, false, 60, true}, {false, false, 4, false},  // streaming after snapshot
      {true, false, 4, true},   {true, false, 59, false},                            // snapshot after streaming
      {false, true, 4, true},   {false, true, 60, false},                            // backup copy
      {false, false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lastOp) + (c.snapBackup ? " snap" : "") + (c.snapToTape ? " copy" : ""));
    Job job(1001, 2);
    job.jobMgr.setSnapBackup(c.snapBackup);
    job.jobMgr.setSnapToTape(c.snapToTape);
    IdxMetadata::IdxMetaData last;
    if (c.lastOp != 0)
      last.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, true)->setint64(VSMeta::F_opType, c.lastOp);
    bool full = false;
    job.worker->CheckAndConvertJobToFull("vm01", roadtest::kVMGuid, &last, full);
    EXPECT_EQ(c.full, full);
    full = true;
    job.worker->CheckAndConvertJobToFull("vm01", roadtest::kVMGuid, &last, full);
    EXPECT_TRUE(full) << "never set back";
  }
  std::string error;
  lab::SetSubclientValue("1", "indexingV2", "0", error);
  Job job(1002, 2);
  IdxMetadata::IdxMetaData last;
  last.getObject<VSMeta>(IdxMetadata::IdxMetaData::F_virtualServer, true)->setint64(VSMeta::F_opType, 59);
  bool full = false;
  job.worker->CheckAndConvertJobToFull("vm01", roadtest::kVMGuid, &last, full);
  EXPECT_FALSE(full) << "without indexing V2 nothing converts";
}

TEST_F(PreviousMetadataTest, MissingBlocksOfTheSettingAreLoadedForEachVM) {
  Job job(1001, 1);
  job.worker->TEST_SetCurrentVM(&job.vm);
  job.worker->FetchMissingBlocksForVM();
  EXPECT_TRUE(job.worker->MissingBlocks().empty());
  lab_.Setting("VirtualServer", "sInduceMissingBlocks", "disk1 = 10, 20 ,30; disk2=5;DISK1=9; bad; d3=1,x; =4");
  job.worker->FetchMissingBlocksForVM();
  const auto& blocks = job.worker->MissingBlocks();
  ASSERT_EQ(2u, blocks.size()) << "a later entry of a name replaces it (any case); malformed ones are left out";
  EXPECT_EQ((std::set<uint64_t>{9}), blocks.at("disk1"));
  EXPECT_EQ((std::set<uint64_t>{5}), blocks.at("disk2"));
  EXPECT_NE(std::string::npos, lab_.Log().find("Ignoring sInduceMissingBlocks entry [d3=1,x]"));
  lab_.Setting("VirtualServer", "sInduceMissingBlocks", "");
  job.worker->FetchMissingBlocksForVM();
  EXPECT_TRUE(job.worker->MissingBlocks().empty()) << "emptied for every VM";
  job.worker->TEST_SetCurrentVM(nullptr);
}

}  // namespace
