#pragma once
// A worker whose road's stages a test runs one by one, on the first sample VM of the lab, connected
// to the lab's hypervisor as the road leaves it before the mount.
#include <gtest/gtest.h>

#include "platform/vminfo/LabVMInfo.h"
#include "support/ControllerTestSupport.h"

namespace stagetest {

constexpr const char* kGuid = "50290000-0000-4000-8000-000000000001";

class StageWorker : public QuarnWorker {
 public:
  using QuarnWorker::QuarnWorker;
  using QuarnWorker::m_vmIdxMetadata;
};

class StageTest : public ::testing::Test {
 protected:
  StageTest() {
    job.SetSubclient("indexingV2", "0");
    job.jobMgr.setMediaAgent("ma1");
    LabVMInfo inventory(101);
    inventory.LoadVMInfo(kGuid, vm.vmInfo);
    vm.vmName = "vm01";
    vm.vmGuid = kGuid;
    vm.host = "esx1";
    vm.collect = ctltest::Collect("vm01", kGuid, 5001);
    args.mVMGuid = args.mVMGuidForFiles = kGuid;
    args.mVMName = "vm01";
    args.mBackupLevel = 1;
    EXPECT_TRUE(worker.Initialize(&job.jobMgr, &job.appMgr));
    worker.TEST_SetCurrentVM(&vm);
    worker.TEST_SetCurrentArgs(&args);
    EXPECT_EQ(0, worker.ConnectToServer("vcenter"));
  }
  ~StageTest() override {
    worker.UnmountVM();
    worker.TEST_SetCurrentArgs(nullptr);
    worker.TEST_SetCurrentVM(nullptr);
  }
  MountCtx& Ctx() { return *worker.TEST_MountCtx(); }
  std::vector<std::string> Events() { return job.Lab().Events(); }

  ctltest::LabJob job;
  ctltest::TestController controller{&job};
  StageWorker worker{&controller, 0};
  vm_params vm;
  quarnBackupArgs args;
};

}  // namespace stagetest
