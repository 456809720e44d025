// The worker pool, the controller thread's closing sequence and the progress report.
#include <gtest/gtest.h>

#include <thread>

#include "platform/cleanup/VSCleanupClient.h"
#include "support/ControllerTestSupport.h"
#include "support/VirtualClock.h"

namespace {

using namespace VirtualServer;
using ctltest::Collect;
using ctltest::CollectList;
using ctltest::Grant;
using ctltest::LabJob;
using ctltest::TestController;
using ctltest::TestWorker;

class ControllerWorkersTest : public ::testing::Test {
 protected:
  // Answers each request for VMs with an empty list until no worker runs any more.
  static void AnswerEmptyUntilWorkersEnd(TestController& agent) {
    size_t answered = 0;
    for (;;) {
      if (!agent.AnyWorkerRunning()) return;
      if (agent.Sent(VMBackupGetNextVM::TAG).size() > answered) {
        agent.Deliver(CollectList({}));
        ++answered;
      } else {
        std::this_thread::yield();
      }
    }
  }

  LabJob job;
  TestController controller{&job};
};

TEST_F(ControllerWorkersTest, WorkersFollowThePlannedTargetAndRestartOnRequest) {
  EXPECT_TRUE(controller.MonitorWorkers());
  EXPECT_EQ(0u, controller.GetWorkerCount()) << "no stream, no worker";

  // Each worker's road fails its VM; with no VM left the workers end.
  controller.road = [](TestWorker&) { return 95; };
  for (int i = 0; i < 3; ++i) controller.Deliver(Grant(1, i + 1));
  ASSERT_TRUE(controller.MonitorWorkers());
  EXPECT_EQ(3u, controller.GetWorkerCount());
  AnswerEmptyUntilWorkersEnd(controller);
  EXPECT_TRUE(controller.MonitorWorkers());
  EXPECT_EQ(1u, job.LogCount("All workers have exited"));

  controller.RequestRestart();
  EXPECT_TRUE(controller.MonitorWorkers());
  EXPECT_EQ(1u, job.LogCount("Restarting [3] workers to reach the the max worker count [3]"));
  EXPECT_EQ(3u, job.LogCount("Restarting worker ["));
  EXPECT_EQ(3u, controller.GetWorkerCount()) << "restarted, not added";
  controller.StopControllerThread();
  controller.StopAllWorkers();
  EXPECT_EQ(1u, job.LogCount("All workers have stopped"));
  EXPECT_EQ(0u, controller.GetWorkerCount());
}

TEST_F(ControllerWorkersTest, NoWorkerRunningEndsTheControllerForAStreamErrorAFatalErrorOrNoWorkers) {
  struct Case {
    bool streamError, fatalError, refuse;
    const char* line;
  } cases[] = {
      {true, false, false, "Terminating due to a stream error"},
      {false, true, false, "Terminating due to a fatal VM error"},
      {false, false, true, "Terminating because no worker could be started"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    LabJob lab;
    TestController agent(&lab);
    agent.refuseWorkers = c.refuse;
    agent.Deliver(Grant(1, 1));
    agent.Deliver(Grant(1, 2));
    if (c.streamError) agent.SetStreamError();
    if (c.fatalError) agent.SetFatalVMError();
    if (!c.refuse) {
      // The workers end at once (maybe within this very pass): the controller hands out nothing.
      agent.MonitorWorkers();
      AnswerEmptyUntilWorkersEnd(agent);
    }
    EXPECT_FALSE(agent.MonitorWorkers());
    EXPECT_LE(1u, lab.LogCount(c.line)) << "once per pass that finds no worker running";
    if (c.refuse) {
      EXPECT_EQ(1u, lab.LogCount("Failed to create a worker")) << "one attempt per pass, not one per missing worker";
    }
  }
}

TEST_F(ControllerWorkersTest, ControllerThreadRunsWorkersAndClosesTheAgentOnQuit) {
  // Every VM's road succeeds; the closing sequence reports the VMs and gives the grants back.
  controller.road = [](TestWorker&) { return 0; };
  ASSERT_TRUE(controller.StartControllerThread());
  controller.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2")}));
  controller.Deliver(Grant(1, 1));
  ASSERT_TRUE(controller.WaitForSent(VMBackupResult::TAG, 2));
  controller.Deliver(VMAgentQuit());
  for (const auto& result : controller.Sent(VMBackupResult::TAG)) {
    EXPECT_EQ(PHASE_DONE, result->getint64(VMBackupResult::F_vmPhase));
    EXPECT_EQ(1, result->getint64(VMBackupResult::F_statusCode));
  }
  EXPECT_EQ(1u, job.LogCount("All [2] VMs have been processed"));
  EXPECT_EQ(1u, controller.Sent(VMBackupStream::TAG).size()) << "the grant went back";
  EXPECT_EQ(0u, controller.GetWorkerCount());
  EXPECT_EQ(1u, job.LogCount("Finished stopping all workers"));
}

// The pass after a worker's end follows at once: an agent with no work left gives its streams back
// while the clock stands still, not after the pass's period.
TEST_F(ControllerWorkersTest, AnAgentWithNoWorkLeftGivesItsStreamsBackWithoutWaitingForThePeriod) {
  testsupport::VirtualClock clock;
  controller.road = [](TestWorker&) { return 0; };
  ASSERT_TRUE(controller.StartControllerThread());
  controller.Deliver(CollectList({Collect("vm1", "G1")}));
  controller.Deliver(Grant(1, 1));
  controller.Deliver(Grant(1, 2));
  ASSERT_TRUE(controller.WaitForSent(VMBackupResult::TAG, 1));
  AnswerEmptyUntilWorkersEnd(controller);
  EXPECT_TRUE(controller.WaitForSent(VMBackupStream::TAG, 2)) << "the streams waited for the pass's period";
  controller.Deliver(VMAgentQuit());
}

TEST_F(ControllerWorkersTest, ProgressIsSentAtMostEveryThirtySecondsAndNeverEmpty) {
  controller.Deliver(CollectList({Collect("vm1", "G1"), Collect("vm2", "G2"), Collect("vm3", "G3")}));
  EXPECT_TRUE(controller.MonitorProgress());
  EXPECT_TRUE(controller.Sent(VMBackupProgress::TAG).empty()) << "no VM in progress";

  vm_params* vm = nullptr;
  int index = 0;
  ASSERT_TRUE(controller.GetNextVM(0, vm, index));
  controller.SetVMProgressPercent(vm, 40);
  vm_params* idle = nullptr;
  ASSERT_TRUE(controller.GetNextVM(1, idle, index));  // in a worker, but at 0 %
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(29));
  controller.MonitorProgress();
  EXPECT_TRUE(controller.Sent(VMBackupProgress::TAG).empty()) << "29 s after the last pass";
  ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(1));
  controller.MonitorProgress();
  auto sent = controller.Sent(VMBackupProgress::TAG);
  ASSERT_EQ(1u, sent.size());
  const CNMessageList& items = sent[0]->getlistobject(VMBackupProgress::F_vmProgress, false);
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ("G1", items[0]->getstring(VMProgressPercent::F_guid));
  EXPECT_EQ(40, items[0]->getint64(VMProgressPercent::F_percentComplete));
  controller.MonitorProgress();
  EXPECT_EQ(1u, controller.Sent(VMBackupProgress::TAG).size());

  // The worker goes on filling the VM's status record on its own thread while the controller
  // thread reports progress: the report must not read that record (ThreadSanitizer sees it).
  std::thread worker([&] {
    for (int i = 0; i < 2000; ++i) {
      JobManager::VMUpdateInfo next;
      next.setstring(JobManager::VMUpdateInfo::F_failureText, std::to_string(i));
      next.setint64(JobManager::VMUpdateInfo::F_endTime, i);
      vm->updateInfo = next;
      controller.SetVMProgressPercent(vm, 41 + i % 50);
    }
  });
  for (int i = 0; i < 200; ++i) {
    ZtClock::AdvanceForTest(CTimeInterval::FromSeconds(30));
    controller.MonitorProgress();
  }
  worker.join();
  EXPECT_EQ(201u, controller.Sent(VMBackupProgress::TAG).size());
}

TEST_F(ControllerWorkersTest, InitializeRegistersTheProcessAndDeinitializeUndoesIt) {
  TestController agent(&job);
  ASSERT_TRUE(agent.Initialize(&job.jobMgr, &job.appMgr));
  auto registered = VSCleanupClient::ReadRegistrations("coordinator");
  ASSERT_EQ(1u, registered.size());
  EXPECT_EQ(0u, registered[0].find("process 1001 1 1 "));
  agent.Deinitialize();
  EXPECT_TRUE(VSCleanupClient::ReadRegistrations("coordinator").empty());
  agent.Deinitialize();  // a second call finds nothing left to undo
  EXPECT_TRUE(VSCleanupClient::ReadRegistrations("coordinator").empty());
}

TEST_F(ControllerWorkersTest, InitializeFailsWithoutAManagementServerAndLeavesNothingRegistered) {
  job.SetSetting("Base", "sKeymasterHostName", "");
  TestController agent(&job);
  EXPECT_FALSE(agent.Initialize(&job.jobMgr, &job.appMgr));
  EXPECT_EQ(1u, job.LogCount("Failed to get keymaster name from the registry"));
  EXPECT_TRUE(VSCleanupClient::ReadRegistrations("coordinator").empty());
}

}  // namespace
