// A volume registered for a VM's metadata collection joins the volume layout's queue, when the job
// collects metadata and the hypervisor takes the VM's disks for it, with the worker's quit check
// installed for the collection.
#include <gtest/gtest.h>

#include <thread>

#include "WorkerStageSupport.h"
#include "support/LayoutTestSupport.h"

namespace {

// A volume layout that refuses every volume for its queue.
class RefusingVolumeConfig : public quarnVolumeConfig {
 public:
  int addVolumeForMetadataCollection(const std::string&, const std::string&, uint32_t) override {
    ++refused;
    return 7;
  }
  int refused = 0;
};

class VolumeMetadataQueue : public stagetest::StageTest {
 protected:
  VolumeMetadataQueue() {
    ctx.vmGuid = stagetest::kGuid;
    worker.TEST_SetMountCtx(&ctx);
    args.mMountCtx = &ctx;
    volumes.volumes = {layouttest::Volume("6a1d0000-0001", job.Lab().Path("volume-1.img"))};
    quarnConfig::SetQuitFlagCallback(nullptr, 0, nullptr);
  }
  ~VolumeMetadataQueue() override {
    worker.TEST_SetMountCtx(nullptr);  // the test's own
    quarnConfig::SetQuitFlagCallback(nullptr, 0, nullptr);
  }
  // Positions the block on the layout's first volume.
  void WalkToFirstVolume(quarnVolumeConfig& config, quarnBackupArgs& block) {
    ASSERT_EQ(0, config.getMountInfo(ctx, &volumes));
    config.resetGetNextBkpObj();
    config.getNextBkpObj(&block);
    ASSERT_EQ("6a1d0000-0001", block.mBackupPath);
    block.mConfig = &config;
  }

  MountCtx ctx;  // the VM as mounted
  layouttest::VolumesVMInfo volumes;
};

TEST_F(VolumeMetadataQueue, AVolumeIsQueuedOnlyWhenTheJobCollectsAndTheHypervisorTakesTheDisks) {
  const std::string added = "Volume added for Metadata collection processing...";
  const std::string failed = "Failed to add volume for metadata collection processing";
  struct Case {
    const char* name;
    bool collect;
    bool checkRefuses;   // the hypervisor's disk-for-metadata check answers 0
    bool layoutRefuses;
    const char* extentSetting;  // nExtentSize; empty: not set
    uint32_t queuedNumber;      // 0: nothing queued
    bool callbackInstalled;
    const char* logLine;        // empty: neither line
  } cases[] = {
      {"collected, default extent size", true, false, false, "", 2048, true, "added"},
      {"collected, extent size set", true, false, false, "4096", 4096, true, "added"},
      {"the layout refuses the volume", true, false, true, "", 0, true, "failed"},
      {"the job collects no metadata", false, false, false, "", 0, false, ""},
      {"the hypervisor's check answers 0", true, true, false, "", 0, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    job.jobMgr.setMetatdataCollectionOption(c.collect ? 1 : 0);
    job.SetSetting("nExtentSize", c.extentSetting);
    if (c.checkRefuses) {
      ASSERT_TRUE(job.Lab().Fault("vminfo.AddDiskForMetadata", 1));
    }
    quarnConfig::SetQuitFlagCallback(nullptr, 0, nullptr);
    const size_t addedBefore = job.LogCount(added), failedBefore = job.LogCount(failed);
    quarnVolumeConfig accepting;
    RefusingVolumeConfig refusing;
    quarnVolumeConfig& config = c.layoutRefuses ? refusing : accepting;
    quarnBackupArgs block = args;
    WalkToFirstVolume(config, block);

    EXPECT_EQ(0, worker.AddDiskForMetadataCollection(&block, 0));

    if (c.queuedNumber != 0) {
      ASSERT_EQ(1u, config.GetMetadataVolumes().size());
      const volMetadataInfo& queued = config.GetMetadataVolumes().front();
      EXPECT_EQ(job.Lab().Path("volume-1.img") + "/", queued.mVolumeName) << "the volume's name as mounted";
      EXPECT_EQ("6a1d0000-0001", queued.mVolumeGuid);
      EXPECT_EQ(c.queuedNumber, queued.mVolumeNumber) << "the metadata extent size";
    } else {
      EXPECT_TRUE(config.GetMetadataVolumes().empty());
    }
    EXPECT_EQ(c.layoutRefuses ? 1 : 0, refusing.refused);
    quarnConfig::QuitFlagCallback callback = nullptr;
    int firstArg = 0;
    void* secondArg = nullptr;
    quarnConfig::GetQuitFlagCallback(callback, firstArg, secondArg);
    if (c.callbackInstalled) {
      EXPECT_EQ(&QuarnWorker::CallbackStatic, callback);
      EXPECT_EQ(1, firstArg);
      EXPECT_EQ(static_cast<void*>(static_cast<QuarnWorker*>(&worker)), secondArg);
    } else {
      EXPECT_TRUE(callback == nullptr) << "left as it was";
    }
    const std::string line = c.logLine;
    EXPECT_EQ(line == "added" ? 1u : 0u, job.LogCount(added) - addedBefore);
    EXPECT_EQ(line == "failed" ? 1u : 0u, job.LogCount(failed) - failedBefore);
  }
}

// Two workers of a process queue their VMs' volumes at once: each layout holds its own volumes, all
// of them, in order, and the class-wide quit check is one worker's whole.
TEST_F(VolumeMetadataQueue, TwoWorkersQueueTheirOwnVolumesAtOnce) {
  job.jobMgr.setMetatdataCollectionOption(1);
  stagetest::StageWorker second{&controller, 1};
  ASSERT_TRUE(second.Initialize(&job.jobMgr, &job.appMgr));
  vm_params secondVM = vm;
  second.TEST_SetCurrentVM(&secondVM);
  ASSERT_EQ(0, second.ConnectToServer("vcenter"));
  second.TEST_SetMountCtx(&ctx);

  constexpr int kVolumes = 100;
  QuarnWorker* workers[] = {&worker, &second};
  quarnVolumeConfig configs[2];
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      quarnBackupArgs block = args;
      block.mConfig = &configs[w];
      for (int i = 0; i < kVolumes; ++i) {
        block.mBackupPath = block.mDiskId = std::to_string(w) + "-" + std::to_string(i);
        block.mBackupPathCopy = block.mBackupPath + "/";
        EXPECT_EQ(0, workers[w]->AddDiskForMetadataCollection(&block, 0));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int w = 0; w < 2; ++w) {
    SCOPED_TRACE(w);
    ASSERT_EQ(static_cast<size_t>(kVolumes), configs[w].GetMetadataVolumes().size());
    int i = 0;
    for (const volMetadataInfo& queued : configs[w].GetMetadataVolumes())
      EXPECT_EQ(std::to_string(w) + "-" + std::to_string(i++), queued.mVolumeGuid);
  }
  quarnConfig::QuitFlagCallback callback = nullptr;
  int firstArg = 0;
  void* secondArg = nullptr;
  quarnConfig::GetQuitFlagCallback(callback, firstArg, secondArg);
  EXPECT_EQ(&QuarnWorker::CallbackStatic, callback);
  EXPECT_EQ(1, firstArg);
  EXPECT_TRUE(secondArg == workers[0] || secondArg == workers[1]);
  second.TEST_SetMountCtx(nullptr);
  second.TEST_SetCurrentVM(nullptr);
}

}  // namespace
