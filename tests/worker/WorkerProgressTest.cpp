// The worker's callbacks from the VM-information library and its progress percentage.
#include <gtest/gtest.h>

#include <thread>

#include "support/ControllerTestSupport.h"

namespace {

using ctltest::Collect;
using ctltest::LabJob;
using ctltest::TestController;
using U = JobManager::VMUpdateInfo;

class WorkerProgressTest : public ::testing::Test {
 protected:
  WorkerProgressTest() {
    vm.vmName = "vm1";
    vm.vmGuid = "G1";
    vm.collect = Collect("vm1", "G1", 501);
    worker.Initialize(&job.jobMgr, &job.appMgr);
    worker.TEST_SetCurrentVM(&vm);
  }
  ~WorkerProgressTest() override { worker.TEST_SetCurrentVM(nullptr); }
  int Percent() const { return static_cast<int>(vm.updateInfo.getint64(U::F_progressPercent)); }

  LabJob job;
  TestController controller{&job};
  QuarnWorker worker{&controller, 0};
  vm_params vm;
};

TEST_F(WorkerProgressTest, PhasesMapToTheirPercentages) {
  struct Case {
    QuarnVMProgressPhase phase;
    uint64_t done, total;
    int percent;
  } cases[] = {
      {VM_PROGRESS_NOT_STARTED, 0, 0, 0}, {VM_PROGRESS_STARTED, 0, 0, 1},  {VM_PROGRESS_MOUNTED, 0, 0, 20},
      {VM_PROGRESS_CONFIG_FILES, 0, 100, 20}, {VM_PROGRESS_CONFIG_FILES, 100, 100, 30},
      {VM_PROGRESS_DISKS, 50, 100, 55},  {VM_PROGRESS_DISKS, 100, 100, 80},
      {VM_PROGRESS_DISKS, 101, 100, 80},  // more bytes than expected stays in the disks' range
      {VM_PROGRESS_DISKS, 1, 3, 46},      {VM_PROGRESS_GRANULAR_METADATA, 0, 0, 90},
      {VM_PROGRESS_UNMOUNTED, 0, 0, 99},  {VM_PROGRESS_COMPLETE, 0, 0, 100},
      {static_cast<QuarnVMProgressPhase>(8), 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.phase << " " << c.done << "/" << c.total);
    EXPECT_EQ(c.percent, worker.getPercentageCompletion(c.phase, c.done, c.total));
  }
}

TEST_F(WorkerProgressTest, ProgressNeverGoesBackExceptWhenAVMStarts) {
  worker.UpdateVMJobProgress(VM_PROGRESS_DISKS, 50, 100);
  EXPECT_EQ(55, Percent());
  worker.UpdateVMJobProgress(VM_PROGRESS_MOUNTED, 0, 0);
  worker.UpdateVMJobProgress(VM_PROGRESS_MOUNTED, 0, 0);
  EXPECT_EQ(55, Percent());
  EXPECT_EQ(1u, job.LogCount("Progress percentage [20] is less than the current percentage [55]"));

  worker.UpdateVMJobProgress(VM_PROGRESS_STARTED, 0, 0);
  EXPECT_EQ(1, Percent());
  worker.UpdateVMJobProgress(VM_PROGRESS_DISKS, 10, 0);
  EXPECT_EQ(1, Percent()) << "a total of 0 keeps the current percentage";
  worker.UpdateVMJobProgress(VM_PROGRESS_DISKS, 100, 100);
  worker.UpdateVMJobProgress(VM_PROGRESS_MOUNTED, 0, 0);
  EXPECT_EQ(2u, job.LogCount("is less than the current percentage")) << "re-armed by the start";
  EXPECT_EQ((std::vector<std::string>{"G1 55", "G1 1", "G1 80"}), vsJobMgr::ReadVMProgressLines(ctltest::kJobId));
}

TEST_F(WorkerProgressTest, DiskProgressFromSeveralThreadsCountsEveryByte) {
  worker.TEST_SetDiskBytesTotal(8 * 100);
  std::vector<std::thread> disks;
  for (int d = 0; d < 8; ++d)
    disks.emplace_back([this] {
      for (int i = 0; i < 10; ++i) worker.UpdateVMJobProgressForDisks(10);
    });
  for (std::thread& disk : disks) disk.join();
  EXPECT_EQ(80, Percent());
  auto lines = vsJobMgr::ReadVMProgressLines(ctltest::kJobId);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("G1 80", lines.back());
  for (size_t i = 1; i < lines.size(); ++i)
    EXPECT_LT(std::stoi(lines[i - 1].substr(3)), std::stoi(lines[i].substr(3))) << "never backwards";
}

TEST_F(WorkerProgressTest, CallbacksAnswerTheLibrary) {
  bool quit = true;
  EXPECT_EQ(0, QuarnWorker::CallbackStatic(1, &worker, &quit));
  EXPECT_FALSE(quit);
  controller.SetQuitFlagForVM("G1", "");
  EXPECT_EQ(0, worker.Callback(1, &quit));
  EXPECT_TRUE(quit) << "the controller stopped this VM";

  bool committed = true;
  EXPECT_EQ(0, worker.Callback(2, &committed));
  EXPECT_FALSE(committed);

  SCallbackSnapshotOperationArgs started;
  started.state = 0;
  started.value1 = 5;
  EXPECT_EQ(0, worker.Callback(5, &started));
  EXPECT_FALSE(vm.updateInfo.isSet(U::F_snapCreateDuration)) << "only a finished operation counts";
  SCallbackSnapshotOperationArgs done;
  done.state = 100;
  done.value1 = 12;
  done.value2 = 1LL << 40;
  worker.Callback(5, &done);
  worker.Callback(6, &done);
  EXPECT_EQ(12, vm.updateInfo.getint64(U::F_snapCreateDuration));
  EXPECT_EQ(12, vm.updateInfo.getint64(U::F_snapDeleteDuration));
  EXPECT_EQ(1LL << 40, vm.updateInfo.getint64(U::F_snapDeleteValue));

  EXPECT_EQ(9000, worker.Callback(8, nullptr));
  EXPECT_EQ(1u, job.LogCount("Unexpected reason [8] received"));
  EXPECT_EQ(static_cast<int>(0xFFFFFFFFu), QuarnWorker::CallbackStatic(1, nullptr, &quit));
}

}  // namespace
