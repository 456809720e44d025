#pragma once
// A worker whose road's stages a test runs one by one, on the first sample VM of the lab, connected
// to the lab's hypervisor as the road leaves it before the mount.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/archive/ArchiveReader.h"
#include "platform/archive/vsArchive.h"
#include "platform/vminfo/LabVMInfo.h"
#include "support/ControllerTestSupport.h"

namespace stagetest {

constexpr const char* kGuid = "50290000-0000-4000-8000-000000000001";

class StageWorker : public QuarnWorker {
 public:
  using QuarnWorker::QuarnWorker;
  using QuarnWorker::BackupVMDisk;
  using QuarnWorker::GetDiskIndexNameInUse;
  using QuarnWorker::m_config;
  using QuarnWorker::m_prevIdxMetadata;
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

// A stage test whose VM's archive file is open on a stream of the test's own.
class StreamStageTest : public StageTest {
 protected:
  StreamStageTest() {
    stream.reset(new vsArchive(&job.jobMgr, &job.appMgr, nullptr, "km"));
    stream->setStream(4, 104, 1, 2);
    EXPECT_EQ(0, stream->init(true));
    EXPECT_TRUE(worker.CreateArchiveFile(args, stream.get()));
  }
  // Closes the archive file and reads it back; false when either fails.
  bool CloseAndReadArchive(archive::ArchiveContents& contents) {
    const std::string path = stream->GetArchiveFilePath();
    const int closed = stream->closeArchiveFile();
    EXPECT_EQ(0, closed);
    archive::Problem problem;
    const bool read = archive::ReadArchive(path, contents, problem);
    EXPECT_TRUE(read) << problem.Describe();
    return closed == 0 && read;
  }

  std::unique_ptr<vsArchive> stream;
};

}  // namespace stagetest
